// A frame source over frames that the caller hands over in memory, one at a time: what an
// encoder behind a library interface reads from. Each frame is converted to the working scale
// and completed with silence up to the frame length; the encoder's next readFrame hands it out
// once. With no frame handed over, readFrame reports the end of the data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "encoder/frame_source.h"

namespace varnel {

class MemoryFrameSource final : public FrameSource {
public:
    // `channels` interleaved channels of `frameLength` samples each per frame.
    MemoryFrameSource(int32_t sampleRate, int32_t channels, int32_t frameLength);

    // Queue the next frame: `samplesPerChannel` (up to the frame length) interleaved samples
    // per channel, the rest silence. False, and nothing changes, when a frame is already
    // queued or the count is out of range.
    bool putFrame(const int16_t* interleaved, int samplesPerChannel);
    bool putFrame(const float* interleaved, int samplesPerChannel);
    bool putSilence();

    // Float samples clipped to the 16-bit range so far.
    uint64_t clippedSamples() const { return clipped_; }

    ReadStatus readFrame(FrameView* view) override;
    int releaseFrame() override;
    int closeStream() override;
    // Frame length and channels may be set only to the values they have; the sample buffer
    // always exists.
    int setProperty(int id, int32_t value) override;
    int getProperty(int id, int32_t* value) const override;

private:
    bool canQueue(int samplesPerChannel) const;

    std::vector<double> samples_;
    int32_t sampleRate_;
    int32_t channels_;
    int32_t frameLength_;
    bool queued_ = false;
    bool held_ = false;
    uint64_t clipped_ = 0;
};

}  // namespace varnel
