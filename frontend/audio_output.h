// Where the encoded frames go: an MP4 file (mp4_layout.h) or an ADTS stream (adts_output.h).
// The encode loop describes the stream once, writes one raw data block per frame and finishes.
#pragma once

#include <cstdint>
#include <span>

namespace varnel {

// The bit rates a container states for the stream: the rate the encoder was asked for (a
// constant-rate stream that fills it), or the mean and peak its frames turn out to carry.
enum class RateStatement { Requested, Carried };

class AudioOutput {
public:
    virtual ~AudioOutput() = default;

    // The stream's AudioSpecificConfig, channel count and total bit rate, before any frame.
    virtual bool describeAudio(std::span<const uint8_t> audioSpecificConfig, uint16_t channels,
                               uint32_t totalBitRate, RateStatement statement = RateStatement::Requested) = 0;
    // One raw data block, 1024 samples after the previous one.
    virtual bool writeFrame(const uint8_t* data, uint32_t size) = 0;
    // The stream completed: `inputSamples` samples per channel came in, and the encoder's
    // output lags them by `encoderDelay`.
    virtual bool finish(uint64_t inputSamples, uint32_t encoderDelay) = 0;
    // Frames the output can hold.
    virtual uint64_t maxFrames() const = 0;

    uint64_t frames() const { return frames_; }
    uint64_t audioBytes() const { return audioBytes_; }

protected:
    void countFrame(uint32_t size) {
        ++frames_;
        audioBytes_ += size;
    }

private:
    uint64_t frames_ = 0;
    uint64_t audioBytes_ = 0;
};

}  // namespace varnel
