#include "analysis/psychoacoustic_model.h"

#include <algorithm>
#include <array>
#include <cassert>
#include <cmath>
#include <numbers>

#include "analysis/real_fft.h"
#include "records/instruction_set.h"

namespace varnel {
namespace {

// Keeps the logarithms of the flatness finite on all-zero bins.
constexpr double kTinyEnergy = 1e-9;
// Flatness of noise and the flatness from which a band counts as fully tonal, in dB.
constexpr double kNoiseFlatnessDb = -3.0;
constexpr double kToneFlatnessDb = -25.0;
// Frequencies at which the quiet threshold of a band is looked up (its lowest value counts).
constexpr int kQuietThresholdProbes = 4;
constexpr double kLowestProbeHz = 20.0;
// Where the short windows' transforms start in the sample history (the long block's starts at 0).
constexpr int kFirstShortSample = 448;

double dbToPower(double db) { return std::pow(10.0, db / 10.0); }

// Periodic Hann window of n points, built once per length.
const double* hannWindow(int n) {
    static const auto table = [] {
        std::array<double, 2 * kFrameLength + kShortWindowLength * 2> t{};
        const double pi = std::acos(-1.0);
        for (int i = 0; i < 2 * kFrameLength; ++i)
            t[i] = 0.5 - 0.5 * std::cos(2.0 * pi * (i + 0.5) / (2 * kFrameLength));
        for (int i = 0; i < 2 * kShortWindowLength; ++i)
            t[2 * kFrameLength + i] = 0.5 - 0.5 * std::cos(2.0 * pi * (i + 0.5) / (2 * kShortWindowLength));
        return t;
    }();
    return n == 2 * kFrameLength ? table.data() : table.data() + 2 * kFrameLength;
}

// Energy in MDCT units of bins 0 .. bins - 1 of the Hann-windowed transform of 2 * bins samples.
template <bool Vector>
VARNEL_KERNEL_BODY void binEnergies(const double* samples, int bins, MaskingState& state, double* energy) {
    const int n = 2 * bins;
    const double* window = hannWindow(n);
    double* a = state.buffer;
    for (int i = 0; i < n; ++i) a[i] = samples[i] * window[i];
    static const RealFftPlan longPlan(2 * kFrameLength);
    static const RealFftPlan shortPlan(2 * kShortWindowLength);
    (n == 2 * kFrameLength ? longPlan : shortPlan).forwardWith(Vector, a);
    energy[0] = a[0] * a[0] * kFftToMdctEnergy;
    for (int k = 1; k < bins; ++k) energy[k] = (a[2 * k] * a[2 * k] + a[2 * k + 1] * a[2 * k + 1]) * kFftToMdctEnergy;
}

// Tonality 0 .. 1 from the spectral flatness of bins [lo, hi), widened symmetrically to at least
// kTonalityMinBins inside the transform.
VARNEL_KERNEL_BODY double bandTonality(const double* energy, int bins, int lo, int hi) {
    while (hi - lo < kTonalityMinBins && (lo > 0 || hi < bins)) {
        if (lo > 0) --lo;
        if (hi - lo < kTonalityMinBins && hi < bins) ++hi;
    }
    // The sum of the bins' logarithms as the logarithm of their product: one log per band instead
    // of one per bin. The product is renormalised (frexp) every kProductRun bins: a bin lies
    // between kTinyEnergy and about 1e16, so that many factors stay far inside the double range.
    constexpr int kProductRun = 8;
    double mantissa = 1.0;
    long exponent = 0;
    double sum = 0.0;
    for (int k = lo; k < hi; ++k) {
        const double p = energy[k] + kTinyEnergy;
        mantissa *= p;
        sum += p;
        if ((k - lo) % kProductRun == kProductRun - 1) {
            int e = 0;
            mantissa = std::frexp(mantissa, &e);
            exponent += e;
        }
    }
    const double logSum = std::log(mantissa) + static_cast<double>(exponent) * std::numbers::ln2;
    const int n = hi - lo;
    const double flatnessDb = 10.0 / std::log(10.0) * (logSum / n - std::log(sum / n));
    const double t = (kNoiseFlatnessDb - flatnessDb) / (kNoiseFlatnessDb - kToneFlatnessDb);
    return std::clamp(t, 0.0, 1.0);
}

// Per band entry b the factors that carry a running masker sum from band b - 1 up to b
// (upper) and from band b + 1 down to b (lower).
void spreadingDecays(std::span<const double> bark, double* upper, double* lower) {
    const size_t n = bark.size();
    for (size_t b = 0; b < n; ++b) {
        upper[b] = b > 0 ? dbToPower(-kUpperSlopeDb * (bark[b] - bark[b - 1])) : 0.0;
        lower[b] = b + 1 < n ? dbToPower(-kLowerSlopeDb * (bark[b + 1] - bark[b])) : 0.0;
    }
}

// The spreading of spreadMasking with the decays of spreadingDecays.
void spreadWithDecays(const double* masker, int n, const double* upper, const double* lower,
                      double* spread) {
    // Toward higher bands with the upper slope, toward lower bands with the lower slope; the
    // band's own masker counts once.
    double running = 0.0;
    for (int b = 0; b < n; ++b) {
        if (b > 0) running *= upper[b];
        running += masker[b];
        spread[b] = running;
    }
    running = 0.0;
    for (int b = n; b-- > 0;) {
        if (b + 1 < n) running *= lower[b];
        running += masker[b];
        spread[b] += running - masker[b];
    }
}

// The block kind's layout, built on first use.
const BandLayout& bandLayout(const IcsInfo& ics, int32_t sampleRate, int bins, MaskingState& state) {
    BandLayout& layout = state.layouts[bins == kFrameLength ? 0 : 1];
    if (layout.bands == ics.numSwb) return layout;
    const double hzPerBin = 0.5 * sampleRate / bins;
    for (int b = 0; b < ics.numSwb; ++b) {
        const double lo = ics.swbOffsets[b] * hzPerBin;
        const double hi = ics.swbOffsets[b + 1] * hzPerBin;
        layout.bark[b] = barkOf(0.5 * (lo + hi));
        layout.width[b] = barkOf(hi) - barkOf(lo);
        layout.quiet[b] = bandQuietThreshold(lo, hi, bins);
        layout.minSmrFactor[b] =
            dbToPower(-std::max(0.0, kLowestBandMinSmrDb * (1.0 - layout.bark[b] / kMinSmrTopBark)));
    }
    spreadingDecays(std::span<const double>(layout.bark, ics.numSwb), layout.upperDecay, layout.lowerDecay);
    layout.bands = ics.numSwb;
    return layout;
}

// Thresholds of one transform before pre-echo control.
VARNEL_KERNEL_BODY void transformThresholds(const double* binEnergy, int bins, const IcsInfo& ics,
                         const BandLayout& layout, double* energy, double* tonality,
                         double* threshold) {
    const int n = ics.numSwb;
    double masker[kMaxBandEntries]{};
    for (int b = 0; b < n; ++b) {
        const int lo = ics.swbOffsets[b];
        const int hi = ics.swbOffsets[b + 1];
        double e = 0.0;
        for (int k = lo; k < hi; ++k) e += binEnergy[k];
        energy[b] = e;
        tonality[b] = e > 0.0 ? bandTonality(binEnergy, bins, lo, hi) : 0.0;
        const double offsetDb = tonality[b] * (kToneMaskerOffsetDb + kToneMaskerBarkWeight * layout.bark[b]) +
                                (1.0 - tonality[b]) * kNoiseMaskerOffsetDb;
        masker[b] = e * dbToPower(-offsetDb);
    }
    double spread[kMaxBandEntries];
    spreadWithDecays(masker, n, layout.upperDecay, layout.lowerDecay, spread);
    for (int b = 0; b < n; ++b)
        threshold[b] = std::max(std::min(spread[b] * layout.width[b], energy[b] * layout.minSmrFactor[b]),
                                layout.quiet[b]);
}

// Lines of a transform of `bins` lines per step of the threshold grid (8 long, 1 short), and
// the energy per line of the transform that one unit of long-block energy per line is.
int linesPerStep(int bins) { return bins / kThresholdGridSize; }
double unitsPerLongLine(int bins) { return static_cast<double>(bins) / kFrameLength; }

void limitRise(double* threshold, const MaskingState& state, const IcsInfo& ics, int bins,
               double riseLimit, const double* quiet) {
    if (!state.hasPrevious) return;
    const int step = linesPerStep(bins);
    for (int b = 0; b < ics.numSwb; ++b) {
        const int lo = ics.swbOffsets[b];
        const int hi = ics.swbOffsets[b + 1];
        double density = state.previousDensity[lo / step];
        for (int k = lo; k < hi; k += step) density = std::min(density, state.previousDensity[k / step]);
        const double previous = density * unitsPerLongLine(bins) * (hi - lo);
        threshold[b] = std::max(std::min(threshold[b], riseLimit * previous), quiet[b]);
    }
}

void storeThresholds(MaskingState& state, const double* threshold, const IcsInfo& ics, int bins) {
    const int step = linesPerStep(bins);
    for (int b = 0; b < ics.numSwb; ++b) {
        const int lo = ics.swbOffsets[b];
        const int hi = ics.swbOffsets[b + 1];
        const double density = threshold[b] / (hi - lo) / unitsPerLongLine(bins);
        for (int k = lo; k < hi; k += step) state.previousDensity[k / step] = density;
    }
    state.hasPrevious = true;
}

}  // namespace

double fullScaleSineEnergy(int halfLength) {
    const double n = 2.0 * halfLength;
    return kFullScaleAmplitude * kFullScaleAmplitude * n * n / 4.0;
}

double barkOf(double hz) {
    return 13.0 * std::atan(0.00076 * hz) + 3.5 * std::atan((hz / 7500.0) * (hz / 7500.0));
}

double quietThresholdDb(double hz) {
    const double k = hz / 1000.0;
    const double db = 3.64 * std::pow(k, -0.8) - 6.5 * std::exp(-0.6 * (k - 3.3) * (k - 3.3)) +
                      0.001 * std::pow(k, kQuietRiseExponent);
    return std::min(db, kMaxQuietThresholdDb);
}

double bandQuietThreshold(double loHz, double hiHz, int halfLength) {
    double quietDb = kMaxQuietThresholdDb;
    for (int p = 0; p < kQuietThresholdProbes; ++p) {
        const double f = std::max(kLowestProbeHz, loHz + (hiHz - loHz) * p / (kQuietThresholdProbes - 1));
        quietDb = std::min(quietDb, quietThresholdDb(f));
    }
    return fullScaleSineEnergy(halfLength) * dbToPower(quietDb - kFullScaleSpl);
}

void spreadMasking(std::span<const double> masker, std::span<const double> bark,
                   std::span<double> spread) {
    const size_t n = masker.size();
    assert(bark.size() == n && spread.size() == n && n <= static_cast<size_t>(kMaxBandEntries));
    double upper[kMaxBandEntries], lower[kMaxBandEntries];
    spreadingDecays(bark, upper, lower);
    spreadWithDecays(masker.data(), static_cast<int>(n), upper, lower, spread.data());
}

namespace {

// The model's steps; the vector build does the windowing, the transform and the bin energies
// several values at a time.
template <bool Vector>
VARNEL_KERNEL_BODY void maskingBody(std::span<const double> timeSamples, const IcsInfo& ics, int32_t sampleRate,
                                    MaskingState& state, MaskingResult& result) {
    assert(timeSamples.size() >= static_cast<size_t>(2 * kFrameLength));
    assert(ics.numSwb * (isShort(ics) ? ics.numWindowGroups : 1) <= kMaxBandEntries);
    double bins[kFrameLength];
    if (!isShort(ics)) {
        const BandLayout& layout = bandLayout(ics, sampleRate, kFrameLength, state);
        binEnergies<Vector>(timeSamples.data(), kFrameLength, state, bins);
        transformThresholds(bins, kFrameLength, ics, layout, result.energy, result.tonality,
                            result.threshold);
        limitRise(result.threshold, state, ics, kFrameLength, kLongRiseLimit, layout.quiet);
        storeThresholds(state, result.threshold, ics, kFrameLength);
        return;
    }

    const BandLayout& layout = bandLayout(ics, sampleRate, kShortWindowLength, state);
    int window = 0;
    for (int g = 0; g < ics.numWindowGroups; ++g) {
        double* energy = result.energy + g * ics.numSwb;
        double* tonality = result.tonality + g * ics.numSwb;
        double* threshold = result.threshold + g * ics.numSwb;
        std::fill(energy, energy + ics.numSwb, 0.0);
        std::fill(tonality, tonality + ics.numSwb, 0.0);
        std::fill(threshold, threshold + ics.numSwb, HUGE_VAL);
        const int windows = ics.windowGroupLength[g];
        for (int w = 0; w < windows; ++w, ++window) {
            binEnergies<Vector>(timeSamples.data() + kFirstShortSample + window * kShortWindowLength,
                        kShortWindowLength, state, bins);
            double e[kMaxBandEntries], t[kMaxBandEntries], thr[kMaxBandEntries];
            transformThresholds(bins, kShortWindowLength, ics, layout, e, t, thr);
            limitRise(thr, state, ics, kShortWindowLength, kShortRiseLimit, layout.quiet);
            storeThresholds(state, thr, ics, kShortWindowLength);
            for (int b = 0; b < ics.numSwb; ++b) {
                energy[b] += e[b];
                tonality[b] += t[b] / windows;
                threshold[b] = std::min(threshold[b], thr[b]);
            }
        }
        for (int b = 0; b < ics.numSwb; ++b) threshold[b] *= windows;
    }
}

void maskingScalar(std::span<const double> timeSamples, const IcsInfo& ics, int32_t sampleRate, MaskingState& state,
                   MaskingResult& result) {
    maskingBody<false>(timeSamples, ics, sampleRate, state, result);
}
VARNEL_VECTOR_TARGET void maskingVector(std::span<const double> timeSamples, const IcsInfo& ics, int32_t sampleRate,
                                        MaskingState& state, MaskingResult& result) {
    maskingBody<true>(timeSamples, ics, sampleRate, state, result);
}

}  // namespace

void computeMaskingThresholds(std::span<const double> timeSamples, const IcsInfo& ics,
                              int32_t sampleRate, MaskingState& state, MaskingResult& result) {
    computeMaskingThresholdsWith(useVectorKernels(), timeSamples, ics, sampleRate, state, result);
}

void computeMaskingThresholdsWith(bool vector, std::span<const double> timeSamples, const IcsInfo& ics,
                                  int32_t sampleRate, MaskingState& state, MaskingResult& result) {
    (vector ? maskingVector : maskingScalar)(timeSamples, ics, sampleRate, state, result);
}

}  // namespace varnel
