#include "frontend/framed_source.h"

#include <algorithm>

#include "records/aac_syntax.h"

namespace varnel {

FramedSource::FramedSource(std::unique_ptr<PcmSource> inner, int32_t frameLength, int32_t trailingSilentFrames)
    : inner_(std::move(inner)),
      samples_(static_cast<size_t>(frameLength) * static_cast<size_t>(inner_->channels())),
      frameLength_(frameLength),
      channels_(inner_->channels()),
      trailingSilentFrames_(trailingSilentFrames) {}

int64_t cutFrame(PcmSource& source, std::span<double> samples, int32_t frameLength, bool& ended,
                 int32_t& silentFramesLeft, uint64_t delivered) {
    const int32_t channels = source.channels();
    // A source may deliver fewer frames than asked before its end: read until the frame is
    // full or the source has ended.
    int64_t filled = 0;
    while (!ended && filled < frameLength) {
        const int64_t got = source.readPcm(samples.data() + filled * channels, frameLength - filled);
        if (got < 0) return kFrameReadError;
        ended = got == 0;
        filled += got;
    }
    if (filled == 0) {
        // After the samples: the silent flush frames, but only when there were any samples.
        if (silentFramesLeft == 0 || delivered == 0) return kNoMoreFrames;
        --silentFramesLeft;
    }
    std::fill(samples.begin() + filled * channels, samples.end(), 0.0);
    return filled;
}

ReadStatus FramedSource::readFrame(FrameView* view) {
    if (held_) return ReadStatus::FrameHeld;
    const int64_t filled = cutFrame(*inner_, samples_, frameLength_, ended_, trailingSilentFrames_, delivered_);
    if (filled < 0) {
        valuesRead_ = 0;
        return filled == kNoMoreFrames ? ReadStatus::EndOfData : ReadStatus::ReadError;
    }
    delivered_ += static_cast<uint64_t>(filled);
    valuesRead_ = static_cast<int32_t>(samples_.size());
    held_ = true;
    *view = FrameView{samples_.data(), inner_->sampleRate(), valuesRead_, channels_};
    return ReadStatus::Frame;
}

int FramedSource::releaseFrame() {
    held_ = false;
    return 0;
}

int FramedSource::closeStream() {
    held_ = false;
    ended_ = true;
    return 0;
}

int FramedSource::setProperty(int id, int32_t value) {
    switch (id) {
    case kPropertyFrameLength:
    case kPropertyTrailingSilentFrames:
        // Either may change before the first frame is cut.
        if (value == (id == kPropertyFrameLength ? frameLength_ : trailingSilentFrames_)) return 0;
        if (delivered_ > 0 || held_ || value < (id == kPropertyFrameLength ? 1 : 0)) return -1;
        (id == kPropertyFrameLength ? frameLength_ : trailingSilentFrames_) = value;
        samples_.resize(static_cast<size_t>(frameLength_) * static_cast<size_t>(channels_));
        return 0;
    case kPropertyChannels: return value == channels_ ? 0 : -1;
    case kPropertyAllocate: return 0;
    default: return -1;
    }
}

int FramedSource::getProperty(int id, int32_t* value) const {
    switch (id) {
    case kPropertyValuesRead: *value = valuesRead_; return 0;
    case kPropertyFrameLengthRead: *value = frameLength_; return 0;
    case kPropertyChannelsRead: *value = channels_; return 0;
    case kPropertySampleRate: *value = inner_->sampleRate(); return 0;
    default: return -1;
    }
}

}  // namespace varnel
