#include "frontend/sample_conversion.h"

#include <bit>
#include <cstring>

#include "encoder/sample_scale.h"
#include "frontend/little_endian.h"

namespace varnel {

int sampleBytes(SampleEncoding encoding) {
    switch (encoding) {
    case SampleEncoding::Unsigned8: return 1;
    case SampleEncoding::Signed16: return 2;
    case SampleEncoding::Signed24: return 3;
    case SampleEncoding::Signed32: return 4;
    case SampleEncoding::Float32: return 4;
    case SampleEncoding::Float64: return 8;
    }
    return 0;
}

size_t convertSamples(SampleEncoding encoding, const uint8_t* b, size_t count, double* out) {
    size_t clipped = 0;
    switch (encoding) {
    case SampleEncoding::Unsigned8:
        for (size_t i = 0; i < count; ++i) out[i] = (static_cast<int>(b[i]) - 128) * 256.0;
        break;
    case SampleEncoding::Signed16:
        for (size_t i = 0; i < count; ++i)
            out[i] = static_cast<int16_t>(static_cast<uint16_t>(b[2 * i] | (b[2 * i + 1] << 8)));
        break;
    case SampleEncoding::Signed24:
        for (size_t i = 0; i < count; ++i) {
            const uint8_t* p = b + 3 * i;
            // The 24 bits at the top of a 32-bit word carry the sign; s / 256 = (s * 256) / 65536.
            const uint32_t u = (uint32_t{p[0]} << 8) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 24);
            out[i] = static_cast<int32_t>(u) / 65536.0;
        }
        break;
    case SampleEncoding::Signed32:
        for (size_t i = 0; i < count; ++i) out[i] = static_cast<int32_t>(le32(b + 4 * i)) / 65536.0;
        break;
    case SampleEncoding::Float32:
        for (size_t i = 0; i < count; ++i)
            out[i] = scaleFloatSample(std::bit_cast<float>(le32(b + 4 * i)), &clipped);
        break;
    case SampleEncoding::Float64:
        for (size_t i = 0; i < count; ++i)
            out[i] = scaleFloatSample(std::bit_cast<double>(le64(b + 8 * i)), &clipped);
        break;
    }
    return clipped;
}

}  // namespace varnel
