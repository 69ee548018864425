// Temporal noise shaping, encoder side (ISO/IEC 14496-3, 4.6.9).
//
// Analysis. For the lines x[0..N-1] of a range, r[i] = sum_n x[n] x[n + i] and the
// Levinson-Durbin recursion gives the reflection coefficients k_m of the order-12 predictor:
//     E_0 = r[0],  k_m = -(r[m] + sum_{i=1..m-1} a_i r[m - i]) / E_{m-1},
//     a_i <- a_i + k_m a_{m-i} (i < m),  a_m = k_m,  E_m = E_{m-1} (1 - k_m^2).
// r[0] / E_12 is the prediction gain: the energy of the range over that of its prediction error.
//
// Quantisation (4.6.9.3). A reflection coefficient is sent as an index of its arcsine,
//     idx = floor(asin(k) * iq + 0.5),  k' = sin(idx / iq),
// with iq = (2^(bits-1) - 0.5) * 2 / pi for k >= 0 and (2^(bits-1) + 0.5) * 2 / pi for k < 0,
// so 4-bit indices run from -8 to 7. The decoder dequantises the indices the same way and
// converts them to a direct-form predictor with the step-up recursion
//     lpc_0 = 1,  lpc_i <- lpc_i + k'_m lpc_{m-i} (i < m),  lpc_m = k'_m.
// Its all-pole filter y[n] = e[n] - sum lpc_i y[n - i] inverts the encoder's FIR filter
// e[n] = x[n] + sum lpc_i x[n - i] exactly when both use the same lpc, which is why the encoder
// filters with the predictor rebuilt from the transmitted indices (tnsDirectForm), not with the
// unquantised one.
//
// Side information. A decoder derives the filter ranges from numSwb downward: the first filter
// covers [numSwb - length[0], numSwb), the next one ends where the previous one starts, and each
// range is clipped to min(TNS_MAX_BANDS, max_sfb). The lengths are therefore counted from numSwb
// although the first filtered range ends at the encoder's top band.
#include "coding/tns.h"

#include <algorithm>
#include <array>
#include <cassert>
#include <cmath>

#include "bitstream/syntax_writer.h"
#include "coding/tns_tables.h"

namespace varnel {
namespace {

constexpr double kTwoOverPi = 0.6366197723675814;

// Inverse quantiser steps for non-negative and negative indices.
double positiveStep(int bits) { return ((1 << (bits - 1)) - 0.5) * kTwoOverPi; }
double negativeStep(int bits) { return ((1 << (bits - 1)) + 0.5) * kTwoOverPi; }

double dequantise(int index, int bits) {
    return std::sin(index / (index >= 0 ? positiveStep(bits) : negativeStep(bits)));
}

// A filter applied after the search's range fell (or stayed) short starts at the previous,
// narrower range; at the lowest band it starts at the range just analysed.
int filterStartBand(int s, int lowestBand) { return s > lowestBand ? s + kTnsBandStep : s; }

// The max_sfb the syntax writer will write for a long block of `channel`, as far as it bounds
// a decoder's TNS filter. With noise substitution sectioning covers every band below
// pnsBandLimit, trailing zero bands included, and a common-window pair writes the larger of
// the two channels' values. Without it max_sfb is bandLimit less the trailing bands that
// quantise to zero; those bands decode to zero whether or not a filter runs over them, so
// bandLimit serves as the bound (a pair's two bandLimit values are equal unless one channel is
// silent, and a silent channel sets no filter).
int32_t writtenMaxSfb(std::span<const IcsInfo> ics, std::span<const ChannelCoding> coding, size_t channel,
                      bool noiseSubstitution) {
    if (!noiseSubstitution) return coding[channel].bandLimit;
    if (ics.size() == 2 && hasCommonWindow(ics[0], ics[1]))
        return std::max(coding[0].pnsBandLimit, coding[1].pnsBandLimit);
    return coding[channel].pnsBandLimit;
}

}  // namespace

TnsBandRange tnsBandRange(const IcsInfo& ics, int32_t bandLimit, int32_t maxSfb,
                          int32_t sampleRateIndex, int32_t firstNoiseBand) {
    assert(sampleRateIndex >= 0 && sampleRateIndex < kNumSampleRates);
    assert(firstNoiseBand >= 0 && firstNoiseBand <= ics.numSwb);
    const TnsBandLimits& limits = tnsBandLimits[static_cast<size_t>(sampleRateIndex)];
    const int tnsTop = std::min(static_cast<int>(limits.topLong), static_cast<int>(ics.numSwb));
    const int filterTop = std::min(static_cast<int>(maxSfb), tnsTop);
    const int noise = static_cast<int>(firstNoiseBand);
    const int top = std::min({static_cast<int>(bandLimit), tnsTop, noise});
    return TnsBandRange{limits.lowestLong, top, filterTop, noise < filterTop ? noise : static_cast<int>(ics.numSwb)};
}

int32_t firstNoiseBand(const IcsInfo& ics, const ChannelCoding& coding, bool noiseSubstitution) {
    if (!noiseSubstitution || coding.pnsStartBand >= coding.pnsBandLimit) return ics.numSwb;
    return coding.pnsStartBand;
}

void searchTnsFilters(std::span<const uint16_t> swbOffsets, int lowestBand, int topBand,
                      const TnsSearchSteps& steps) {
    int top = topBand;
    int s = std::min(top - kTnsBandStep, kTnsHighestStart);
    double previousGain = 0.0;
    int filters = 0;
    for (; s >= lowestBand; s -= kTnsBandStep) {
        if (swbOffsets[top] - swbOffsets[s] < kTnsMinRangeLines) continue;
        const double gain = steps.analyse(s, top);
        if (gain >= kTnsMinGain) {
            // The exact-equality test: at the lowest band the range is applied as it stands.
            const bool fell = kTnsGainDrop * previousGain > gain;
            if (!fell && s != lowestBand) {
                previousGain = gain;
                continue;
            }
        } else if (previousGain < kTnsMinGain) {
            return;
        }
        const int start = filterStartBand(s, lowestBand);
        assert(start < top);
        if (!steps.apply(start, top)) continue;  // discarded: s and previousGain stay
        top = start;
        s = start;
        previousGain = 0.0;
        if (++filters == kTnsMaxFilters) return;
    }
}

void runTnsChannel(const IcsInfo& ics, const TnsBandRange& range, std::span<double> spectrum,
                   ChannelSideInfo& side) {
    if (isShort(ics)) return;
    assert(spectrum.size() == kFrameLength);
    const std::span<const uint16_t> offsets(ics.swbOffsets, static_cast<size_t>(ics.numSwb) + 1);
    auto lines = [&](int startBand, int topBand) {
        const int first = offsets[static_cast<size_t>(startBand)];
        return spectrum.subspan(static_cast<size_t>(first),
                                static_cast<size_t>(offsets[static_cast<size_t>(topBand)] - first));
    };

    side.tnsNumFilters[0] = 0;
    std::array<double, kTnsCoefArraySize> reflection{};  // of the most recent analysis
    int filters = 0;  // filter slots used, the guard's included
    int previousStart = ics.numSwb;  // lengths are counted from numSwb, as a decoder reads them

    TnsSearchSteps steps;
    steps.analyse = [&](int startBand, int topBand) {
        return tnsLpcAnalysis(kTnsMaxOrder, lines(startBand, topBand), reflection);
    };
    steps.apply = [&](int startBand, int topBand) {
        uint8_t coef[kTnsMaxOrder];
        tnsQuantiseCoefficients(kTnsMaxOrder, kTnsCoefBits, reflection, coef);
        const int order = tnsTruncateOrder(kTnsMaxOrder, kTnsTruncation, reflection);
        std::array<double, kTnsCoefArraySize> lpc{};
        tnsDirectForm(order, kTnsCoefBits, 0, coef, lpc);
        side.tnsCoefRes[0] = kTnsCoefRes;
        if (order == 0) return false;

        if (filters == 0 && range.guardBand < ics.numSwb) {
            // The order-0 filter that holds the decoder's first filter off the noise bands.
            side.tnsLength[0] = static_cast<uint8_t>(ics.numSwb - range.guardBand);
            side.tnsOrder[0] = 0;
            side.tnsNumFilters[0] = 1;
            previousStart = range.guardBand;
            ++filters;
        }
        const auto f = static_cast<size_t>(filters);
        std::copy(std::begin(coef), std::end(coef), side.tnsCoef[f]);
        side.tnsCoefCompress[f] = 0;
        side.tnsNumFilters[0] += 1;
        side.tnsDataPresent = 1;
        side.tnsOrder[f] = static_cast<uint8_t>(order);
        side.tnsDirection[f] = 0;  // upward
        side.tnsLength[f] = static_cast<uint8_t>(previousStart - startBand);
        const int filterTop = filters == 0 ? range.filterTopBand : topBand;
        tnsAnalysisFilter(lines(startBand, std::max(filterTop, startBand)), +1, lpc, order);
        previousStart = startBand;
        ++filters;
        return true;
    };
    searchTnsFilters(offsets, range.lowestBand, range.topBand, steps);
}

void runTns(std::span<const IcsInfo> ics, std::span<const ChannelCoding> coding, std::span<ChannelBuffer> buffers,
            ElementInfo& element, bool noiseSubstitution, int32_t sampleRateIndex) {
    for (size_t c = 0; c < ics.size(); ++c) {
        const TnsBandRange range =
            tnsBandRange(ics[c], coding[c].bandLimit, writtenMaxSfb(ics, coding, c, noiseSubstitution),
                         sampleRateIndex, firstNoiseBand(ics[c], coding[c], noiseSubstitution));
        runTnsChannel(ics[c], range, buffers[c].spectrum, element.sideInfo[c]);
    }
}

double tnsLpcAnalysis(int order, std::span<const double> lines, std::span<double> reflection) {
    assert(order >= 1 && order <= kTnsMaxOrder && reflection.size() > static_cast<size_t>(order));
    const int n = static_cast<int>(lines.size());
    // The autocorrelation's lags side by side, each still summed in line order, so that they
    // proceed together instead of one long chain of dependent additions after another.
    std::array<double, kTnsCoefArraySize> r{};
    const int common = std::max(n - order, 0);  // lines every lag takes
    for (int k = 0; k < common; ++k)
        for (int i = 0; i <= order; ++i) r[i] += lines[k] * lines[k + i];
    for (int k = common; k < n; ++k)
        for (int i = 0; i < n - k; ++i) r[i] += lines[k] * lines[k + i];
    if (r[0] < kTnsEnergyFloor) return 0.0;

    std::array<double, kTnsCoefArraySize> a{};
    std::array<double, kTnsCoefArraySize> previous{};
    a[0] = 1.0;
    double error = r[0];
    for (int m = 1; m <= order; ++m) {
        double acc = r[m];
        for (int i = 1; i < m; ++i) acc += a[i] * r[m - i];
        const double k = -acc / error;
        reflection[m] = k;
        previous = a;
        for (int i = 1; i < m; ++i) a[i] = previous[i] + k * previous[m - i];
        a[m] = k;
        error *= 1.0 - k * k;
    }
    return r[0] / error;
}

void tnsQuantiseCoefficients(int order, int bits, std::span<double> reflection,
                             std::span<uint8_t> indices) {
    assert(order >= 0 && order <= kTnsMaxOrder && reflection.size() > static_cast<size_t>(order));
    assert(bits >= 2 && bits <= 8 && indices.size() >= static_cast<size_t>(order));
    const int half = 1 << (bits - 1);
    const int mask = (1 << bits) - 1;
    for (int i = 1; i <= order; ++i) {
        // |k| < 1 for any nonzero range; rounding on a nearly singular autocorrelation may reach
        // or pass 1, where asin is undefined and k = 1 would give the index 2^(bits-1), one past
        // the largest. Such values are held at the ends of the index range.
        const double k = std::isnan(reflection[i]) ? 0.0 : std::clamp(reflection[i], -1.0, 1.0);
        const double scaled = std::asin(k) * (k >= 0.0 ? positiveStep(bits) : negativeStep(bits));
        const int index = std::clamp(static_cast<int>(std::floor(scaled + 0.5)), -half, half - 1);
        indices[i - 1] = static_cast<uint8_t>(index & mask);
        reflection[i] = dequantise(index, bits);
    }
}

int tnsTruncateOrder(int order, double threshold, std::span<double> reflection) {
    assert(order >= 0 && reflection.size() > static_cast<size_t>(order));
    for (int i = order; i >= 1; --i) {
        if (std::fabs(reflection[i]) > threshold) return i;
        reflection[i] = 0.0;
    }
    return 0;
}

void tnsDirectForm(int order, int bits, int compress, std::span<const uint8_t> indices,
                   std::span<double> lpc) {
    assert(order >= 0 && order <= kTnsMaxOrder && lpc.size() > static_cast<size_t>(order));
    assert(indices.size() >= static_cast<size_t>(order) && compress >= 0 && bits - compress >= 2);
    const int width = bits - compress;
    const int mask = (1 << width) - 1;
    const int signBit = 1 << (width - 1);
    lpc[0] = 1.0;
    std::array<double, kTnsCoefArraySize> previous{};
    for (int m = 1; m <= order; ++m) {
        int index = indices[m - 1] & mask;
        if (index & signBit) index |= ~mask;  // sign extension from `width` bits
        const double k = dequantise(index, bits);
        for (int i = 0; i < m; ++i) previous[i] = lpc[i];
        for (int i = 1; i < m; ++i) lpc[i] = previous[i] + k * previous[m - i];
        lpc[m] = k;
    }
}

void tnsAnalysisFilter(std::span<double> lines, int step, std::span<const double> lpc, int order) {
    assert(step == 1 || step == -1);
    assert(order >= 0 && order <= kTnsMaxOrder && lpc.size() > static_cast<size_t>(order));
    std::array<double, kTnsMaxOrder> state{};  // state[i - 1]: the input i lines earlier
    const int count = static_cast<int>(lines.size());
    for (int n = 0; n < count; ++n) {
        double& line = lines[static_cast<size_t>(step > 0 ? n : count - 1 - n)];
        const double x = line;
        double y = x;
        for (int i = 1; i <= order; ++i) y += lpc[i] * state[i - 1];
        for (int i = order - 1; i > 0; --i) state[i] = state[i - 1];
        if (order > 0) state[0] = x;
        line = y;
    }
}

}  // namespace varnel
