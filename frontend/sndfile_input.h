// Input through libsndfile: FLAC, AIFF/AIFC, CAF, RF64, W64 and the other formats that library
// reads, recognised by their content. Samples arrive as they would from the same PCM in a WAV
// file: integer formats as 32-bit words scaled to the 16-bit working scale without rounding,
// float formats (and the lossy codecs, which decode to float) scaled and clipped as WAV float is.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "frontend/downmix.h"
#include "frontend/pcm_source.h"

namespace varnel {

// The library's version, or the reason it cannot be used on this machine.
bool sndfileAvailable(std::string* versionOrReason);

class SndfileSource final : public PcmSource {
public:
    // Opens `path` for reading. Null when it cannot be read, with the reason in `error`;
    // `recognised` says whether the library took the file for one of its formats (false also
    // when the library cannot be loaded).
    static std::unique_ptr<SndfileSource> open(const std::string& path, std::string* error, bool* recognised);
    ~SndfileSource() override;
    SndfileSource(const SndfileSource&) = delete;
    SndfileSource& operator=(const SndfileSource&) = delete;

    int32_t channels() const override { return channels_; }
    int32_t sampleRate() const override { return sampleRate_; }
    // Reads on; a file that ends before the length its header states, or that the library
    // cannot decode on, is a read failure: it is truncated or damaged.
    int64_t readPcm(double* out, int64_t frames) override;
    uint64_t expectedFrames() const override { return frames_; }
    uint64_t clippedSamples() const override { return clipped_; }
    std::string readFailure() const override { return failure_; }

    // The file's text tags, by the WAV INFO ids that carry the same tags (INAM title, IART
    // artist, IPRD album, ICRD date, IGNR genre, ICMT comment, ITRK track).
    const std::vector<std::pair<std::string, std::string>>& infoItems() const { return info_; }
    // The speakers the file states for its channels; empty when it states none.
    const std::vector<Speaker>& speakers() const { return speakers_; }
    // The container's name, as the library gives it ("FLAC (Free Lossless Audio Codec)").
    const std::string& formatName() const { return formatName_; }

private:
    SndfileSource() = default;

    void* file_ = nullptr;  // SNDFILE*
    bool floatSamples_ = false;
    int32_t channels_ = 0;
    int32_t sampleRate_ = 0;
    uint64_t frames_ = 0;
    uint64_t read_ = 0;
    uint64_t clipped_ = 0;
    std::string failure_;
    std::string formatName_;
    std::vector<int32_t> ints_;
    std::vector<double> doubles_;
    std::vector<std::pair<std::string, std::string>> info_;
    std::vector<Speaker> speakers_;
};

}  // namespace varnel
