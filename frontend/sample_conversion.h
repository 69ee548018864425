// Conversion of WAV sample bytes to the encoder's working scale: unscaled 16-bit values as
// doubles (full scale 32767). Every width uses the same arithmetic: an integer sample of B bits
// is divided by 2^(B - 16), a float sample is multiplied by 32768, so nothing is rounded to 16
// bits on the way. 8-bit WAV is unsigned with 128 as zero. Float values beyond full scale are
// clipped to the 16-bit range [-32768, 32767].
#pragma once

#include <cstddef>
#include <cstdint>

namespace varnel {

enum class SampleEncoding {
    Unsigned8,
    Signed16,
    Signed24,
    Signed32,
    Float32,
    Float64,
};

// Bytes per sample of an encoding.
int sampleBytes(SampleEncoding encoding);

// Converts `count` little-endian samples; returns the number of samples that were clipped.
size_t convertSamples(SampleEncoding encoding, const uint8_t* bytes, size_t count, double* out);

}  // namespace varnel
