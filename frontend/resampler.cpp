#include "frontend/resampler.h"

#include <algorithm>
#include <soxr.h>

#include "frontend/shared_library.h"

namespace varnel {
namespace {

struct SoxrApi {
    decltype(&soxr_create) create = nullptr;
    decltype(&soxr_process) process = nullptr;
    decltype(&soxr_delete) destroy = nullptr;
    decltype(&soxr_io_spec) ioSpec = nullptr;
    decltype(&soxr_quality_spec) qualitySpec = nullptr;
    decltype(&soxr_version) version = nullptr;
    std::string failure;  // why the library cannot be used; empty when it can
};

const SoxrApi& api() {
    static const SoxrApi loaded = [] {
        SoxrApi a;
        SharedLibrary library(VARNEL_SOXR_SONAME);
        library.resolve("soxr_create", &a.create);
        library.resolve("soxr_process", &a.process);
        library.resolve("soxr_delete", &a.destroy);
        library.resolve("soxr_io_spec", &a.ioSpec);
        library.resolve("soxr_quality_spec", &a.qualitySpec);
        library.resolve("soxr_version", &a.version);
        a.failure = library.failure();
        return a;
    }();
    return loaded;
}

soxr_t handle(void* resampler) { return static_cast<soxr_t>(resampler); }

}  // namespace

bool soxrAvailable(std::string* versionOrReason) {
    const SoxrApi& a = api();
    *versionOrReason = a.failure.empty() ? a.version() : a.failure;
    return a.failure.empty();
}

uint64_t convertedLength(uint64_t frames, int32_t inRate, int32_t outRate) {
    // frames * outRate stays below 2^64 for any length a file can state and rates below 2^31
    // as long as frames < 2^33; longer inputs are scaled in two steps.
    const auto in = static_cast<uint64_t>(inRate), out = static_cast<uint64_t>(outRate);
    return frames / in * out + (frames % in * out + in / 2) / in;
}

std::unique_ptr<ResampledSource> ResampledSource::create(std::unique_ptr<PcmSource>& inner, int32_t outRate,
                                                         std::string* error) {
    const SoxrApi& a = api();
    if (!a.failure.empty()) {
        *error = a.failure;
        return nullptr;
    }
    std::unique_ptr<ResampledSource> source(new ResampledSource());
    const soxr_io_spec_t io = a.ioSpec(SOXR_FLOAT64_I, SOXR_FLOAT64_I);
    const soxr_quality_spec_t quality = a.qualitySpec(SOXR_HQ, 0);
    soxr_error_t failed = nullptr;
    source->resampler_ = a.create(inner->sampleRate(), outRate, static_cast<unsigned>(inner->channels()), &failed,
                                  &io, &quality, nullptr);
    if (!source->resampler_ || failed) {
        *error = std::string("the sampling rate cannot be converted: ") + (failed ? failed : "libsoxr failed");
        return nullptr;
    }
    source->inner_ = std::move(inner);
    source->outRate_ = outRate;
    source->input_.resize(static_cast<size_t>(kChunkFrames) * static_cast<size_t>(source->inner_->channels()));
    return source;
}

ResampledSource::~ResampledSource() {
    if (resampler_) api().destroy(handle(resampler_));
}

int64_t ResampledSource::readPcm(double* out, int64_t frames) {
    const SoxrApi& a = api();
    const int32_t ch = channels();
    int64_t written = 0;
    while (written < frames) {
        if (inputUsed_ == inputFrames_ && !innerEnded_) {
            const int64_t got = inner_->readPcm(input_.data(), kChunkFrames);
            if (got < 0) return -1;
            innerEnded_ = got == 0;
            inputFrames_ = got;
            inputUsed_ = 0;
            consumed_ += static_cast<uint64_t>(got);
        }
        // Once the input has ended the library is drained (no input, a null buffer), and the
        // output is cut or completed with silence to the converted length.
        const bool draining = innerEnded_;
        const uint64_t length = convertedLength(consumed_, inner_->sampleRate(), outRate_);
        int64_t room = frames - written;
        if (draining) room = std::min<int64_t>(room, static_cast<int64_t>(length - std::min(length, produced_)));
        if (room == 0) break;
        size_t used = 0, made = 0;
        const soxr_error_t failed =
            a.process(handle(resampler_), draining ? nullptr : input_.data() + inputUsed_ * ch,
                      draining ? 0 : static_cast<size_t>(inputFrames_ - inputUsed_), &used, out + written * ch,
                      static_cast<size_t>(room), &made);
        if (failed) {
            failure_ = std::string("the sampling rate conversion failed: ") + failed;
            return -1;
        }
        inputUsed_ += static_cast<int64_t>(used);
        written += static_cast<int64_t>(made);
        produced_ += made;
        if (draining && made == 0) {
            // The library has nothing more: silence up to the converted length.
            std::fill(out + written * ch, out + (written + room) * ch, 0.0);
            written += room;
            produced_ += static_cast<uint64_t>(room);
        }
    }
    return written;
}

}  // namespace varnel
