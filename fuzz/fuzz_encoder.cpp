// Fuzz target of the encoder, through the library's C interface. The input is read as
//
//   byte 0      sampling rate index (mod 12) into sampleRateTable
//   byte 1      channels: 1 + (byte & 1)
//   bytes 2..5  bit rate per channel, little-endian, mapped to 1 .. 6 * rate bit/s
//   byte 6      bit 0 temporal noise shaping, bit 1 noise substitution; bit 2 set: channel
//               pairs coded left/right only (mid/side off); bit 3 set: the samples are 32-bit
//               floats (any bit pattern: NaN, infinities and values past full scale included),
//               else 16-bit integers; bit 4 the perceptual mode
//   the rest    little-endian PCM, interleaved
//
// and encoded as a caller of the library would: one call per 1024 samples per channel, a short
// last frame, then the flush, each into a buffer of exactly the size the interface asks for.
// Besides the sanitizers it checks what a decoder and a caller rely on: every call succeeds, no
// access unit exceeds the decoder's input buffer (6144 bits per channel), and one access unit
// comes out per input frame and flush frame.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "fuzz/fuzz_input_file.h"
#include "varnel/aac_encoder.h"

namespace {

constexpr size_t kParameterBytes = 7;
constexpr int32_t kSampleRates[12] = {96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050, 16000, 12000, 11025, 8000};
constexpr int kFlushFrames = 2;
constexpr int kBytesPerChannel = 768;  // 6144 bits

// `count` little-endian samples from `data`.
template <typename Sample>
std::vector<Sample> samplesAt(const uint8_t* data, size_t count) {
    std::vector<Sample> out(count);
    for (size_t i = 0; i < count; ++i) {
        uint32_t v = 0;
        for (size_t b = 0; b < sizeof(Sample); ++b) v |= uint32_t{data[i * sizeof(Sample) + b]} << (8 * b);
        if constexpr (sizeof(Sample) == 2) {
            out[i] = static_cast<Sample>(static_cast<uint16_t>(v));
        } else {
            std::memcpy(&out[i], &v, sizeof v);
        }
    }
    return out;
}

template <typename Sample>
int encode(VarnelAacEncoder* enc, const std::vector<Sample>& pcm, int frameSize, unsigned char* out, int outSize) {
    if constexpr (sizeof(Sample) == 2)
        return varnel_aac_encode_int16(enc, pcm.data(), frameSize, out, outSize);
    else
        return varnel_aac_encode_float(enc, pcm.data(), frameSize, out, outSize);
}

template <typename Sample>
uint64_t encodeAll(VarnelAacEncoder* enc, const uint8_t* pcm, size_t bytes, int channels, uint64_t* inputFrames) {
    const size_t frameBytes = sizeof(Sample) * static_cast<size_t>(channels);
    const uint64_t samplesPerChannel = bytes / frameBytes;
    const int outSize = kBytesPerChannel * channels;
    std::vector<unsigned char> out(static_cast<size_t>(outSize));
    uint64_t units = 0;
    auto check = [&](int size, const char* what) {
        if (size < 0) {
            std::fprintf(stderr, "%s: %s\n", what, varnel_aac_strerror(size));
            varnel::fuzz::fail("a call of the interface was refused");
        }
        if (size > outSize) varnel::fuzz::fail("an access unit is larger than the decoder's input buffer");
    };
    for (uint64_t n = 0; n < samplesPerChannel; n += VARNEL_AAC_FRAME_LENGTH) {
        const int count = static_cast<int>(
            samplesPerChannel - n < VARNEL_AAC_FRAME_LENGTH ? samplesPerChannel - n : VARNEL_AAC_FRAME_LENGTH);
        const std::vector<Sample> frame =
            samplesAt<Sample>(pcm + n * frameBytes, static_cast<size_t>(count) * static_cast<size_t>(channels));
        const int size = encode(enc, frame, count, out.data(), outSize);
        check(size, "encode");
        if (size == 0) varnel::fuzz::fail("a frame gave no access unit");
        ++units;
        ++*inputFrames;
    }
    for (int size; (size = varnel_aac_encoder_flush(enc, out.data(), outSize)) != 0; ++units) check(size, "flush");
    return units;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < kParameterBytes) return 0;
    const int32_t rate = kSampleRates[data[0] % 12];
    const int channels = 1 + (data[1] & 1);
    const uint32_t rateField = uint32_t{data[2]} | (uint32_t{data[3]} << 8) | (uint32_t{data[4]} << 16) |
                               (uint32_t{data[5]} << 24);
    const int32_t bitRatePerChannel = static_cast<int32_t>(1 + rateField % (6 * static_cast<uint32_t>(rate)));
    const bool floats = (data[6] & 8) != 0;

    int error = 0;
    VarnelAacEncoder* enc = varnel_aac_encoder_open(rate, channels, bitRatePerChannel * channels, &error);
    if (!enc) varnel::fuzz::fail("the encoder refused an AAC sampling rate");
    if (varnel_aac_encoder_set_option(enc, VARNEL_AAC_OPTION_TNS, data[6] & 1) != VARNEL_AAC_OK ||
        varnel_aac_encoder_set_option(enc, VARNEL_AAC_OPTION_NOISE_SUBSTITUTION, (data[6] >> 1) & 1) != VARNEL_AAC_OK ||
        varnel_aac_encoder_set_option(enc, VARNEL_AAC_OPTION_MID_SIDE, (data[6] & 4) == 0) != VARNEL_AAC_OK ||
        varnel_aac_encoder_set_option(enc, VARNEL_AAC_OPTION_PERCEPTUAL, (data[6] >> 4) & 1) != VARNEL_AAC_OK)
        varnel::fuzz::fail("an option was refused");

    uint64_t inputFrames = 0;
    const uint8_t* pcm = data + kParameterBytes;
    const size_t bytes = size - kParameterBytes;
    const uint64_t units = floats ? encodeAll<float>(enc, pcm, bytes, channels, &inputFrames)
                                  : encodeAll<int16_t>(enc, pcm, bytes, channels, &inputFrames);
    if (units != (inputFrames > 0 ? inputFrames + kFlushFrames : 0))
        varnel::fuzz::fail("not one access unit per input frame and flush frame");
    if (varnel_aac_encoder_close(enc) != VARNEL_AAC_OK) varnel::fuzz::fail("close was refused");
    varnel_aac_encoder_destroy(enc);
    return 0;
}
