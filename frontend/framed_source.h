// The encoder's frames cut from any PcmSource: each read hands out one frame of interleaved
// samples, the last one completed with silence, then a set number of silent frames so that an
// encoder with a look-ahead delay can flush every sample (none when the source had no
// samples at all). The WAV reader cuts its own frames the same way (cutFrame).
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "encoder/frame_source.h"
#include "frontend/pcm_source.h"

namespace varnel {

// What cutFrame returns instead of a count.
inline constexpr int64_t kFrameReadError = -1;  // the source cannot be read
inline constexpr int64_t kNoMoreFrames = -2;    // the source and its silent frames have ended

// Cuts the next frame of `frameLength` sample frames from `source` into `samples`: the source's
// samples, read until the frame is full or the source ends (`ended` is then set), completed
// with silence. After the end, a frame is one of `silentFramesLeft` silent frames (counted
// down), when `delivered` sample frames came before it. Returns the source's sample frames in
// the frame, or kFrameReadError, or kNoMoreFrames.
int64_t cutFrame(PcmSource& source, std::span<double> samples, int32_t frameLength, bool& ended,
                 int32_t& silentFramesLeft, uint64_t delivered);

class FramedSource final : public FrameSource {
public:
    FramedSource(std::unique_ptr<PcmSource> inner, int32_t frameLength, int32_t trailingSilentFrames);

    ReadStatus readFrame(FrameView* view) override;
    int releaseFrame() override;
    int closeStream() override;
    // The channels may be set only to the count they have; the frame length and the silent
    // frames after the input to any value before the first frame.
    int setProperty(int id, int32_t value) override;
    int getProperty(int id, int32_t* value) const override;

    // Sample frames of the source handed out so far (padding and flush excluded).
    uint64_t samplesDelivered() const { return delivered_; }
    const PcmSource& source() const { return *inner_; }

private:
    std::unique_ptr<PcmSource> inner_;
    std::vector<double> samples_;
    int32_t frameLength_;
    int32_t channels_;
    int32_t trailingSilentFrames_;
    int32_t valuesRead_ = 0;
    bool held_ = false;
    bool ended_ = false;
    uint64_t delivered_ = 0;
};

}  // namespace varnel
