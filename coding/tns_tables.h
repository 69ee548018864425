// Band limits of temporal noise shaping per sampling-frequency index, in scalefactor bands of
// the long (1024-line) and short (128-line) band tables.
//
// top: TNS_MAX_BANDS of AAC Low Complexity (ISO/IEC 14496-3, 4.6.9.4): a decoder never runs a
// TNS filter above this band. lowest: the lowest band at which this encoder lets a filter
// start, so that TNS only shapes the upper part of the spectrum.
// The short-window values complete the rows; the encoder does not filter short windows.
#pragma once

#include <array>
#include <cstdint>

#include "records/band_tables.h"

namespace varnel {

struct TnsBandLimits {
    uint8_t topLong;
    uint8_t lowestLong;
    uint8_t topShort;
    uint8_t lowestShort;
};

// 96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050, 16000, 12000, 11025, 8000 Hz.
inline constexpr std::array<TnsBandLimits, kNumSampleRates> tnsBandLimits = {{
    {31, 9, 9, 2},
    {31, 10, 9, 2},
    {34, 13, 10, 3},
    {40, 18, 14, 4},
    {42, 20, 14, 5},
    {51, 18, 14, 4},
    {46, 23, 14, 5},
    {46, 24, 14, 6},
    {42, 21, 14, 7},
    {42, 25, 14, 9},
    {42, 25, 14, 10},
    {39, 27, 14, 11},
}};

namespace detail {
constexpr bool tnsBandLimitsValid() {
    for (int i = 0; i < kNumSampleRates; ++i) {
        const TnsBandLimits& l = tnsBandLimits[static_cast<size_t>(i)];
        if (l.topLong > numSwbLong[static_cast<size_t>(i)] || l.lowestLong >= l.topLong) return false;
        if (l.topShort > numSwbShort[static_cast<size_t>(i)] || l.lowestShort >= l.topShort) return false;
    }
    return true;
}
}  // namespace detail
static_assert(detail::tnsBandLimitsValid(), "TNS band limits must lie inside the band tables");

}  // namespace varnel
