// Test-only reference: the decoder's TNS tool for a long window, written from the decoding
// process of ISO/IEC 14496-3, 4.6.9.3 (tns_decode_frame, tns_decode_coef, tns_ar_filter) and
// independent of the encoder's code. It reads the tns_data fields as a decoder receives them.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <span>

#include "records/channel_records.h"

namespace varnel::reference {

// tns_decode_coef: sign extension of each coef_bits-wide field, inverse quantisation for
// coef_res_bits = coef_res + 3, conversion to LPC a[0..order].
inline void tnsDecodeCoef(int order, int coefResBits, int coefCompress, const uint8_t* coef,
                          double* a) {
    const int coefBits = coefResBits - coefCompress;
    const int signMask = 1 << (coefBits - 1);
    const int negMask = ~((1 << coefBits) - 1);
    const double iqfac = ((1 << (coefResBits - 1)) - 0.5) / (std::numbers::pi / 2.0);
    const double iqfacM = ((1 << (coefResBits - 1)) + 0.5) / (std::numbers::pi / 2.0);
    double tmp[32];
    for (int i = 0; i < order; ++i) {
        const int c = (coef[i] & signMask) ? (coef[i] | negMask) : coef[i];
        tmp[i] = std::sin(c / (c >= 0 ? iqfac : iqfacM));
    }
    double b[32];
    a[0] = 1.0;
    for (int m = 1; m <= order; ++m) {
        for (int i = 1; i < m; ++i) b[i] = a[i] + tmp[m - 1] * a[m - i];
        for (int i = 1; i < m; ++i) a[i] = b[i];
        a[m] = tmp[m - 1];
    }
}

// tns_ar_filter: the all-pole filter y[n] = x[n] - sum a[j] y[n - j] over `size` lines from
// `spectrum` onward at stride `inc`.
inline void tnsArFilter(double* spectrum, int size, int inc, const double* lpc, int order) {
    double state[32] = {};
    for (int i = 0; i < size; ++i) {
        double y = *spectrum;
        for (int j = 0; j < order; ++j) y -= lpc[j + 1] * state[j];
        for (int j = order - 1; j > 0; --j) state[j] = state[j - 1];
        state[0] = y;
        *spectrum = y;
        spectrum += inc;
    }
}

// tns_decode_frame for one long window.
inline void tnsDecodeLong(const ChannelSideInfo& side, int numSwb, const uint16_t* swbOffset,
                          int tnsMaxBands, int maxSfb, std::span<double> spectrum) {
    if (!side.tnsDataPresent) return;
    int bottom = numSwb;
    for (int f = 0; f < side.tnsNumFilters[0]; ++f) {
        const int top = bottom;
        bottom = std::max(top - side.tnsLength[f], 0);
        const int order = side.tnsOrder[f];
        if (order == 0) continue;
        double lpc[32];
        tnsDecodeCoef(order, side.tnsCoefRes[0] + 3, side.tnsCoefCompress[f], side.tnsCoef[f], lpc);
        const int start = swbOffset[std::min({bottom, tnsMaxBands, maxSfb})];
        const int end = swbOffset[std::min({top, tnsMaxBands, maxSfb})];
        const int size = end - start;
        if (size <= 0) continue;
        const int inc = side.tnsDirection[f] ? -1 : 1;
        tnsArFilter(spectrum.data() + (side.tnsDirection[f] ? end - 1 : start), size, inc, lpc, order);
    }
}

}  // namespace varnel::reference
