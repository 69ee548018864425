// Window shapes per window sequence (ISO/IEC 14496-3, 4.6.11.3.2), on the 2048-sample block
// x = timeSamples[0 .. 2047]; R and F are the rising and falling halves, a falling half being
// its rising-half table read backwards:
//   ONLY_LONG_SEQUENCE    R_long over 0..1023, F_long over 1024..2047
//   LONG_START_SEQUENCE   R_long over 0..1023, 1 over 1024..1471, F_short over 1472..1599, 0 after
//   LONG_STOP_SEQUENCE    0 over 0..447, R_short over 448..575, 1 over 576..1023, F_long after
//   EIGHT_SHORT_SEQUENCE  window w covers 448 + 128 w .. 703 + 128 w: R_short, then F_short
// The flat and short parts sit at the centre of each half, (1024 - 128) / 2 = 448 samples in,
// so that a start or stop block meets a short block's slopes exactly.
#include "analysis/filterbank.h"

#include <span>

#include "analysis/mdct.h"
#include "analysis/windows.h"
#include "records/instruction_set.h"

namespace varnel {
namespace {

using Half = std::span<const float>;

constexpr int kBlock = 2 * kFrameLength;                                  // 2048
constexpr int kShortBlock = 2 * kShortWindowLength;                       // 256
constexpr int kShortStart = (kFrameLength - kShortWindowLength) / 2;      // 448
constexpr int kStartSlope = kFrameLength + kShortStart;                   // 1472
constexpr int kStartZero = kStartSlope + kShortWindowLength;              // 1600
constexpr int kStopFlat = kShortStart + kShortWindowLength;               // 576

// Each product is a double sample times a single-precision window value.
VARNEL_KERNEL_BODY void windowOnlyLong(const double* x, Half riseLong, Half fallLong, double* z) {
    for (int n = 0; n < kFrameLength; ++n) z[n] = x[n] * riseLong[n];
    for (int n = kFrameLength; n < kBlock; ++n) z[n] = x[n] * fallLong[kBlock - 1 - n];
}

VARNEL_KERNEL_BODY void windowLongStart(const double* x, Half riseLong, Half fallShort, double* z) {
    for (int n = 0; n < kFrameLength; ++n) z[n] = x[n] * riseLong[n];
    for (int n = kFrameLength; n < kStartSlope; ++n) z[n] = x[n];
    for (int n = kStartSlope; n < kStartZero; ++n) z[n] = x[n] * fallShort[kStartZero - 1 - n];
    for (int n = kStartZero; n < kBlock; ++n) z[n] = 0.0;
}

VARNEL_KERNEL_BODY void windowLongStop(const double* x, Half riseShort, Half fallLong, double* z) {
    for (int n = 0; n < kShortStart; ++n) z[n] = 0.0;
    for (int n = kShortStart; n < kStopFlat; ++n) z[n] = x[n] * riseShort[n - kShortStart];
    for (int n = kStopFlat; n < kFrameLength; ++n) z[n] = x[n];
    for (int n = kFrameLength; n < kBlock; ++n) z[n] = x[n] * fallLong[kBlock - 1 - n];
}

// Short window w of an EIGHT_SHORT_SEQUENCE: 256 samples from x[448 + 128 w].
VARNEL_KERNEL_BODY void windowEightShort(const double* x, int w, Half riseShort, Half fallShort, double* z) {
    const double* s = x + kShortStart + kShortWindowLength * w;
    for (int n = 0; n < kShortWindowLength; ++n) z[n] = s[n] * riseShort[n];
    for (int n = 0; n < kShortWindowLength; ++n)
        z[kShortWindowLength + n] = s[kShortWindowLength + n] * fallShort[kShortWindowLength - 1 - n];
}

// The windowing (elementwise, so the vector build does four samples at a time) and the MDCT.
template <bool Vector>
VARNEL_KERNEL_BODY void filterbankBody(ChannelBuffer& buffer, const IcsInfo& ics) {
    const double* x = buffer.timeSamples();
    // The rising half overlaps the previous block, so it keeps that block's shape.
    const WindowShape rise = ics.previousWindowShape;
    const WindowShape fall = ics.windowShape;
    if (isShort(ics)) {
        const Mdct& mdct = shortMdct();
        double z[kShortBlock];
        for (int w = 0; w < kShortWindows; ++w) {
            windowEightShort(x, w, shortWindow(w == 0 ? rise : fall), shortWindow(fall), z);
            mdct.forwardWith(Vector, z,
                             std::span<double>(buffer.spectrum + kShortWindowLength * w, kShortWindowLength));
        }
        return;
    }
    double z[kBlock];
    switch (ics.windowSequence) {
    case LONG_START_SEQUENCE: windowLongStart(x, longWindow(rise), shortWindow(fall), z); break;
    case LONG_STOP_SEQUENCE: windowLongStop(x, shortWindow(rise), longWindow(fall), z); break;
    default: windowOnlyLong(x, longWindow(rise), longWindow(fall), z); break;
    }
    longMdct().forwardWith(Vector, z, buffer.spectrum);
}

void filterbankScalar(ChannelBuffer& buffer, const IcsInfo& ics) { filterbankBody<false>(buffer, ics); }
VARNEL_VECTOR_TARGET void filterbankVector(ChannelBuffer& buffer, const IcsInfo& ics) {
    filterbankBody<true>(buffer, ics);
}

}  // namespace

void analysisFilterbank(ChannelBuffer& buffer, const IcsInfo& ics) {
    analysisFilterbankWith(useVectorKernels(), buffer, ics);
}

void analysisFilterbankWith(bool vector, ChannelBuffer& buffer, const IcsInfo& ics) {
    (vector ? filterbankVector : filterbankScalar)(buffer, ics);
}

}  // namespace varnel
