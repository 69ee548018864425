// The encoder's frames cut from any PcmSource: each read hands out one frame of interleaved
// samples, the last one completed with silence, then a set number of silent frames so that an
// encoder with a look-ahead delay can flush every sample (none when the source had no
// samples at all), as the WAV reader does for its own files.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "encoder/frame_source.h"
#include "frontend/pcm_source.h"

namespace varnel {

class FramedSource final : public FrameSource {
public:
    FramedSource(std::unique_ptr<PcmSource> inner, int32_t frameLength, int32_t trailingSilentFrames);

    ReadStatus readFrame(FrameView* view) override;
    int releaseFrame() override;
    int closeStream() override;
    // Frame length and channels may be set only to the values they have.
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
