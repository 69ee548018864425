#include "frontend/command_line.h"

#include <algorithm>
#include <cstring>

namespace varnel {

bool parseBitRate(const std::string& text, int64_t* bitRate) {
    size_t digits = 0;
    int64_t value = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') {
        value = std::min(value * 10 + (text[digits] - '0'), kBitRateCeiling);
        ++digits;
    }
    if (digits == 0) return false;
    const std::string suffix = text.substr(digits);
    if (suffix == "k") {
        value = std::min(value * 1000, kBitRateCeiling);
    } else if (!suffix.empty()) {
        return false;
    }
    if (value <= 0) return false;
    *bitRate = value;
    return true;
}

CommandLine parseCommandLine(int argc, const char* const* argv) {
    CommandLine cl;
    cl.argumentCount = argc > 1 ? argc - 1 : 0;
    if (argc < 2) {
        cl.action = CommandAction::Usage;
        return cl;
    }
    if (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0) {
        cl.action = CommandAction::Help;
        return cl;
    }
    if (argc < 4) {
        cl.action = CommandAction::TooFew;
        return cl;
    }
    cl.inputFileName = argv[1];
    cl.outputFileName = argv[2];
    cl.bitRateText = argv[3];
    cl.action = parseBitRate(cl.bitRateText, &cl.totalBitRate) ? CommandAction::Encode
                                                                : CommandAction::BadBitRate;
    return cl;
}

}  // namespace varnel
