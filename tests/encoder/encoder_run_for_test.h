// Test-side driver of the encoder core, set up the way the program sets it up: a generated
// 16-bit WAV file in a temporary directory, the input stream over it with two silent frames
// that flush the encoder's delay, the bit rate lowered to what one frame can carry, the
// encoder with its bit writer, and one raw data block per call into a buffer the test reads.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bitstream/bit_writer.h"
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
    // bitRatePerChannel above 6 bit/s per Hz is lowered to that, as the program does.
    EncoderRun(const std::vector<uint8_t>& wavFile, int bitRatePerChannel, int options)
        : file_(wavFile), block_(kBlockBufferBytes) {
        InputStreamParams params;
        params.fileName = file_.path();
        params.trailingSilentFrames = kFlushFrames;
        std::unique_ptr<InputStream> stream;
        std::string error;
        if (openInputStream(params, &stream, &error) != kStreamOk) return;
        int32_t rate = 0;
        stream->getProperty(12, &rate);
        auto writer = createBitWriter();
        writer->setOutput(block_.data(), static_cast<int>(block_.size()));
        EncoderConfig config;
        config.bitRatePerChannel = std::min(bitRatePerChannel, 6 * rate);
        status_ = openEncoder(config, std::move(writer), std::move(stream), &encoder_);
        if (status_ != OpenStatus::Ok) return;
        int bits = 0;
        const uint8_t* asc = encoder_->bitWriter->takeOutput(&bits);
        audioSpecificConfig_.assign(asc, asc + bits / 8);
        encoder_->setOption(1, options);
    }

    bool opened() const { return encoder_ != nullptr; }
    OpenStatus status() const { return status_; }
    AacEncoder& encoder() { return *encoder_; }
    const std::vector<uint8_t>& audioSpecificConfig() const { return audioSpecificConfig_; }

    // Encodes one frame; when it was written, block() and blockBits() describe it.
    FrameStatus encodeFrame() {
        encoder_->bitWriter->setOutput(block_.data(), static_cast<int>(block_.size()));
        const FrameStatus status = encoder_->encodeFrame();
        blockBits_ = 0;
        encoder_->bitWriter->takeOutput(&blockBits_);
        return status;
    }
    const uint8_t* block() const { return block_.data(); }
    int blockBits() const { return blockBits_; }

private:
    static constexpr int kFlushFrames = 2;
    static constexpr size_t kBlockBufferBytes = 16384;  // twice the largest stereo block, and room for the flush

    TempFile file_;
    std::vector<uint8_t> block_;
    std::unique_ptr<AacEncoder> encoder_;
    std::vector<uint8_t> audioSpecificConfig_;
    OpenStatus status_ = OpenStatus::InvalidArgument;
    int blockBits_ = 0;
};

}  // namespace varnel::test
