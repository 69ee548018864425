// Conversion of real values to integers as the encoder's arithmetic defines it: truncation
// toward zero. A C++ cast of a value outside the int range, or of an infinity or NaN, is
// undefined, and such values do occur here: the level of an all-zero band is 20 log10(0) =
// minus infinity, and level differences built from it are infinite or NaN. The encoder's rule
// is that a non-finite value converts to 0; finite values beyond the range saturate.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

namespace varnel {

inline int32_t truncToInt(double value) {
    if (!std::isfinite(value)) return 0;
    if (value >= 2147483647.0) return std::numeric_limits<int32_t>::max();
    if (value <= -2147483648.0) return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(value);
}

}  // namespace varnel
