// The program: command line, console messages, the MP4 file with its three tracks, and the
// encode loop that writes one AAC raw data block per frame as one audio sample.
#pragma once

#include <cstdint>
#include <cstdio>

#include "encoder/aac_encoder.h"

namespace varnel {

// What the program sets on the encoder. The command line always uses the defaults (and adds
// the option bits its flags switch on); tests and comparisons may switch tools.
struct ProgramSettings {
    int32_t options = kDefaultOptions;  // encoder option bits (aac_syntax.h)
};

// Runs the whole program with the given arguments; messages go to `out` (the console texts)
// and `err` (one-line reasons for failures). Returns the process exit status: 0 after a
// complete run or "-h", 1 after any early stop or failure.
int runProgram(int argc, const char* const* argv, std::FILE* out, std::FILE* err,
               const ProgramSettings& settings = {});

}  // namespace varnel
