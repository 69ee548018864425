#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "records/aac_syntax.h"
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

// Every kind of command line: the action, and what an encode takes from it.
TEST(CommandLine, ActionsOptionsAndFileNames) {
    struct Case {
        std::vector<const char*> args;
        CommandAction action;
        std::string input = "", output = "", reasonPart = "";
        int32_t bits = 0;
        int32_t vbr = 0;
        int64_t rate = 96000;
        HighEfficiency he = HighEfficiency::Off;
    };
    const Case cases[] = {
        {{}, CommandAction::Usage},
        {{"-h"}, CommandAction::Help},
        {{"--help", "x"}, CommandAction::Help},
        {{"-h", "b", "c"}, CommandAction::Help},
        {{"a.wav", "b.mp4", "96k", "-h"}, CommandAction::Help},
        {{"--bogus", "--version"}, CommandAction::Version},
        {{"a.wav", "b.mp4"}, CommandAction::TooFew},
        {{"a.wav", "b.mp4", "abc"}, CommandAction::BadBitRate},
        {{"a.wav", "b.mp4", "-5"}, CommandAction::BadBitRate},  // a negative rate, not an option
        {{"a.wav", "b.mp4", "96k", "ignored"}, CommandAction::Encode, "a.wav", "b.mp4"},
        {{"--pns", "a.wav", "b.mp4", "96k"}, CommandAction::Encode, "a.wav", "b.mp4", "", kOptionPns},
        {{"a.wav", "--pns", "-", "96k"}, CommandAction::Encode, "a.wav", "-", "", kOptionPns},
        {{"-", "out.aac", "96k", "--pns"}, CommandAction::Encode, "-", "out.aac", "", kOptionPns},
        {{"--", "--pns", "-x.mp4", "96k"}, CommandAction::Encode, "--pns", "-x.mp4"},
        {{"a.wav", "b.mp4", "--perceptual", "96k"}, CommandAction::Encode, "a.wav", "b.mp4", "",
         kOptionPerceptual | kOptionPns},
        {{"a.wav", "b.mp4", "96k", "--bogus"}, CommandAction::BadOption, "", "", "unknown option \"--bogus\""},
        {{"-x", "a.wav", "b.mp4", "96k"}, CommandAction::BadOption, "", "", "unknown option \"-x\""},
        {{"a.wav", "b.mp4", "96k", "--title"}, CommandAction::BadOption, "", "", "--title needs a value"},
        {{"--pns=1", "a.wav", "b.mp4", "96k"}, CommandAction::BadOption, "", "", "--pns takes no value"},
        {{"--track", "0", "a.wav", "b.mp4", "96k"}, CommandAction::BadOption, "", "", "for --track"},
        {{"--track=3/x", "a.wav", "b.mp4", "96k"}, CommandAction::BadOption, "", "", "for --track"},
        // With --vbr the rate may be left out (a ceiling the encoder lowers to the format's).
        {{"--vbr", "3", "a.wav", "b.mp4"}, CommandAction::Encode, "a.wav", "b.mp4", "", 0, 3, kBitRateCeiling},
        {{"a.wav", "b.mp4", "96k", "--vbr=5"}, CommandAction::Encode, "a.wav", "b.mp4", "", 0, 5},
        {{"--vbr", "2", "a.wav"}, CommandAction::TooFew},
        {{"--vbr", "6", "a.wav", "b.mp4"}, CommandAction::BadOption, "", "", "for --vbr"},
        {{"--vbr=0", "a.wav", "b.mp4"}, CommandAction::BadOption, "", "", "for --vbr"},
        {{"--vbr", "03", "a.wav", "b.mp4"}, CommandAction::BadOption, "", "", "for --vbr"},
        // Input options: the rate must be an AAC rate, raw input needs its rate and channels.
        {{"--rate", "44000", "a.wav", "b.mp4", "96k"}, CommandAction::BadOption, "", "", "for --rate"},
        {{"--downmix", "5.1", "a.wav", "b.mp4", "96k"}, CommandAction::BadOption, "", "", "for --downmix"},
        {{"--raw-format", "s16le", "-", "b.mp4", "96k"}, CommandAction::BadOption, "", "", "--raw-rate and --raw-channels"},
        {{"--raw-rate", "44100", "-", "b.mp4", "96k"}, CommandAction::BadOption, "", "", "--raw-rate and --raw-channels"},
        {{"--raw-rate", "0", "--raw-channels", "2", "-", "b.mp4", "96k"}, CommandAction::BadOption, "", "", "for --raw-rate"},
        {{"--raw-rate", "44100", "--raw-channels", "2", "--raw-format", "u8", "-", "b.mp4", "96k"},
         CommandAction::BadOption, "", "", "for --raw-format"},
        {{"--raw-rate=11000", "--raw-channels=6", "--downmix=mono", "--rate=8000", "-", "b.mp4", "96k"},
         CommandAction::Encode, "-", "b.mp4"},
        // --he takes no value but "=auto".
        {{"--he", "a.wav", "b.mp4", "96k"}, CommandAction::Encode, "a.wav", "b.mp4", "", 0, 0, 96000, HighEfficiency::On},
        {{"a.wav", "--he=auto", "b.mp4", "96k"}, CommandAction::Encode, "a.wav", "b.mp4", "", 0, 0, 96000,
         HighEfficiency::Auto},
        {{"--he=on", "a.wav", "b.mp4", "96k"}, CommandAction::BadOption, "", "", "for --he"},
    };
    for (const Case& c : cases) {
        std::vector<const char*> argv = {"enc"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        const CommandLine cl = parseCommandLine(static_cast<int>(argv.size()), argv.data());
        const std::string trace = ::testing::PrintToString(c.args);
        EXPECT_EQ(cl.action, c.action) << trace;
        EXPECT_NE(cl.badOption.find(c.reasonPart), std::string::npos) << trace << cl.badOption;
        if (c.action != CommandAction::Encode) continue;
        EXPECT_EQ(cl.inputFileName, c.input) << trace;
        EXPECT_EQ(cl.outputFileName, c.output) << trace;
        EXPECT_EQ(cl.totalBitRate, c.rate) << trace;
        EXPECT_EQ(cl.optionBits, c.bits) << trace;
        EXPECT_EQ(cl.vbrLevel, c.vbr) << trace;
        EXPECT_EQ(cl.he, c.he) << trace;
    }
}

TEST(CommandLine, TagOptionsInBothFormsAndTrackNumbers) {
    const char* argv[] = {"enc", "--title", "Tïtle", "--artist=A=B", "--comment", "", "--track", "4/12",
                          "a.wav", "b.mp4", "96k", "--date", "2024"};
    const CommandLine cl = parseCommandLine(13, argv);
    ASSERT_EQ(cl.action, CommandAction::Encode) << cl.badOption;
    EXPECT_EQ(cl.tags.title, "Tïtle");
    EXPECT_EQ(cl.tags.artist, "A=B");
    EXPECT_EQ(cl.tags.comment, "");  // given empty: removes the file's comment
    EXPECT_EQ(cl.tags.date, "2024");
    EXPECT_FALSE(cl.tags.album.has_value());
    EXPECT_EQ(std::make_pair(cl.tags.track, cl.tags.trackTotal), std::make_pair(uint16_t{4}, uint16_t{12}));
    uint16_t n = 0, m = 0;
    for (const char* bad : {"", "0", "000", "65536", "0065536", "1/", "/2", "1/0", "3/2", "x", "1/2/3", "-1", "+1", "0x1"})
        EXPECT_FALSE(parseTrack(bad, &n, &m)) << bad;
    // Leading zeros of any number are taken.
    const std::tuple<const char*, uint16_t, uint16_t> good[] = {
        {"65535", 65535, 0}, {"000001", 1, 0}, {"00012/0000000000065535", 12, 65535}};
    for (const auto& [text, track, total] : good) {
        EXPECT_TRUE(parseTrack(text, &n, &m)) << text;
        EXPECT_EQ(std::make_pair(n, m), std::make_pair(track, total)) << text;
    }
}

}  // namespace
}  // namespace varnel
