// Command-line handling: VarnelAacEnc InputFileName.wav OutputMP4FileName.mp4 TotalBitRate
#pragma once

#include <cstdint>
#include <string>

namespace varnel {

enum class CommandAction {
    Encode,        // three arguments, bit rate valid
    Usage,         // no arguments
    Help,          // "-h" as the first argument
    TooFew,        // fewer than three arguments
    BadBitRate,    // the third argument is not a positive bit rate
};

struct CommandLine {
    CommandAction action = CommandAction::Usage;
    std::string inputFileName;
    std::string outputFileName;
    int32_t totalBitRate = 0;
    std::string bitRateText;  // the argument as given, for messages
};

// Reads the arguments (argv[0] is the program). Arguments beyond the third are ignored.
CommandLine parseCommandLine(int argc, const char* const* argv);

// A positive decimal integer, optionally followed by "k" (thousands); nothing else. Returns
// false for anything else and for values that do not fit in 31 bits.
bool parseBitRate(const std::string& text, int32_t* bitRate);

}  // namespace varnel
