// A source of interleaved PCM at the encoder's working scale (unscaled 16-bit values as
// doubles), read any number of sample frames at a time: what the file readers, the channel
// downmix and the sample-rate conversion hand each other before the samples are cut into the
// encoder's frames (framed_source.h).
#pragma once

#include <cstdint>
#include <string>

namespace varnel {

class PcmSource {
public:
    virtual ~PcmSource() = default;

    virtual int32_t channels() const = 0;
    virtual int32_t sampleRate() const = 0;
    // Reads up to `frames` sample frames into `out` (frames * channels() values). Returns how
    // many were read, 0 once the source has ended, or -1 when it cannot be read on (the reason
    // is then readFailure()).
    virtual int64_t readPcm(double* out, int64_t frames) = 0;
    // Sample frames the source will deliver in all, when it knows; 0 when not.
    virtual uint64_t expectedFrames() const = 0;
    // Samples changed to fit the 16-bit range so far (float input beyond full scale, a downmix
    // that sums beyond it).
    virtual uint64_t clippedSamples() const = 0;
    virtual std::string readFailure() const { return "read error"; }
};

}  // namespace varnel
