// Command-line handling: VarnelAacEnc InputFileName.wav OutputMP4FileName.mp4 TotalBitRate
#pragma once

#include <cstdint>
#include <string>

namespace varnel {

enum class CommandAction {
    Encode,        // three arguments, bit rate valid
    Usage,         // no arguments
    Help,          // "-h" or "--help" as the first argument
    TooFew,        // fewer than three arguments
    BadBitRate,    // the third argument is not a positive bit rate
};

struct CommandLine {
    CommandAction action = CommandAction::Usage;
    std::string inputFileName;
    std::string outputFileName;
    int64_t totalBitRate = 0;  // as requested, at most kBitRateCeiling
    std::string bitRateText;   // the argument as given, for messages
    int argumentCount = 0;     // arguments after the program name
};

// Requested rates are held up to this many bit/s; any larger request is lowered to what one
// frame can carry anyway, far below it.
inline constexpr int64_t kBitRateCeiling = int64_t{1} << 53;

// Reads the arguments (argv[0] is the program). Arguments beyond the third are ignored.
CommandLine parseCommandLine(int argc, const char* const* argv);

// A positive decimal integer, optionally followed by "k" (thousands); nothing else. Returns
// false for anything else. Values above kBitRateCeiling give kBitRateCeiling.
bool parseBitRate(const std::string& text, int64_t* bitRate);

}  // namespace varnel
