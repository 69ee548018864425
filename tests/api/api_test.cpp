// The C interface against the program: the same PCM gives the same access units and the same
// AudioSpecificConfig; and every refusal is an error code that leaves the encoder unchanged.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "frontend/encode_loop.h"
#include "frontend/wav_header.h"
#include "tests/api/api_run_for_test.h"
#include "tests/frontend/wav_test_file.h"
#include "tests/mp4/box_reader.h"
#include "varnel/aac_encoder.h"

namespace varnel::test {
namespace {

struct ProgramCase {
    ApiSettings api;
    long samplesPerChannel;
    bool floatInput;  // a 32-bit float WAV and the float entry point, with samples past full scale
    const char* name;
};

std::vector<uint8_t> wavOf(const std::vector<float>& pcm, const ApiSettings& s, bool floatInput) {
    WavBuilder wav;
    if (floatInput) {
        wav.fmt(kWaveFormatIeeeFloat, static_cast<uint16_t>(s.channels), static_cast<uint32_t>(s.sampleRate), 32);
        std::vector<uint8_t> bytes(pcm.size() * 4);
        std::memcpy(bytes.data(), pcm.data(), bytes.size());  // little-endian host
        return wav.chunk("data", bytes).bytes();
    }
    wav.fmt(kWaveFormatPcm, static_cast<uint16_t>(s.channels), static_cast<uint32_t>(s.sampleRate), 16);
    return wav.data(toInt16(pcm)).bytes();
}

// The program's audio track samples and the bytes of its esds box.
AccessUnits programOutput(const std::vector<uint8_t>& wav, const ApiSettings& s, std::vector<uint8_t>* esds) {
    TempFile input(wav);
    const std::string output = (input.dir() / "out.mp4").string();
    const std::string rate = std::to_string(s.bitRate);
    const char* argv[] = {"VarnelAacEnc", input.path().c_str(), output.c_str(), rate.c_str(), "--he"};
    ProgramSettings settings;
    settings.options = (s.tns ? kOptionTns : 0) | (s.noiseSubstitution ? kOptionPns : 0) |
                       (s.perceptual ? kOptionPerceptual : 0) | (s.midSide ? kOptionMidSide : 0);
    std::FILE* null = std::fopen("/dev/null", "w");
    const int status = runProgram(s.he ? 5 : 4, argv, null, null, settings);
    std::fclose(null);
    EXPECT_EQ(status, 0);
    const mp4_test::ParsedFile file(output);
    const mp4_test::Box& audio = *file.traks().back();
    *esds = audio.find("mdia/minf/stbl/stsd/mp4a/esds")->bytes();
    return mp4_test::trackSamples(file.data, audio);
}

class SameAsProgram : public ::testing::TestWithParam<ProgramCase> {};

TEST_P(SameAsProgram, AccessUnitsAndConfig) {
    const ProgramCase& p = GetParam();
    const std::vector<float> pcm = burstySignal(p.samplesPerChannel, p.api.channels, p.floatInput ? 1.3 : 0.5);
    std::vector<uint8_t> esds;
    const AccessUnits program = programOutput(wavOf(pcm, p.api, p.floatInput), p.api, &esds);

    VarnelAacEncoder* enc = openWith(p.api);
    ASSERT_NE(enc, nullptr);
    unsigned char config[VARNEL_AAC_MAX_CONFIG_BYTES];
    const int configBytes = varnel_aac_encoder_get_config(enc, config, sizeof config);
    ASSERT_GT(configBytes, 0);
    // The esds holds the DecoderSpecificInfo: its length byte, then the configuration.
    std::vector<uint8_t> dsi{static_cast<uint8_t>(configBytes)};
    dsi.insert(dsi.end(), config, config + configBytes);
    EXPECT_NE(std::search(esds.begin(), esds.end(), dsi.begin(), dsi.end()), esds.end());
    // The configuration its channel count has, as the AudioSpecificConfig states it.
    EXPECT_EQ(varnel_aac_encoder_get_channel_configuration(enc), (config[1] >> 3) & 0xF);
    EXPECT_EQ(varnel_aac_encoder_get_channel_configuration(enc), p.api.channels == 8 ? 7 : p.api.channels);
    // Up to 6 bit/s per Hz of the core and channel.
    EXPECT_EQ(varnel_aac_encoder_get_bit_rate(enc),
              std::min<int32_t>(p.api.bitRate, 6 * p.api.sampleRate / (p.api.he ? 2 : 1) * p.api.channels));

    const AccessUnits api = p.floatInput ? encodeThrough(enc, pcm, p.api.channels)
                                         : encodeThrough(enc, toInt16(pcm), p.api.channels);
    varnel_aac_encoder_destroy(enc);
    const long frame = p.api.he ? 2 * VARNEL_AAC_FRAME_LENGTH : VARNEL_AAC_FRAME_LENGTH;
    EXPECT_EQ(api.size(), static_cast<size_t>((p.samplesPerChannel + frame - 1) / frame + (p.api.he ? 3 : 2)));
    ASSERT_EQ(api.size(), program.size());
    for (size_t i = 0; i < api.size(); ++i) ASSERT_EQ(api[i], program[i]) << "access unit " << i;
}

INSTANTIATE_TEST_SUITE_P(
    Api, SameAsProgram,
    ::testing::Values(ProgramCase{{44100, 2, 128000, 1, 0, 1}, 40 * 1024 + 333, false, "stereo_44100"},
                      ProgramCase{{22050, 1, 32000, 1, 0, 1}, 20 * 1024, false, "mono_22050_whole_frames"},
                      ProgramCase{{48000, 2, 96000, 1, 1, 0}, 30 * 1024 + 1, false, "noise_substitution_left_right"},
                      ProgramCase{{8000, 1, 1000000, 0, 0, 1}, 12 * 1024 + 700, false, "rate_lowered_no_tns"},
                      ProgramCase{{32000, 2, 64000, 1, 0, 1}, 25 * 1024 + 100, true, "float_clipped"},
                      ProgramCase{{48000, 2, 96000, 1, 1, 1, 1}, 20 * 1024 + 5, false, "perceptual"},
                      ProgramCase{{48000, 6, 336000, 1, 0, 1}, 15 * 1024 + 9, false, "five_one"},
                      ProgramCase{{44100, 8, 512000, 1, 1, 1, 1}, 10 * 1024, false, "seven_one_perceptual"},
                      ProgramCase{{44100, 2, 32000, 1, 0, 1, 1, 1}, 12 * 2048 + 77, false, "he_stereo"},
                      ProgramCase{{48000, 2, 64000, 1, 0, 1, 0, 1}, 7 * 2048 + 1, false, "he_default_core"},
                      ProgramCase{{32000, 1, 16000, 1, 0, 1, 1, 1}, 9 * 2048, true, "he_mono_perceptual"}),
    [](const auto& c) { return std::string(c.param.name); });

// Every call refuses a null and a closed encoder; refused calls between the frames of one
// encoder leave its output as another's without them.
TEST(Api, RefusalsAreErrorCodesThatChangeNothing) {
    const int16_t zeros[2 * VARNEL_AAC_FRAME_LENGTH] = {};
    const float f[2 * VARNEL_AAC_FRAME_LENGTH] = {};
    unsigned char out[VARNEL_AAC_MAX_ACCESS_UNIT_BYTES];
    const std::vector<std::function<int(VarnelAacEncoder*)>> calls = {
        [&](VarnelAacEncoder* e) { return varnel_aac_encoder_set_option(e, VARNEL_AAC_OPTION_TNS, 1); },
        [&](VarnelAacEncoder* e) { return varnel_aac_encoder_get_option(e, VARNEL_AAC_OPTION_TNS); },
        [&](VarnelAacEncoder* e) { return varnel_aac_encoder_get_config(e, out, sizeof out); },
        [&](VarnelAacEncoder* e) { return varnel_aac_encoder_get_delay(e); },
        [&](VarnelAacEncoder* e) { return varnel_aac_encoder_get_frame_length(e); },
        [&](VarnelAacEncoder* e) { return static_cast<int>(varnel_aac_encoder_get_bit_rate(e)); },
        [&](VarnelAacEncoder* e) { return static_cast<int>(varnel_aac_encoder_get_sample_rate(e)); },
        [&](VarnelAacEncoder* e) { return varnel_aac_encoder_get_channels(e); },
        [&](VarnelAacEncoder* e) { return varnel_aac_encode_int16(e, zeros, 1024, out, sizeof out); },
        [&](VarnelAacEncoder* e) { return varnel_aac_encode_float(e, f, 1024, out, sizeof out); },
        [&](VarnelAacEncoder* e) { return varnel_aac_encoder_flush(e, out, sizeof out); },
        [&](VarnelAacEncoder* e) { return varnel_aac_encoder_close(e); },
    };
    VarnelAacEncoder* closed = varnel_aac_encoder_open(44100, 2, 128000, nullptr);
    ASSERT_EQ(varnel_aac_encoder_close(closed), VARNEL_AAC_OK);
    for (size_t i = 0; i < calls.size(); ++i) {
        EXPECT_EQ(calls[i](nullptr), VARNEL_AAC_ERR_NULL) << "call " << i;
        EXPECT_EQ(calls[i](closed), VARNEL_AAC_ERR_CLOSED) << "call " << i;
    }
    varnel_aac_encoder_destroy(closed);
    varnel_aac_encoder_destroy(nullptr);

    const ApiSettings s{44100, 2, 96000, 1, 1, 1};
    const std::vector<int16_t> pcm = toInt16(burstySignal(12 * 1024 + 10, 2));
    VarnelAacEncoder* enc = openWith(s);
    ASSERT_NE(enc, nullptr);
    const int16_t* p = pcm.data();
    unsigned char config[VARNEL_AAC_MAX_CONFIG_BYTES];
    const std::vector<std::pair<int, int>> refusals = {
        {varnel_aac_encode_int16(enc, p, 0, out, sizeof out), VARNEL_AAC_ERR_FRAME_SIZE},
        {varnel_aac_encode_int16(enc, p, -1, out, sizeof out), VARNEL_AAC_ERR_FRAME_SIZE},
        {varnel_aac_encode_float(enc, f, 1025, out, sizeof out), VARNEL_AAC_ERR_FRAME_SIZE},
        {varnel_aac_encode_int16(enc, p, 1024, out, 2 * 768 - 1), VARNEL_AAC_ERR_BUFFER_TOO_SMALL},
        {varnel_aac_encode_float(enc, f, 1024, out, -5), VARNEL_AAC_ERR_BUFFER_TOO_SMALL},
        {varnel_aac_encoder_flush(enc, out, 100), VARNEL_AAC_ERR_BUFFER_TOO_SMALL},
        {varnel_aac_encode_int16(enc, nullptr, 1024, out, sizeof out), VARNEL_AAC_ERR_NULL},
        {varnel_aac_encode_float(enc, f, 1024, nullptr, sizeof out), VARNEL_AAC_ERR_NULL},
        {varnel_aac_encoder_flush(enc, nullptr, sizeof out), VARNEL_AAC_ERR_NULL},
        {varnel_aac_encoder_get_config(enc, config, 1), VARNEL_AAC_ERR_BUFFER_TOO_SMALL},
        {varnel_aac_encoder_get_config(enc, nullptr, 5), VARNEL_AAC_ERR_NULL},
        {varnel_aac_encoder_set_option(enc, VARNEL_AAC_OPTION_TNS, 2), VARNEL_AAC_ERR_OPTION},
        {varnel_aac_encoder_set_option(enc, 99, 1), VARNEL_AAC_ERR_OPTION},
        {varnel_aac_encoder_get_option(enc, 0), VARNEL_AAC_ERR_OPTION},
    };
    for (size_t i = 0; i < refusals.size(); ++i) EXPECT_EQ(refusals[i].first, refusals[i].second) << "refusal " << i;
    EXPECT_EQ(varnel_aac_encoder_get_option(enc, VARNEL_AAC_OPTION_NOISE_SUBSTITUTION), 1);
    EXPECT_EQ(encodeThrough(enc, pcm, 2), encodeThrough(s, pcm));
    varnel_aac_encoder_destroy(enc);
}

// A C caller may pass any int as an option id: every id the header does not name, the extremes
// included, is refused by both calls, with either value, and switches nothing.
TEST(Api, UnknownOptionIdsAreRefused) {
    VarnelAacEncoder* enc = varnel_aac_encoder_open(44100, 2, 128000, nullptr);
    ASSERT_NE(enc, nullptr);
    for (const int id : {INT_MIN, -1, 0, 6, 8, 99, 256, INT_MAX}) {
        for (const int value : {0, 1})
            EXPECT_EQ(varnel_aac_encoder_set_option(enc, id, value), VARNEL_AAC_ERR_OPTION)
                << "option " << id << " set to " << value;
        EXPECT_EQ(varnel_aac_encoder_get_option(enc, id), VARNEL_AAC_ERR_OPTION) << "option " << id;
    }
    for (const int level : {INT_MIN, -1, 6, INT_MAX})
        EXPECT_EQ(varnel_aac_encoder_set_option(enc, VARNEL_AAC_OPTION_VBR, level), VARNEL_AAC_ERR_OPTION) << level;
    // The defaults stand: TNS and mid/side on, noise substitution, the perceptual mode and VBR off.
    const std::pair<VarnelAacOption, int> defaults[] = {{VARNEL_AAC_OPTION_TNS, 1},
                                                        {VARNEL_AAC_OPTION_NOISE_SUBSTITUTION, 0},
                                                        {VARNEL_AAC_OPTION_MID_SIDE, 1},
                                                        {VARNEL_AAC_OPTION_PERCEPTUAL, 0},
                                                        {VARNEL_AAC_OPTION_VBR, 0}};
    for (const auto& [option, value] : defaults) EXPECT_EQ(varnel_aac_encoder_get_option(enc, option), value) << option;
    varnel_aac_encoder_destroy(enc);
}

// The input ends with a short frame or the first flush; the flush then gives exactly the two
// frames that carry the last samples out, and nothing when there was no input.
TEST(Api, InputEndsOnceAndFlushesTwoFrames) {
    unsigned char out[VARNEL_AAC_MAX_ACCESS_UNIT_BYTES];
    const int16_t pcm[VARNEL_AAC_FRAME_LENGTH] = {};
    for (const int lastFrame : {1, 1023, 1024}) {
        VarnelAacEncoder* enc = varnel_aac_encoder_open(16000, 1, 24000, nullptr);
        ASSERT_NE(enc, nullptr);
        EXPECT_EQ(varnel_aac_encoder_flush(enc, out, 768), 0) << "nothing to flush yet";
        EXPECT_EQ(varnel_aac_encode_int16(enc, pcm, lastFrame, out, 768), VARNEL_AAC_ERR_ENDED);
        varnel_aac_encoder_destroy(enc);

        enc = varnel_aac_encoder_open(16000, 1, 24000, nullptr);
        EXPECT_GT(varnel_aac_encode_int16(enc, pcm, lastFrame, out, 768), 0);
        const int next = varnel_aac_encode_int16(enc, pcm, 1024, out, 768);
        EXPECT_EQ(next > 0, lastFrame == 1024) << "after a frame of " << lastFrame;
        int flushed = 0;
        while (varnel_aac_encoder_flush(enc, out, 768) > 0) ++flushed;
        EXPECT_EQ(flushed, 2);
        EXPECT_EQ(varnel_aac_encoder_flush(enc, out, 768), 0);
        EXPECT_EQ(varnel_aac_encode_int16(enc, pcm, 1024, out, 768), VARNEL_AAC_ERR_ENDED);
        EXPECT_EQ(varnel_aac_encoder_close(enc), VARNEL_AAC_OK);
        varnel_aac_encoder_destroy(enc);
    }
}

TEST(Api, OpenReportsEachRefusal) {
    struct Case {
        int32_t rate;
        int channels;
        int32_t bitRate;
        int expected;
    };
    for (const Case& c : {Case{44000, 2, 128000, VARNEL_AAC_ERR_SAMPLE_RATE}, Case{0, 1, 64000, VARNEL_AAC_ERR_SAMPLE_RATE},
                          Case{48000, 0, 64000, VARNEL_AAC_ERR_CHANNELS}, Case{48000, 7, 64000, VARNEL_AAC_ERR_CHANNELS},
                          Case{48000, 9, 64000, VARNEL_AAC_ERR_CHANNELS},
                          Case{48000, 2, 0, VARNEL_AAC_ERR_BIT_RATE}, Case{48000, 2, -128000, VARNEL_AAC_ERR_BIT_RATE},
                          Case{96000, 2, 1, VARNEL_AAC_OK}, Case{8000, 1, INT32_MAX, VARNEL_AAC_OK}}) {
        int error = 12345;
        VarnelAacEncoder* enc = varnel_aac_encoder_open(c.rate, c.channels, c.bitRate, &error);
        EXPECT_EQ(error, c.expected) << c.rate << " Hz, " << c.channels << " channels, " << c.bitRate << " bit/s";
        EXPECT_EQ(enc == nullptr, c.expected != VARNEL_AAC_OK);
        varnel_aac_encoder_destroy(enc);
    }
}

}  // namespace
}  // namespace varnel::test
