// Rising halves of the AAC window shapes (ISO/IEC 14496-3, 4.6.11.3.2), single precision.
// The falling half of a window is its rising half read backwards.
#pragma once

#include <span>

#include "records/channel_records.h"

namespace varnel {

inline constexpr int kLongWindowHalf = 1024;
inline constexpr int kShortWindowHalf = 128;

// sin(pi / N * (n + 1/2)) for N = 2048 and 256.
std::span<const float> sineLongWindow();
std::span<const float> sineShortWindow();
// Kaiser-Bessel-derived windows: N = 2048 with alpha = 4, N = 256 with alpha = 6.
std::span<const float> kbdLongWindow();
std::span<const float> kbdShortWindow();

// The rising half for a window_shape value: 1 selects KBD, every other value the sine window.
inline std::span<const float> longWindow(WindowShape shape) {
    return shape == WindowShape::Kbd ? kbdLongWindow() : sineLongWindow();
}
inline std::span<const float> shortWindow(WindowShape shape) {
    return shape == WindowShape::Kbd ? kbdShortWindow() : sineShortWindow();
}

}  // namespace varnel
