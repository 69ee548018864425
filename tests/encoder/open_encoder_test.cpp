// Opening the encoder: the AudioSpecificConfig it writes for each sampling rate and channel
// count, the streams it refuses, and the option interface.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "encoder/aac_encoder.h"
#include "frontend/wav_input.h"
#include "tests/encoder/encoder_run_for_test.h"

namespace varnel {
namespace {

std::vector<uint8_t> silentWav(int rate, int channels) {
    return test::wav16(std::vector<int16_t>(static_cast<size_t>(1024 * channels), 0), rate, channels);
}

// audioObjectType 2 (5 bits), samplingFrequencyIndex (4), channelConfiguration (4), then
// frameLengthFlag, dependsOnCoreCoder and extensionFlag, all 0. At 24000 Hz and below there
// follow syncExtensionType 0x2B7 (11 bits), extensionAudioObjectType 5 (5) and sbrPresentFlag
// 0 (1), padded to whole bytes: 0x56 0xE5 0x00.
struct ExpectedConfig {
    int rate;
    uint8_t mono[2];
    uint8_t stereo[2];
};
constexpr ExpectedConfig kExpectedConfigs[] = {
    {96000, {0x10, 0x08}, {0x10, 0x10}}, {88200, {0x10, 0x88}, {0x10, 0x90}},
    {64000, {0x11, 0x08}, {0x11, 0x10}}, {48000, {0x11, 0x88}, {0x11, 0x90}},
    {44100, {0x12, 0x08}, {0x12, 0x10}}, {32000, {0x12, 0x88}, {0x12, 0x90}},
    {24000, {0x13, 0x08}, {0x13, 0x10}}, {22050, {0x13, 0x88}, {0x13, 0x90}},
    {16000, {0x14, 0x08}, {0x14, 0x10}}, {12000, {0x14, 0x88}, {0x14, 0x90}},
    {11025, {0x15, 0x08}, {0x15, 0x10}}, {8000, {0x15, 0x88}, {0x15, 0x90}},
};

TEST(OpenEncoder, WritesTheAudioSpecificConfigOfEveryRateAndLayout) {
    for (const ExpectedConfig& expected : kExpectedConfigs) {
        for (int channels : {1, 2}) {
            SCOPED_TRACE(::testing::Message() << expected.rate << " Hz, " << channels << " channel(s)");
            test::EncoderRun run(silentWav(expected.rate, channels), 64000, kOptionTns);
            ASSERT_TRUE(run.opened());
            const uint8_t* bytes = channels == 1 ? expected.mono : expected.stereo;
            std::vector<uint8_t> config{bytes[0], bytes[1]};
            if (expected.rate <= 24000) config.insert(config.end(), {0x56, 0xE5, 0x00});
            EXPECT_EQ(run.audioSpecificConfig(), config);
            EXPECT_EQ(run.encoder().channels, channels);
            EXPECT_EQ(run.encoder().sampleRate, expected.rate);
        }
    }
}

TEST(OpenEncoder, RefusesRatesOutsideTheTableAndMoreThanTwoChannels) {
    test::EncoderRun offTable(silentWav(44000, 2), 64000, kOptionTns);
    EXPECT_FALSE(offTable.opened());
    EXPECT_EQ(offTable.status(), OpenStatus::InvalidSampleRate);

    // The WAV reader refuses three channels, and an open stream keeps its file's channel count:
    // a frame of three channels would be read from bytes holding two.
    test::TempFile file(silentWav(44100, 2));
    InputStreamParams params;
    params.fileName = file.path();
    std::unique_ptr<InputStream> stream;
    std::string error;
    ASSERT_EQ(openInputStream(params, &stream, &error), kStreamOk) << error;
    EXPECT_EQ(stream->setProperty(4, 3), kStreamBadArgument);
    EXPECT_EQ(stream->setProperty(4, 1), kStreamBadArgument);
    EXPECT_EQ(stream->setProperty(4, 2), 0);
    int32_t channels = 0;
    stream->getProperty(11, &channels);
    EXPECT_EQ(channels, 2);
    FrameView view{};
    EXPECT_EQ(stream->readFrame(&view), ReadStatus::Frame);
    EXPECT_EQ(view.valuesRead, 2 * 1024);
}

TEST(OpenEncoder, OptionsBySwitchAndByOptionBits) {
    test::EncoderRun run(silentWav(44100, 1), 64000, kOptionTns);
    ASSERT_TRUE(run.opened());
    AacEncoder& enc = run.encoder();
    EXPECT_EQ(enc.options(), kOptionTns | kOptionMidSide);
    EXPECT_EQ(enc.setOption(2, kOptionPns), -1);
    EXPECT_EQ(enc.setOption(0, kOptionPns), -1);
    EXPECT_EQ(enc.options(), kOptionTns | kOptionMidSide);
    EXPECT_EQ(enc.setOption(1, kOptionTns | kOptionPns), 0);
    EXPECT_EQ(enc.options(), kOptionTns | kOptionPns);
    const std::pair<EncoderOption, int32_t> bits[] = {{EncoderOption::Tns, kOptionTns},
                                                      {EncoderOption::NoiseSubstitution, kOptionPns},
                                                      {EncoderOption::MidSide, kOptionMidSide},
                                                      {EncoderOption::Perceptual, kOptionPerceptual}};
    for (const auto& [option, bit] : bits) {
        const int32_t others = enc.options() & ~bit;
        enc.setOption(option, true);
        EXPECT_TRUE(enc.hasOption(option));
        EXPECT_EQ(enc.options(), others | bit);
        enc.setOption(option, false);
        EXPECT_FALSE(enc.hasOption(option));
        EXPECT_EQ(enc.options(), others);
    }
}

TEST(OpenEncoder, TheRateIsCappedAtWhatFramesCarry) {
    EXPECT_EQ(maxTotalBitRate(44100, 2), 529200);
    EXPECT_EQ(usableTotalBitRate(int64_t{1} << 40, 44100, 2), 529200);
    EXPECT_EQ(usableTotalBitRate(128000, 44100, 2), 128000);
    test::EncoderRun run(silentWav(8000, 2), 1000000, kOptionTns);
    ASSERT_TRUE(run.opened());
    EXPECT_EQ(run.encoder().totalBitRate(), 96000);
}

// The reservoirs of a stream's elements are shared out by need within their capacities; the
// sum is kept, and one element keeps its own.
TEST(OpenEncoder, ReservoirsAreSharedByNeedWithinCapacities) {
    struct Case {
        std::vector<int32_t> capacity, bits, lastBlock, expected;
    };
    const Case cases[] = {
        {{6144}, {100}, {5000}, {100}},                                     // one element: as it was
        {{6144, 12288, 6144}, {6144, 0, 0}, {100, 200, 100}, {1536, 3072, 1536}},  // by need
        {{6144, 6144}, {8000, 4000}, {1, 1000}, {5856, 6144}},               // the needy one full
        {{6144, 12288}, {-300, 100}, {100, 100}, {-100, -100}},              // a debt shared alike
    };
    for (const Case& c : cases) {
        std::vector<ElementCoder> elements(c.capacity.size());
        for (size_t i = 0; i < elements.size(); ++i) {
            elements[i].frame.bitReservoir = BitReservoir(c.capacity[i], c.bits[i]);
            elements[i].lastBlockBits = c.lastBlock[i];
        }
        shareReservoirs(elements);
        for (size_t i = 0; i < elements.size(); ++i) {
            EXPECT_EQ(elements[i].frame.bitReservoir.bits(), c.expected[i]) << i;
            EXPECT_EQ(elements[i].frame.bitReservoir.capacity(), c.capacity[i]);
        }
    }
}

}  // namespace
}  // namespace varnel
