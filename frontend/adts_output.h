// The encoded frames as an ADTS stream: each raw data block behind a 7-byte adts_frame header
// (no CRC, one raw data block per frame), the form that players, streaming tools and HLS
// packagers take. The stream carries no edit list, so the encoder's delay stays in it: a
// decoder's output starts with kEncoderDelaySamples samples of silence.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <span>
#include <string>

#include "records/aac_syntax.h"
#include "frontend/audio_output.h"

namespace varnel {

// The output name that writes ADTS to standard output.
inline constexpr const char* kStandardOutputName = "-";

// Whether an output name asks for ADTS: "-", or a name ending in ".aac" in any case.
bool isAdtsName(const std::string& name);

// The fixed header fields, read from the stream's AudioSpecificConfig.
struct AdtsConfig {
    uint32_t audioObjectType = 0;
    uint32_t samplingFrequencyIndex = 0;
    uint32_t channelConfiguration = 0;
};

// The fields of the AudioSpecificConfig's first 13 bits; false when ADTS cannot carry them
// (an object type beyond the four that its profile field holds, an explicit sampling rate,
// a channel configuration beyond 7).
bool adtsConfigFrom(std::span<const uint8_t> audioSpecificConfig, AdtsConfig* config);

// The 7-byte header of a frame whose raw data block is `rawBytes` long (at most 8184).
void adtsHeader(const AdtsConfig& config, uint32_t rawBytes, uint8_t* header);

class AdtsOutput final : public AudioOutput {
public:
    // Writes to standard output (`sink` is stdout, left open) or to a file it opens at `path`.
    static std::unique_ptr<AdtsOutput> create(const std::string& path);

    AdtsOutput(const AdtsOutput&) = delete;
    AdtsOutput& operator=(const AdtsOutput&) = delete;
    ~AdtsOutput() override;

    bool describeAudio(std::span<const uint8_t> audioSpecificConfig, uint16_t channels,
                       uint32_t totalBitRate, RateStatement statement = RateStatement::Requested) override;
    bool writeFrame(const uint8_t* data, uint32_t size) override;
    // Flushes the stream (and closes a file); the delay stays in the stream.
    bool finish(uint64_t inputSamples, uint32_t encoderDelay) override;
    uint64_t maxFrames() const override { return UINT64_MAX; }

private:
    AdtsOutput() = default;

    std::FILE* sink_ = nullptr;
    bool ownsSink_ = false;
    bool described_ = false;
    AdtsConfig config_{};
};

}  // namespace varnel
