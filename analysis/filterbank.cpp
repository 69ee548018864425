#include "analysis/filterbank.h"

#include <span>

#include "analysis/mdct.h"
#include "analysis/windows.h"

namespace varnel {
namespace {

constexpr int kBlock = 2 * kFrameLength;       // 2048 samples of a long block
constexpr int kShortBlock = 2 * kShortWindowLength;
// Long-start and long-stop blocks: the short slope sits at 1472..1599 (start) and 448..575
// (stop); outside it the window is flat 1 or 0.
constexpr int kShortSlopeStart = 448;          // (2048 - 1024) / 2 - 64
constexpr int kStartFallBegin = 1472;          // 1024 + 448

// Windowed long block z for ONLY_LONG, LONG_START and LONG_STOP sequences.
void windowLongBlock(const double* x, const IcsInfo& ics, double* z) {
    const auto riseLong = longWindow(ics.previousWindowShape);
    const auto riseShort = shortWindow(ics.previousWindowShape);
    const auto fallLong = longWindow(ics.windowShape);
    const auto fallShort = shortWindow(ics.windowShape);
    switch (ics.windowSequence) {
    case LONG_START_SEQUENCE:
        for (int n = 0; n < kFrameLength; ++n) z[n] = x[n] * riseLong[n];
        for (int n = kFrameLength; n < kStartFallBegin; ++n) z[n] = x[n];
        for (int n = kStartFallBegin; n < kStartFallBegin + kShortWindowLength; ++n)
            z[n] = x[n] * fallShort[kStartFallBegin + kShortWindowLength - 1 - n];
        for (int n = kStartFallBegin + kShortWindowLength; n < kBlock; ++n) z[n] = 0.0;
        break;
    case LONG_STOP_SEQUENCE:
        for (int n = 0; n < kShortSlopeStart; ++n) z[n] = 0.0;
        for (int n = kShortSlopeStart; n < kShortSlopeStart + kShortWindowLength; ++n)
            z[n] = x[n] * riseShort[n - kShortSlopeStart];
        for (int n = kShortSlopeStart + kShortWindowLength; n < kFrameLength; ++n) z[n] = x[n];
        for (int n = kFrameLength; n < kBlock; ++n) z[n] = x[n] * fallLong[kBlock - 1 - n];
        break;
    default:  // ONLY_LONG_SEQUENCE
        for (int n = 0; n < kFrameLength; ++n) z[n] = x[n] * riseLong[n];
        for (int n = kFrameLength; n < kBlock; ++n) z[n] = x[n] * fallLong[kBlock - 1 - n];
        break;
    }
}

// Windowed short block w (256 samples from x[448 + 128 w]).
void windowShortBlock(const double* x, const IcsInfo& ics, int w, double* z) {
    const auto rise = shortWindow(w == 0 ? ics.previousWindowShape : ics.windowShape);
    const auto fall = shortWindow(ics.windowShape);
    const double* s = x + kShortSlopeStart + kShortWindowLength * w;
    for (int n = 0; n < kShortWindowLength; ++n) z[n] = s[n] * rise[n];
    for (int n = 0; n < kShortWindowLength; ++n)
        z[kShortWindowLength + n] = s[kShortWindowLength + n] * fall[kShortWindowLength - 1 - n];
}

}  // namespace

void analysisFilterbank(ChannelBuffer& buffer, const IcsInfo& ics) {
    const double* x = buffer.timeSamples;
    if (ics.windowSequence == EIGHT_SHORT_SEQUENCE) {
        const Mdct& mdct = shortMdct();
        double z[kShortBlock];
        for (int w = 0; w < kShortWindows; ++w) {
            windowShortBlock(x, ics, w, z);
            mdct.forward(z, std::span<double>(buffer.spectrum + kShortWindowLength * w, kShortWindowLength));
        }
        return;
    }
    double z[kBlock];
    windowLongBlock(x, ics, z);
    longMdct().forward(z, buffer.spectrum);
}

}  // namespace varnel
