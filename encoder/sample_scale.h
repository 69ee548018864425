// The encoder's working scale for PCM: unscaled 16-bit sample values as doubles (full scale
// 32767). A float sample has full scale at +-1.0 and is multiplied by 32768; values beyond the
// 16-bit range [-32768, 32767] are clipped, and NaN becomes 0, so that no input can carry a
// value the stages were not built for. The WAV reader and the in-memory frame source convert
// through this one function, so a float file and float frames give the same blocks.
#pragma once

#include <cmath>
#include <cstddef>

namespace varnel {

inline constexpr double kFloatSampleScale = 32768.0;
inline constexpr double kMaxSampleValue = 32767.0;
inline constexpr double kMinSampleValue = -32768.0;

// Scales a float sample to the working scale and clips it; counts a clipped sample (NaN
// included) in *clipped.
inline double scaleFloatSample(double sample, size_t* clipped) {
    const double scaled = sample * kFloatSampleScale;
    if (scaled > kMaxSampleValue) {
        ++*clipped;
        return kMaxSampleValue;
    }
    if (scaled < kMinSampleValue) {
        ++*clipped;
        return kMinSampleValue;
    }
    if (std::isnan(scaled)) {
        ++*clipped;
        return 0.0;
    }
    return scaled;
}

}  // namespace varnel
