// What the rate control counts is what the syntax writer writes, frame by frame, through the
// whole pipeline: for every channel, ChannelCoding::usedBits after encodeFrame equals the bits
// of that channel's section_data + scale_factor_data + spectral_data as the element writers
// put them, over tones, sweeps, noise, music-like audio, clicks and silence, mono and stereo,
// five sampling rates and bit rates from 16000 bit/s per channel to what one frame can carry.
// Every block also fits the decoder's input buffer, and the sectioning never reports a fault.
// The same holds in the perceptual mode, with its noise bands.
//
// A common window raises both channels of a pair to one max_sfb while the block is written;
// the bands a channel gains are a zero section per window group, which the rate control does
// not count (rate_control.h charges it to the side information). The check takes it off again
// before comparing.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bitstream/bit_writer.h"
#include "bitstream/syntax_writer.h"
#include "tests/encoder/encoder_run_for_test.h"
#include "tools/signal_generator.h"

namespace varnel {
namespace {

constexpr double kSeconds = 0.5;
constexpr double kPi = 3.14159265358979323846;

// The test signals; channel 1 of a pair differs from channel 0 so that the pair's channels
// are coded differently.
test::SignalFunction makeSignal(const std::string& kind, int rate) {
    if (kind == "tone")
        return [rate](long n, int c) {
            return (c ? 7000.0 : 10000.0) * std::sin(2 * kPi * std::min(1000.0, rate / 8.0) * n / rate);
        };
    if (kind == "sweep")
        return [rate](long n, int c) {
            // Exponential sweep from 50 Hz to 0.45 rate over the signal.
            const double f0 = 50.0, f1 = 0.45 * rate, t = static_cast<double>(n) / rate;
            const double k = std::log(f1 / f0) / kSeconds;
            return (c ? 5000.0 : 8000.0) * std::sin(2 * kPi * f0 * (std::exp(k * t) - 1) / k);
        };
    if (kind == "silence") return [](long, int) { return 0.0; };
    // tools::sample draws its noise from the generator in call order, which renderSignal keeps.
    auto rng = std::make_shared<std::mt19937>(77);
    if (kind == "noise")
        return [rng](long, int c) { return std::uniform_real_distribution<double>(-1, 1)(*rng) * (c ? 4000 : 8000); };
    return [kind, rate, rng](long n, int c) {
        return tools::sample(kind, n, c, rate, *rng) * (c && kind == "clicks" ? 0.7 : 1.0);
    };
}

// The channel's section_data + scale_factor_data + spectral_data as the writer puts them.
int writtenChannelBits(const IcsInfo& ics, const ChannelCoding& coding, bool noise) {
    static uint8_t scratch[8192];
    BitWriter writer;
    writer.setOutput(scratch, static_cast<int>(sizeof scratch));
    writeSectionData(writer, ics, coding);
    writeScaleFactorData(writer, ics, coding, noise);
    writeSpectralData(writer, ics, coding);
    return static_cast<int>(writer.bitCount());
}

// The channel as the rate control left it when the block's common max_sfb extended it: the
// last section of every group is a zero section starting at the same band, the band where the
// channel's own max_sfb ended. Null when the records show no such section.
std::unique_ptr<ChannelCoding> withoutCommonExtension(const IcsInfo& ics, const ChannelCoding& coding) {
    int start = -1;
    for (int g = 0; g < ics.numWindowGroups; ++g) {
        int last = 0;
        for (int b = 0; b < coding.maxSfb; b += coding.sectionLength[g * ics.numSwb + b]) {
            if (coding.sectionLength[g * ics.numSwb + b] == 0) return nullptr;  // broken chain
            last = b;
        }
        if (coding.maxSfb == 0 || coding.codebook[g * ics.numSwb + last] != ZERO_HCB) return nullptr;
        if (start >= 0 && last != start) return nullptr;
        start = last;
    }
    auto own = std::make_unique<ChannelCoding>(coding);
    own->maxSfb = start;
    return own;
}

struct Case {
    int rate;
    int channels;
};

std::string caseName(const ::testing::TestParamInfo<Case>& info) {
    return std::to_string(info.param.rate) + (info.param.channels == 1 ? "Mono" : "Stereo");
}

class CountedBits : public ::testing::TestWithParam<Case> {
protected:
    void SetUp() override {
        // The sectioning's fault report waits for a key; it must not stall the test.
        if (!std::freopen("/dev/null", "r", stdin)) GTEST_SKIP() << "no /dev/null";
    }

    // Encodes the signal and checks every frame; `exactCounts` false checks only the block size.
    void encodeAndCheck(const std::string& kind, int bitRatePerChannel, int options, bool exactCounts) {
        const Case param = GetParam();
        SCOPED_TRACE(::testing::Message() << kind << ", " << param.rate << " Hz, " << param.channels
                                          << " channel(s), " << bitRatePerChannel << " bit/s per channel, options "
                                          << options);
        const long frames = static_cast<long>(kSeconds * param.rate);
        test::EncoderRun run(test::wav16(test::renderSignal(makeSignal(kind, param.rate), frames, param.channels),
                                         param.rate, param.channels),
                             bitRatePerChannel, options);
        ASSERT_TRUE(run.opened());
        AacEncoder& enc = run.encoder();
        for (int frame = 0; run.encodeFrame() == FrameStatus::Written; ++frame) {
            SCOPED_TRACE(::testing::Message() << "frame " << frame);
            ASSERT_LE(run.blockBits(), kMaxBitsPerChannel * enc.channels);
            if (!exactCounts) continue;
            const bool common = enc.channels == 2 && hasCommonWindow(enc.elements[0].icsInfo[0], enc.elements[0].icsInfo[1]);
            int matchedAsWritten = 0;
            for (int c = 0; c < enc.channels; ++c) {
                SCOPED_TRACE(::testing::Message() << "channel " << c << ", window sequence "
                                                  << enc.elements[0].icsInfo[c].windowSequence);
                const ChannelCoding& coding = enc.elements[0].channelCoding[c];
                const bool noise = (options & kOptionPns) != 0;
                const int written = writtenChannelBits(enc.elements[0].icsInfo[c], coding, noise);
                if (written == coding.usedBits) {
                    ++matchedAsWritten;
                    continue;
                }
                const auto own = common ? withoutCommonExtension(enc.elements[0].icsInfo[c], coding) : nullptr;
                ASSERT_TRUE(own) << "counted " << coding.usedBits << " bits, written " << written;
                ASSERT_EQ(writtenChannelBits(enc.elements[0].icsInfo[c], *own, noise), coding.usedBits)
                    << "written with the common max_sfb " << coding.maxSfb << ": " << written;
            }
            // The shared max_sfb is one channel's own: that channel is written as counted.
            ASSERT_GE(matchedAsWritten, 1);
        }
    }
};

const char* const kSignals[] = {"tone", "sweep", "noise", "music", "clicks", "silence"};

TEST_P(CountedBits, EqualWrittenBitsWithoutNoiseSubstitution) {
    const int rate = GetParam().rate;
    const int maxRate = 6 * rate;
    const int bitRates[] = {16000, static_cast<int>(std::sqrt(16000.0 * maxRate)), maxRate};
    ::testing::internal::CaptureStdout();
    for (const char* kind : kSignals)
        for (int bitRate : bitRates)
            for (int options : {0, kOptionTns})
                if (!HasFatalFailure()) encodeAndCheck(kind, bitRate, options, true);
    const std::string output = ::testing::internal::GetCapturedStdout();
    std::fputs(output.c_str(), stdout);  // gtest's own failure messages went there too
    EXPECT_EQ(output.find("bug in sectioning"), std::string::npos);
}

// Noise substitution after quantisation changes the sections, so only the buffer bound holds.
TEST_P(CountedBits, BlocksFitTheBufferWithNoiseSubstitution) {
    const int maxRate = 6 * GetParam().rate;
    ::testing::internal::CaptureStdout();
    for (const char* kind : {"noise", "music", "clicks"})
        for (int bitRate : {16000, maxRate})
            for (int options : {kOptionPns, kOptionPns | kOptionTns})
                if (!HasFatalFailure()) encodeAndCheck(kind, bitRate, options, false);
    const std::string output = ::testing::internal::GetCapturedStdout();
    std::fputs(output.c_str(), stdout);  // gtest's own failure messages went there too
    EXPECT_EQ(output.find("bug in sectioning"), std::string::npos);
}

// The perceptual mode counts its noise bands too, so its counts are exact with them as well.
TEST_P(CountedBits, EqualWrittenBitsInThePerceptualMode) {
    const int maxRate = 6 * GetParam().rate;
    ::testing::internal::CaptureStdout();
    for (const char* kind : kSignals)
        for (int bitRate : {16000, 40000, maxRate})
            for (int options : {kOptionPerceptual, kOptionPerceptual | kOptionTns | kOptionPns})
                if (!HasFatalFailure()) encodeAndCheck(kind, bitRate, options, true);
    const std::string output = ::testing::internal::GetCapturedStdout();
    std::fputs(output.c_str(), stdout);
    EXPECT_EQ(output.find("bug in sectioning"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(RatesAndLayouts, CountedBits,
                         ::testing::Values(Case{8000, 1}, Case{8000, 2}, Case{22050, 1}, Case{22050, 2},
                                           Case{44100, 1}, Case{44100, 2}, Case{48000, 1}, Case{48000, 2},
                                           Case{96000, 1}, Case{96000, 2}),
                         caseName);

}  // namespace
}  // namespace varnel
