#include "encoder/memory_frame_source.h"

#include <algorithm>

#include "records/aac_syntax.h"
#include "encoder/sample_scale.h"

namespace varnel {

MemoryFrameSource::MemoryFrameSource(int32_t sampleRate, int32_t channels, int32_t frameLength)
    : samples_(static_cast<size_t>(channels) * static_cast<size_t>(frameLength)),
      sampleRate_(sampleRate),
      channels_(channels),
      frameLength_(frameLength) {}

bool MemoryFrameSource::canQueue(int samplesPerChannel) const {
    return !queued_ && !held_ && samplesPerChannel >= 0 && samplesPerChannel <= frameLength_;
}

bool MemoryFrameSource::putFrame(const int16_t* interleaved, int samplesPerChannel) {
    if (!canQueue(samplesPerChannel)) return false;
    const auto values = static_cast<std::ptrdiff_t>(samplesPerChannel) * channels_;
    std::copy(interleaved, interleaved + values, samples_.begin());
    std::fill(samples_.begin() + values, samples_.end(), 0.0);
    queued_ = true;
    return true;
}

bool MemoryFrameSource::putFrame(const float* interleaved, int samplesPerChannel) {
    if (!canQueue(samplesPerChannel)) return false;
    const auto values = static_cast<std::ptrdiff_t>(samplesPerChannel) * channels_;
    size_t clipped = 0;
    for (std::ptrdiff_t i = 0; i < values; ++i) samples_[static_cast<size_t>(i)] = scaleFloatSample(interleaved[i], &clipped);
    std::fill(samples_.begin() + values, samples_.end(), 0.0);
    clipped_ += clipped;
    queued_ = true;
    return true;
}

bool MemoryFrameSource::putSilence() {
    if (!canQueue(0)) return false;
    std::fill(samples_.begin(), samples_.end(), 0.0);
    queued_ = true;
    return true;
}

ReadStatus MemoryFrameSource::readFrame(FrameView* view) {
    if (held_) return ReadStatus::FrameHeld;
    if (!queued_) return ReadStatus::EndOfData;
    queued_ = false;
    held_ = true;
    *view = FrameView{samples_.data(), sampleRate_, static_cast<int32_t>(samples_.size()), channels_};
    return ReadStatus::Frame;
}

int MemoryFrameSource::releaseFrame() {
    held_ = false;
    return 0;
}

int MemoryFrameSource::closeStream() {
    queued_ = false;
    held_ = false;
    return 0;
}

int MemoryFrameSource::setProperty(int id, int32_t value) {
    switch (id) {
    case kPropertyFrameLength: return value == frameLength_ ? 0 : -1;
    case kPropertyChannels: return value == channels_ ? 0 : -1;
    case kPropertyAllocate: return 0;
    default: return -1;
    }
}

int MemoryFrameSource::getProperty(int id, int32_t* value) const {
    switch (id) {
    case kPropertyValuesRead: *value = held_ ? static_cast<int32_t>(samples_.size()) : 0; return 0;
    case kPropertyFrameLengthRead: *value = frameLength_; return 0;
    case kPropertyChannelsRead: *value = channels_; return 0;
    case kPropertySampleRate: *value = sampleRate_; return 0;
    default: return -1;
    }
}

}  // namespace varnel
