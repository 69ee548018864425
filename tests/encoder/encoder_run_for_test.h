// Test-side driver of the encoder core, set up the way the program sets it up: a generated
// 16-bit WAV file in a temporary directory, the input stream over it with two silent frames
// that flush the encoder's delay, the bit rate lowered to what one frame can carry, and one raw
// data block per call, read from the encoder.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "encoder/aac_encoder.h"
#include "frontend/wav_input.h"
#include "tests/frontend/wav_test_file.h"

namespace varnel::test {

// Sample n of channel c at the 16-bit scale (rounded and clipped when written).
using SignalFunction = std::function<double(long n, int channel)>;

inline std::vector<int16_t> renderSignal(const SignalFunction& signal, long frames, int channels) {
    std::vector<int16_t> samples;
    samples.reserve(static_cast<size_t>(frames * channels));
    for (long n = 0; n < frames; ++n)
        for (int c = 0; c < channels; ++c)
            samples.push_back(static_cast<int16_t>(std::clamp(std::round(signal(n, c)), -32768.0, 32767.0)));
    return samples;
}

inline std::vector<uint8_t> wav16(const std::vector<int16_t>& samples, int rate, int channels) {
    return WavBuilder().fmt(kWaveFormatPcm, static_cast<uint16_t>(channels), static_cast<uint32_t>(rate), 16)
        .data(samples)
        .bytes();
}

class EncoderRun {
public:
    // A rate above 6 bit/s per Hz and channel is lowered to that, as the program does. `options`
    // are the option bits; mid/side is added unless `midSide` is false.
    EncoderRun(const std::vector<uint8_t>& wavFile, int bitRatePerChannel, int options, bool midSide = true)
        : file_(wavFile) {
        InputStreamParams params;
        params.fileName = file_.path();
        params.trailingSilentFrames = kFlushFrames;
        std::unique_ptr<InputStream> stream;
        std::string error;
        if (openInputStream(params, &stream, &error) != kStreamOk) return;
        int32_t channels = 0;
        stream->getProperty(11, &channels);
        EncoderConfig config;
        config.totalBitRate = int64_t{bitRatePerChannel} * channels;
        config.options = options | (midSide ? kOptionMidSide : 0);
        status_ = openEncoder(config, std::move(stream), &encoder_);
    }

    bool opened() const { return encoder_ != nullptr; }
    OpenStatus status() const { return status_; }
    AacEncoder& encoder() { return *encoder_; }
    std::vector<uint8_t> audioSpecificConfig() const {
        const std::span<const uint8_t> asc = encoder_->audioSpecificConfig();
        return {asc.begin(), asc.end()};
    }

    // Encodes one frame; when it was written, block() and blockBits() describe it.
    FrameStatus encodeFrame() { return encoder_->encodeFrame(); }
    const uint8_t* block() const { return encoder_->block().data(); }
    int blockBits() const { return static_cast<int>(encoder_->block().size() * 8); }

private:
    TempFile file_;
    std::unique_ptr<AacEncoder> encoder_;
    OpenStatus status_ = OpenStatus::InvalidArgument;
};

}  // namespace varnel::test
