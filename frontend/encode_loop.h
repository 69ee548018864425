// The program: command line, console messages, the MP4 file with its three tracks, and the
// encode loop that writes one AAC raw data block per frame as one audio sample.
#pragma once

#include <cstdint>
#include <cstdio>

namespace varnel {

// What the program sets on the encoder. The command line always uses the defaults; tests and
// comparisons may switch tools.
struct ProgramSettings {
    int32_t options = 1;   // encoder option bits: 1 temporal noise shaping, 2 noise substitution
    bool midSide = true;   // mid/side stereo for channel pairs
};

// Runs the whole program with the given arguments; messages go to `out` (the console texts)
// and `err` (one-line reasons for failures). Returns the process exit status: 0 after a
// complete run or "-h", 1 after any early stop or failure.
int runProgram(int argc, const char* const* argv, std::FILE* out, std::FILE* err,
               const ProgramSettings& settings = {});

}  // namespace varnel
