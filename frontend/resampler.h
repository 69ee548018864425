// Sample-rate conversion through libsoxr (its high-quality preset: linear phase, 20-bit
// precision, passband to 91 % of the lower rate's Nyquist frequency). The converted stream
// starts with the input's first sample (the library removes its filter delay) and holds
// exactly round(input length * output rate / input rate) samples, so that a gapless stream of
// the converted audio comes back at that length.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "frontend/pcm_source.h"

namespace varnel {

// The library's version, or the reason it cannot be used on this machine.
bool soxrAvailable(std::string* versionOrReason);

// The length of `frames` input samples converted from `inRate` to `outRate`.
uint64_t convertedLength(uint64_t frames, int32_t inRate, int32_t outRate);

class ResampledSource final : public PcmSource {
public:
    // `inner` converted to `outRate`, taking it over. Null with the reason in `error` when it
    // cannot be, and `inner` is then left as it was.
    static std::unique_ptr<ResampledSource> create(std::unique_ptr<PcmSource>& inner, int32_t outRate,
                                                   std::string* error);
    ~ResampledSource() override;
    ResampledSource(const ResampledSource&) = delete;
    ResampledSource& operator=(const ResampledSource&) = delete;

    int32_t channels() const override { return inner_->channels(); }
    int32_t sampleRate() const override { return outRate_; }
    int64_t readPcm(double* out, int64_t frames) override;
    uint64_t expectedFrames() const override {
        return convertedLength(inner_->expectedFrames(), inner_->sampleRate(), outRate_);
    }
    uint64_t clippedSamples() const override { return inner_->clippedSamples(); }
    std::string readFailure() const override { return failure_.empty() ? inner_->readFailure() : failure_; }

private:
    ResampledSource() = default;

    static constexpr int64_t kChunkFrames = 4096;

    std::unique_ptr<PcmSource> inner_;
    void* resampler_ = nullptr;  // soxr_t
    int32_t outRate_ = 0;
    std::vector<double> input_;  // input read from `inner_` and not converted yet
    int64_t inputFrames_ = 0;
    int64_t inputUsed_ = 0;
    bool innerEnded_ = false;
    uint64_t consumed_ = 0;  // input frames read from `inner_`
    uint64_t produced_ = 0;  // output frames handed out
    std::string failure_;
};

}  // namespace varnel
