#include <gtest/gtest.h>

#include <utility>

#include "frontend/command_line.h"

namespace varnel {
namespace {

TEST(CommandLine, BitRateAcceptsDecimalsAndKiloSuffixOnly) {
    // Rates beyond 32 bits are taken (and lowered later like any rate above a frame's capacity).
    const std::pair<const char*, int64_t> good[] = {
        {"128000", 128000}, {"128k", 128000}, {"1", 1}, {"2147483648", 2147483648}, {"2147484k", 2147484000},
        {"999999999999", 999999999999}, {"99999999999999999999", kBitRateCeiling},
        {"99999999999999999k", kBitRateCeiling}};
    for (const auto& [text, value] : good) {
        int64_t r = 0;
        EXPECT_TRUE(parseBitRate(text, &r)) << text;
        EXPECT_EQ(r, value) << text;
    }
    int64_t r = 0;
    for (const char* bad : {"0", "-5", "abc", "12x", "", "k", "+5", " 5", "5 ", "128K", "1.5k", "0k", "000"})
        EXPECT_FALSE(parseBitRate(bad, &r)) << bad;
}

TEST(CommandLine, ActionsFollowTheArgumentCount) {
    const char* none[] = {"enc"};
    EXPECT_EQ(parseCommandLine(1, none).action, CommandAction::Usage);
    const char* help[] = {"enc", "-h"};
    EXPECT_EQ(parseCommandLine(2, help).action, CommandAction::Help);
    const char* longHelp[] = {"enc", "--help"};
    EXPECT_EQ(parseCommandLine(2, longHelp).action, CommandAction::Help);
    const char* helpMore[] = {"enc", "-h", "b", "c"};
    EXPECT_EQ(parseCommandLine(4, helpMore).action, CommandAction::Help);
    const char* two[] = {"enc", "a.wav", "b.mp4"};
    EXPECT_EQ(parseCommandLine(3, two).action, CommandAction::TooFew);
    const char* bad[] = {"enc", "a.wav", "b.mp4", "abc"};
    EXPECT_EQ(parseCommandLine(4, bad).action, CommandAction::BadBitRate);
    const char* ok[] = {"enc", "a.wav", "b.mp4", "96k", "ignored"};
    const CommandLine cl = parseCommandLine(5, ok);
    EXPECT_EQ(cl.action, CommandAction::Encode);
    EXPECT_EQ(cl.inputFileName, "a.wav");
    EXPECT_EQ(cl.outputFileName, "b.mp4");
    EXPECT_EQ(cl.totalBitRate, 96000);
}

}  // namespace
}  // namespace varnel
