// Test-side driver of the C interface: encodes interleaved PCM through one encoder, 1024
// samples per channel per call and a short last frame, then flushes, and returns every access
// unit. Any refusal fails the test.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <type_traits>
#include <vector>

#include "varnel/aac_encoder.h"

namespace varnel::test {

using AccessUnits = std::vector<std::vector<uint8_t>>;

struct ApiSettings {
    int32_t sampleRate = 44100;
    int channels = 2;
    int32_t bitRate = 128000;
    int tns = 1;
    int noiseSubstitution = 0;
    int midSide = 1;
    int perceptual = 0;
    int he = 0;  // varnel_aac_encoder_open_he
};

// A tone with noise bursts every 8192 samples (short blocks), float at full scale 1; `peak`
// above 1 drives it past full scale. toInt16 gives the same signal as whole 16-bit values.
inline std::vector<float> burstySignal(long samplesPerChannel, int channels, double peak = 0.5, unsigned seed = 1) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> noise(-1.0, 1.0);
    std::vector<float> pcm;
    for (long n = 0; n < samplesPerChannel; ++n)
        for (int c = 0; c < channels; ++c)
            pcm.push_back(static_cast<float>(peak * (0.6 * std::sin(0.05 * (c + 1) * static_cast<double>(n)) +
                                                     ((n % 8192) < 600 ? 0.4 * noise(rng) : 0.0))));
    return pcm;
}

inline std::vector<int16_t> toInt16(const std::vector<float>& pcm) {
    std::vector<int16_t> out;
    for (float v : pcm) out.push_back(static_cast<int16_t>(std::clamp(std::lround(v * 32768.0), -32768L, 32767L)));
    return out;
}

inline VarnelAacEncoder* openWith(const ApiSettings& s) {
    int error = 1;
    VarnelAacEncoder* enc = (s.he ? varnel_aac_encoder_open_he : varnel_aac_encoder_open)(s.sampleRate, s.channels,
                                                                                         s.bitRate, &error);
    EXPECT_EQ(error, VARNEL_AAC_OK) << varnel_aac_strerror(error);
    if (!enc) return nullptr;
    EXPECT_EQ(varnel_aac_encoder_set_option(enc, VARNEL_AAC_OPTION_TNS, s.tns), VARNEL_AAC_OK);
    EXPECT_EQ(varnel_aac_encoder_set_option(enc, VARNEL_AAC_OPTION_NOISE_SUBSTITUTION, s.noiseSubstitution),
              VARNEL_AAC_OK);
    EXPECT_EQ(varnel_aac_encoder_set_option(enc, VARNEL_AAC_OPTION_MID_SIDE, s.midSide), VARNEL_AAC_OK);
    EXPECT_EQ(varnel_aac_encoder_set_option(enc, VARNEL_AAC_OPTION_PERCEPTUAL, s.perceptual), VARNEL_AAC_OK);
    return enc;
}

// One call per frame of the encode function (int16_t or float samples), then the flush.
template <typename Sample>
AccessUnits encodeThrough(VarnelAacEncoder* enc, const std::vector<Sample>& pcm, int channels) {
    AccessUnits units;
    unsigned char au[VARNEL_AAC_MAX_ACCESS_UNIT_BYTES];
    auto keep = [&](int size) {
        if (size < 0) ADD_FAILURE() << "access unit " << units.size() << ": " << varnel_aac_strerror(size);
        if (size > 0) units.emplace_back(au, au + size);
        return size > 0;
    };
    const long total = static_cast<long>(pcm.size()) / channels;
    const long frame = varnel_aac_encoder_get_frame_length(enc);
    for (long n = 0; n < total; n += frame) {
        const int count = static_cast<int>(std::min<long>(frame, total - n));
        if constexpr (std::is_same_v<Sample, float>) {
            if (!keep(varnel_aac_encode_float(enc, pcm.data() + n * channels, count, au, sizeof au))) return units;
        } else {
            if (!keep(varnel_aac_encode_int16(enc, pcm.data() + n * channels, count, au, sizeof au))) return units;
        }
    }
    while (keep(varnel_aac_encoder_flush(enc, au, sizeof au))) {
    }
    return units;
}

template <typename Sample>
AccessUnits encodeThrough(const ApiSettings& s, const std::vector<Sample>& pcm) {
    VarnelAacEncoder* enc = openWith(s);
    if (!enc) return {};
    AccessUnits units = encodeThrough(enc, pcm, s.channels);
    varnel_aac_encoder_destroy(enc);
    return units;
}

}  // namespace varnel::test
