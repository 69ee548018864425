#include "coding/quantiser.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cassert>
#include <cmath>
#include <cstring>

#include "coding/truncation.h"
#include "records/band_tables.h"
#include "records/instruction_set.h"

#if VARNEL_HAS_VECTOR_BUILD
#include <immintrin.h>
#endif

namespace varnel {
namespace {

constexpr double kOneThird = 0.3333333333333333;
constexpr double kOneFifteenth = 0.06666666666666667;

// Long blocks, wideband: bands below kLowerSpectrumBands that lie below the mean level are
// pulled further down (by less towards that band) and get the larger 0.4 share of their
// distance to the loudest band; bands below kLowestBands that are not far above the mean are
// treated alike. The lower spectrum carries most of a signal's loudness, so its quiet bands
// keep more coded lines.
constexpr int kLowerSpectrumBands = 15;
constexpr int kLowestBands = 10;
// Long blocks, narrowband: the same pull-down for the middle bands (10, 20), exclusive.
constexpr int kNarrowbandFirstPulledBand = 11;
constexpr int kNarrowbandEndPulledBand = 20;

// 2^(0.1875 d) for a scale difference d = scaleOffset - globalGain. The search evaluates it for
// every band of every pass, so the values of the differences that occur are tabulated once
// (with exp2 itself, so that the table gives the same values as the call).
double scaleFactorGain(int32_t difference) {
    constexpr int kTableHalf = 512;
    static const auto table = [] {
        std::array<double, 2 * kTableHalf> t{};
        for (int d = -kTableHalf; d < kTableHalf; ++d)
            t[d + kTableHalf] = std::exp2(kScaleStepExponent * d);
        return t;
    }();
    if (difference >= -kTableHalf && difference < kTableHalf) return table[difference + kTableHalf];
    return std::exp2(kScaleStepExponent * difference);
}

// Band level in dB: 20 log10 of the mean magnitude; minus infinity for a band of zeros.
double bandLevel(double magnitudeSum, int lines) { return 20.0 * std::log10(magnitudeSum / lines); }

double magnitudeSum(const double* spectrum, int begin, int end) {
    double s = 0.0;
    for (int k = begin; k < end; ++k) s += std::fabs(spectrum[k]);
    return s;
}

// Lowers a level that lies below the mean by slope * scale of its distance to the mean (in
// that order of multiplication); a result below 0 dB (minus infinity included) becomes 0.
double pullDown(double level, double meanLevel, double slope, double scale) {
    level -= slope * (meanLevel - level) * scale;
    return level < 0.0 ? 0.0 : level;
}

// Level of each of bands 0 .. nb - 1 of `spectrum` (one window), their largest level and the
// summed magnitude of all their lines.
void bandLevels(const double* spectrum, const uint16_t* swb, int nb, double* level, double& maxLevel,
                double& total) {
    for (int b = 0; b < nb; ++b) {
        const double s = magnitudeSum(spectrum, swb[b], swb[b + 1]);
        level[b] = bandLevel(s, swb[b + 1] - swb[b]);
        if (level[b] > maxLevel) maxLevel = level[b];
        total += s;
    }
}

// Long blocks: offsets of bands 0 .. nb - 1, then smoothed in triples. `noiseFlags` is null for
// the plain variant.
void longBlockOffsets(ChannelCoding& coding, const IcsInfo& ics, const double* spectrum,
                      const OffsetRules& rules, int nb, const uint8_t* noiseFlags) {
    const uint16_t* swb = ics.swbOffsets;
    double level[kMaxBandEntries];
    int32_t offset[kMaxBandEntries];
    double maxLevel = 0.0;
    double total = 0.0;
    bandLevels(spectrum, swb, nb, level, maxLevel, total);
    const double meanLevel = bandLevel(total, swb[nb] - swb[0]);
    for (int b = 0; b < nb; ++b) {
        double l = level[b];
        if (rules.midSide) {
            offset[b] = truncToInt(maxLevel - l) / 3;
        } else if (rules.wideband) {
            if (b < kLowerSpectrumBands && l < meanLevel) {
                // Bands below the mean in the lower spectrum: lower them further, less so
                // towards band 15, so that they receive a larger offset.
                l = pullDown(l, meanLevel, 1.0 - 0.05 * b, 0.2);
                offset[b] = truncToInt((maxLevel - l) * 0.4);
            } else if (b < kLowestBands && (maxLevel - meanLevel) * 0.3 > l - meanLevel) {
                // Lowest bands not far above the mean: the same, since l >= meanLevel here
                // the weighted difference moves the level down.
                l += (1.0 - b * kOneFifteenth) * (meanLevel - l) * 0.2;
                if (l < 0.0) l = 0.0;
                offset[b] = truncToInt((maxLevel - l) * 0.4);
            } else {
                offset[b] = truncToInt((maxLevel - l) * kOneThird);
            }
        } else {
            if (b >= kNarrowbandFirstPulledBand && b < kNarrowbandEndPulledBand && l < meanLevel) {
                l = pullDown(l, meanLevel, 1.0 - 0.05 * b, 0.2);
                offset[b] = truncToInt((maxLevel - l) * 0.4);
            } else {
                offset[b] = truncToInt((maxLevel - l) * kOneThird);
            }
        }
    }

    // Smoothing in complete triples; a trailing incomplete triple stays as it is.
    for (int i = 2; i < nb; i += 3) {
        if (noiseFlags && (noiseFlags[i - 2] || noiseFlags[i - 1] || noiseFlags[i])) continue;
        const int32_t mean = (offset[i - 2] + offset[i - 1] + offset[i]) / 3;
        offset[i - 2] = offset[i - 1] = offset[i] = mean;
    }
    for (int b = 0; b < nb; ++b)
        if (!noiseFlags || !noiseFlags[b]) coding.scaleOffset[b] = offset[b];
}

// Eight short windows: per group, from the levels of the group's first window; no smoothing.
void shortBlockOffsets(ChannelCoding& coding, const IcsInfo& ics, const double* spectrum,
                       const OffsetRules& rules, int nb, const uint8_t* noiseFlags) {
    const uint16_t* swb = ics.swbOffsets;
    const bool wideband = rules.wideband;
    int firstWindow = 0;
    for (int g = 0; g < ics.numWindowGroups; ++g) {
        const double* window = spectrum + kShortWindowLength * firstWindow;
        firstWindow += ics.windowGroupLength[g];
        double level[kMaxBandEntries];
        double maxLevel = 0.0;
        double total = 0.0;
        bandLevels(window, swb, nb, level, maxLevel, total);
        const double meanMagnitude = total / (swb[nb] - swb[0]);
        const double meanLevel = meanMagnitude > 1.0 ? 20.0 * std::log10(meanMagnitude) : 0.0;
        for (int b = 0; b < nb; ++b) {
            const int i = g * ics.numSwb + b;
            if (noiseFlags && noiseFlags[i]) continue;
            double l = level[b];
            const bool lowBand = wideband ? b < 2 : (b == 3 || b == 4);
            if (lowBand && l < meanLevel) {
                l = pullDown(l, meanLevel, 1.0 - 0.05 * b, 0.4);
                coding.scaleOffset[i] = truncToInt(maxLevel - l) / 2;
            } else {
                coding.scaleOffset[i] = truncToInt(maxLevel - l) / 3;
            }
        }
    }
}

void scaleOffsets(ChannelCoding& coding, const IcsInfo& ics, std::span<const double> spectrum,
                  const OffsetRules& rules, int nb, const uint8_t* noiseFlags) {
    if (nb <= 0) return;
    assert(nb <= ics.numSwb);
    if (isShort(ics))
        shortBlockOffsets(coding, ics, spectrum.data(), rules, nb, noiseFlags);
    else
        longBlockOffsets(coding, ics, spectrum.data(), rules, nb, noiseFlags);
}

// q^(8/3), the decoded energy of magnitude q in units of the step's square, for every
// magnitude the quantiser writes.
const double* decodedEnergies() {
    static const auto table = [] {
        std::array<double, kMaxQuantMagnitude + 1> t{};
        for (int m = 0; m <= kMaxQuantMagnitude; ++m) t[m] = std::pow(static_cast<double>(m), 8.0 / 3.0);
        return t;
    }();
    return table.data();
}

// q^(4/3), the decoded amplitude of magnitude q in steps: the root of decodedEnergies' entry.
const double* decodedAmplitudes() {
    static const auto table = [] {
        const double* energyOf = decodedEnergies();
        std::array<double, kMaxQuantMagnitude + 1> t{};
        for (int m = 0; m <= kMaxQuantMagnitude; ++m) t[m] = std::sqrt(energyOf[m]);
        return t;
    }();
    return table.data();
}

// 2^(0.5 d) for a scale difference d = scaleOffset - globalGain: factor^(8/3), the decoded
// energy of one step's line is its inverse. Tabulated like scaleFactorGain.
double inverseStepEnergy(int32_t difference) {
    constexpr int kTableHalf = 512;
    static const auto table = [] {
        std::array<double, 2 * kTableHalf> t{};
        for (int d = -kTableHalf; d < kTableHalf; ++d) t[d + kTableHalf] = std::exp2(0.5 * d);
        return t;
    }();
    if (difference >= -kTableHalf && difference < kTableHalf) return table[difference + kTableHalf];
    return std::exp2(0.5 * difference);
}

// The energy limit (see kMaxCodedEnergyRatio) on the quantised lines [lo, hi) of the windows
// [firstWindow, firstWindow + windows) of `spectrum`, whose step is 1 / stepInverse and whose
// decoded energy in units of the step's square is `decoded` and may be at most `bound`.
void limitBandEnergy(ChannelCoding& coding, const double* spectrum, int firstWindow, int windows,
                     int lo, int hi, double stepInverse, double decoded, double bound) {
    const double* energyOf = decodedEnergies();
    const double* amplitudeOf = decodedAmplitudes();
    // Lowering a line from q to q - 1 (amplitudes a = q^(4/3) and b = (q - 1)^(4/3) in steps,
    // the line's own being x) adds (a - b)(2x - a - b) to the squared error and takes
    // (a - b)(a + b) from the energy; the lines that add the least error per energy taken go
    // first.
    struct RoundedUp {
        double cost;  // (2x - a - b) / (a + b)
        int line;
    };
    RoundedUp up[kFrameLength];
    int n = 0;
    for (int w = firstWindow; w < firstWindow + windows; ++w) {
        for (int k = kShortWindowLength * w + lo; k < kShortWindowLength * w + hi; ++k) {
            const int32_t q = std::abs(coding.quantSpectrum[k]);
            const double x = std::fabs(spectrum[k]) * stepInverse;
            const double a = amplitudeOf[q];
            if (q == 0 || a <= x) continue;
            const double b = amplitudeOf[q - 1];
            up[n++] = {(2.0 * x - a - b) / (a + b), k};
        }
    }
    // In order of cost, lines of equal cost in line order; mostly one or two lines are lowered,
    // so each next one is selected from those left rather than all of them sorted first.
    for (int j = 0; j < n && decoded > bound; ++j) {
        int first = j;
        for (int k = j + 1; k < n; ++k) first = up[k].cost < up[first].cost ? k : first;
        const RoundedUp chosen = up[first];
        for (int k = first; k > j; --k) up[k] = up[k - 1];  // the rest keep their order
        up[j] = chosen;
        int32_t& value = coding.quantSpectrum[chosen.line];
        const int32_t q = std::abs(value);
        decoded -= energyOf[q] - energyOf[q - 1];
        value = value < 0 ? -(q - 1) : q - 1;
    }
}

// One window's lines [begin, end) of a band at `factor`: q = trunc(min(factor |x|^0.75 + 0.4054,
// 8191)) with the sign of x. With Any, returns the OR of the magnitudes (nonzero when a line
// is); without, 0 (the caller knows from the band's peak).
template <bool Any = true>
VARNEL_KERNEL_BODY int32_t quantiseLines(const double* spectrum, const double* magnitudePow, int32_t* out, int begin,
                                         int end, double factor) {
    int32_t any = 0;
    // Branch-free, so that the compiler vectorises it: the magnitude saturates at the
    // escape range before the conversion, which truncates as the quantiser rounds.
    for (int k = begin; k < end; ++k) {
        const double v =
            std::min(factor * magnitudePow[k] + kQuantiserRounding, static_cast<double>(kMaxQuantMagnitude));
        const int32_t q = static_cast<int32_t>(v);
        out[k] = spectrum[k] < 0.0 ? -q : q;
        if constexpr (Any) any |= q;
    }
    return any;
}

#if VARNEL_HAS_VECTOR_BUILD
// The same four lines at a time (band widths are multiples of 4), with the same operations.
template <bool Any = true>
VARNEL_VECTOR_TARGET inline int32_t quantiseLinesAvx2(const double* spectrum, const double* magnitudePow,
                                                      int32_t* out, int begin, int end, double factor) {
    assert((end - begin) % 4 == 0);
    const __m256d f = _mm256_set1_pd(factor);
    const __m256d rounding = _mm256_set1_pd(kQuantiserRounding);
    const __m256d ceiling = _mm256_set1_pd(static_cast<double>(kMaxQuantMagnitude));
    const __m256d zero = _mm256_setzero_pd();
    const __m256i lowHalves = _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6);
    __m128i any = _mm_setzero_si128();
    for (int k = begin; k < end; k += 4) {
        const __m256d v = _mm256_add_pd(_mm256_mul_pd(f, _mm256_loadu_pd(magnitudePow + k)), rounding);
        // min(v, 8191): v is never NaN, so the operand order does not matter.
        const __m128i q = _mm256_cvttpd_epi32(_mm256_min_pd(v, ceiling));
        const __m256d negative = _mm256_cmp_pd(_mm256_loadu_pd(spectrum + k), zero, _CMP_LT_OQ);
        const __m128i mask =
            _mm256_castsi256_si128(_mm256_permutevar8x32_epi32(_mm256_castpd_si256(negative), lowHalves));
        // (q ^ mask) - mask: -q where the line is negative.
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + k), _mm_sub_epi32(_mm_xor_si128(q, mask), mask));
        if constexpr (Any) any = _mm_or_si128(any, q);
    }
    if constexpr (!Any) return 0;
    any = _mm_or_si128(any, _mm_unpackhi_epi64(any, any));
    any = _mm_or_si128(any, _mm_srli_si128(any, 4));
    return _mm_cvtsi128_si32(any);
}
#endif

// Quantises band b of group g, whose windows start at `firstWindow`, with the band's current
// offset. With a peak (>= 0) a band that quantises to zero is recognised from its largest
// |x|^0.75: the rounding is monotone, so every line is zero exactly when the peak line is.
// `wasZero` says that the band's lines already hold zeros. With `energy` (>= 0) the band is held
// under the energy limit. Returns true when a line is nonzero.
// With a peak and `largest`, *largest receives the band's largest quantised magnitude: the
// peak is one of the band's |x|^0.75 values and goes through the same rounding and clip (and
// the lines are searched when the energy limit lowered one).
template <bool Vector = false>
VARNEL_KERNEL_BODY bool quantiseGroupBand(ChannelCoding& coding, const double* spectrum, const IcsInfo& ics,
                       const double* magnitudePow, double peak, bool wasZero, int g,
                       int firstWindow, int b, int32_t* largest = nullptr, double energy = -1.0) {
    const int i = g * ics.numSwb + b;
    const int32_t difference = coding.scaleOffset[i] - coding.globalGain;
    const double factor = scaleFactorGain(difference);
    const int lo = ics.swbOffsets[b];
    const int hi = ics.swbOffsets[b + 1];
    const int windows = groupLength(ics, g);
    if (peak >= 0.0 && factor * peak + kQuantiserRounding < 1.0) {
        if (!wasZero)
            for (int w = firstWindow; w < firstWindow + windows; ++w)
                std::fill(coding.quantSpectrum + kShortWindowLength * w + lo,
                          coding.quantSpectrum + kShortWindowLength * w + hi, 0);
        if (largest) *largest = 0;
        return false;
    }
    if (largest) {
        assert(peak >= 0.0);
        const double v = factor * peak + kQuantiserRounding;
        *largest = v < kMaxQuantMagnitude ? static_cast<int32_t>(v) : kMaxQuantMagnitude;
    }
    const bool limit = energy >= 0.0;
    if (peak >= 0.0 && !limit) {
        // The peak line quantises to 1 or more (tested above), so the band is nonzero.
        for (int w = firstWindow; w < firstWindow + windows; ++w) {
            const int base = kShortWindowLength * w;  // 0 for long blocks (one window)
#if VARNEL_HAS_VECTOR_BUILD
            if constexpr (Vector) {
                quantiseLinesAvx2<false>(spectrum, magnitudePow, coding.quantSpectrum, base + lo, base + hi, factor);
                continue;
            }
#endif
            quantiseLines<false>(spectrum, magnitudePow, coding.quantSpectrum, base + lo, base + hi, factor);
        }
        return true;
    }
    int32_t any = 0;
    for (int w = firstWindow; w < firstWindow + windows; ++w) {
        const int base = kShortWindowLength * w;  // 0 for long blocks (one window)
#if VARNEL_HAS_VECTOR_BUILD
        if constexpr (Vector) {
            any |= quantiseLinesAvx2(spectrum, magnitudePow, coding.quantSpectrum, base + lo, base + hi, factor);
            continue;
        }
#endif
        any |= quantiseLines(spectrum, magnitudePow, coding.quantSpectrum, base + lo, base + hi, factor);
    }
    if (!limit || any == 0) return any != 0;
    const double* energyOf = decodedEnergies();
    double decoded = 0.0;  // in units of the step's square
    for (int w = firstWindow; w < firstWindow + windows; ++w)
        for (int k = kShortWindowLength * w + lo; k < kShortWindowLength * w + hi; ++k)
            decoded += energyOf[std::abs(coding.quantSpectrum[k])];
    const double inverse = inverseStepEnergy(difference);  // 1 / step^2
    const double bound = kMaxCodedEnergyRatio * energy * inverse;
    if (decoded <= bound) return true;
    limitBandEnergy(coding, spectrum, firstWindow, windows, lo, hi, std::sqrt(inverse), decoded, bound);
    int32_t top = 0;
    for (int w = firstWindow; w < firstWindow + windows; ++w)
        for (int k = kShortWindowLength * w + lo; k < kShortWindowLength * w + hi; ++k)
            top = std::max(top, std::abs(coding.quantSpectrum[k]));
    if (largest) *largest = top;
    return top != 0;
}

// The energy argument of quantiseGroupBand for band entry i: its energy with the limit on.
double limitedEnergy(const MagnitudePowers& powers, int i) {
    return powers.limitEnergy ? powers.bandEnergy[i] : -1.0;
}

VARNEL_KERNEL_BODY void magnitudePowersBody(std::span<const double> spectrum, const IcsInfo& ics,
                                           MagnitudePowers& powers, bool limitEnergy, const double* knownEnergy,
                                           int endBand) {
    assert(spectrum.size() >= static_cast<size_t>(kFrameLength));
    assert(endBand >= 0 && endBand <= ics.numSwb);
    const int windows = isShort(ics) ? kShortWindows : 1;
    const int end = ics.swbOffsets[endBand];
    for (int w = 0; w < windows; ++w)
        for (int k = kShortWindowLength * w; k < kShortWindowLength * w + end; ++k) {
            const double a = std::fabs(spectrum[k]);
            powers.line[k] = std::sqrt(a * std::sqrt(a));  // a^0.75
            powers.negative[k] = spectrum[k] < 0.0 ? -1 : 0;
        }
    powers.limitEnergy = limitEnergy;
    int firstWindow = 0;
    for (int g = 0; g < groupCount(ics); ++g) {
        for (int b = 0; b < ics.numSwb; ++b) {
            const int i = g * ics.numSwb + b;
            if (b >= endBand) {
                powers.bandPeak[i] = powers.bandEnergy[i] = 0.0;
                continue;
            }
            const bool sum = limitEnergy && !knownEnergy;
            // Four running maxima, one per line modulo 4 (band edges are multiples of 4), so
            // that the loop vectorises: the largest value is the same in any order.
            double lane[4] = {0.0, 0.0, 0.0, 0.0};
            double energy = 0.0;
            for (int w = firstWindow; w < firstWindow + groupLength(ics, g); ++w) {
                const int base = kShortWindowLength * w;
                for (int k = base + ics.swbOffsets[b]; k < base + ics.swbOffsets[b + 1]; k += 4)
                    for (int j = 0; j < 4; ++j) lane[j] = std::max(lane[j], powers.line[k + j]);
                if (sum)
                    for (int k = base + ics.swbOffsets[b]; k < base + ics.swbOffsets[b + 1]; ++k)
                        energy += spectrum[k] * spectrum[k];
            }
            powers.bandPeak[i] = std::max(std::max(lane[0], lane[1]), std::max(lane[2], lane[3]));
            powers.bandEnergy[i] = limitEnergy && knownEnergy ? knownEnergy[i] : energy;
        }
        firstWindow += groupLength(ics, g);
    }
}

// The band of each group of four lines of a long block, per sampling rate (band edges are
// multiples of 4).
constexpr int kQuadsPerLongBlock = kFrameLength / 4;
constexpr auto kBandOfQuad = [] {
    std::array<std::array<uint8_t, kQuadsPerLongBlock>, kNumSampleRates> t{};
    for (int r = 0; r < kNumSampleRates; ++r)
        for (int b = 0; b < numSwbLong[r]; ++b)
            for (int j = swbOffsetLong[r][b] / 4; j < swbOffsetLong[r][b + 1] / 4; ++j) t[r][j] = static_cast<uint8_t>(b);
    return t;
}();
static_assert([] {
    for (int r = 0; r < kNumSampleRates; ++r)
        for (int b = 0; b <= numSwbLong[r]; ++b)
            if (swbOffsetLong[r][b] % 4 != 0) return false;
    return true;
}());

// The long-block band map of `ics`'s band table, or null when that is not one of the tables.
const uint8_t* longBandOfQuad(const IcsInfo& ics) {
    const uint16_t* first = swbOffsetLong[0];
    if (isShort(ics) || ics.swbOffsets < first || ics.swbOffsets >= first + kNumSampleRates * kLongOffsetRow)
        return nullptr;
    const auto offset = ics.swbOffsets - first;
    return offset % kLongOffsetRow == 0 ? kBandOfQuad[offset / kLongOffsetRow].data() : nullptr;
}

#if VARNEL_HAS_VECTOR_BUILD
// Lines [begin, end) (multiples of 4), each group of four at its band's factor, with the
// operations of quantiseLinesAvx2.
VARNEL_VECTOR_TARGET inline void quantiseRunAvx2(const double* line, const int32_t* negative, const double* factor,
                                                 const uint8_t* bandOfQuad, int32_t* out, int begin, int end) {
    const __m256d rounding = _mm256_set1_pd(kQuantiserRounding);
    const __m256d ceiling = _mm256_set1_pd(static_cast<double>(kMaxQuantMagnitude));
    for (int k = begin; k < end; k += 4) {
        const __m256d f = _mm256_broadcast_sd(&factor[bandOfQuad[k / 4]]);
        const __m256d v = _mm256_add_pd(_mm256_mul_pd(f, _mm256_loadu_pd(line + k)), rounding);
        const __m128i q = _mm256_cvttpd_epi32(_mm256_min_pd(v, ceiling));
        const __m128i mask = _mm_loadu_si128(reinterpret_cast<const __m128i*>(negative + k));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + k), _mm_sub_epi32(_mm_xor_si128(q, mask), mask));
    }
}
#endif

// quantiseBands for a long block without the energy limit, with the same results, in two
// passes without a branch per band: the first decides from each band's peak whether it
// quantises to zero and takes its factor (0 for such a band, which quantises every line to 0
// with the same formula); the second quantises the lines up to the last nonzero band in one
// run, four at a time, each group of four with its band's factor. Lines above are set to zero.
template <bool Vector>
VARNEL_KERNEL_BODY void quantiseLongBands(ChannelCoding& coding, const IcsInfo& ics,
                                         const MagnitudePowers& powers, const uint8_t* bandOfQuad, int firstBand,
                                         int endBand, uint8_t* nonZero, int32_t* largest) {
    double factor[kMaxBandEntries];
    int lastCoded = firstBand - 1;
    for (int b = firstBand; b < endBand; ++b) {
        const double f = scaleFactorGain(coding.scaleOffset[b] - coding.globalGain);
        const double v = f * powers.bandPeak[b] + kQuantiserRounding;
        const bool coded = !(v < 1.0);
        factor[b] = coded ? f : 0.0;
        nonZero[b] = coded;
        if (largest) largest[b] = coded ? (v < kMaxQuantMagnitude ? static_cast<int32_t>(v) : kMaxQuantMagnitude) : 0;
        lastCoded = coded ? b : lastCoded;
    }
    const int begin = ics.swbOffsets[firstBand];
    const int end = ics.swbOffsets[lastCoded + 1];
    int32_t* out = coding.quantSpectrum;
    const double* line = powers.line;
#if VARNEL_HAS_VECTOR_BUILD
    if constexpr (Vector) {
        quantiseRunAvx2(line, powers.negative, factor, bandOfQuad, out, begin, end);
    } else
#endif
    {
        for (int k = begin; k < end; ++k) {
            const double v = std::min(factor[bandOfQuad[k / 4]] * line[k] + kQuantiserRounding,
                                      static_cast<double>(kMaxQuantMagnitude));
            const int32_t q = static_cast<int32_t>(v);
            out[k] = (q ^ powers.negative[k]) - powers.negative[k];  // -q for a line below zero
        }
    }
    std::fill(out + end, out + ics.swbOffsets[endBand], 0);
}

template <bool Vector>
VARNEL_KERNEL_BODY void quantiseBandsBody(ChannelCoding& coding, std::span<const double> spectrum,
                                         const IcsInfo& ics, const MagnitudePowers& powers, int firstBand,
                                         int endBand, uint8_t* nonZero, int32_t* largest) {
    if (!powers.limitEnergy && firstBand < endBand)
        if (const uint8_t* bandOfQuad = longBandOfQuad(ics)) {
            quantiseLongBands<Vector>(coding, ics, powers, bandOfQuad, firstBand, endBand, nonZero,
                                      largest);
            return;
        }
    int firstWindow = 0;
    for (int g = 0; g < groupCount(ics); ++g) {
        for (int b = firstBand; b < endBand; ++b) {
            const int i = g * ics.numSwb + b;
            nonZero[i] = quantiseGroupBand<Vector>(coding, spectrum.data(), ics, powers.line,
                                                   powers.bandPeak[i], nonZero[i] == 0, g, firstWindow, b,
                                                   largest ? largest + i : nullptr, limitedEnergy(powers, i));
        }
        firstWindow += groupLength(ics, g);
    }
}

// The kernels' two builds (see records/instruction_set.h).
void magnitudePowersScalar(std::span<const double> spectrum, const IcsInfo& ics, MagnitudePowers& powers,
                           bool limitEnergy, const double* knownEnergy, int endBand) {
    magnitudePowersBody(spectrum, ics, powers, limitEnergy, knownEnergy, endBand);
}
VARNEL_VECTOR_TARGET void magnitudePowersVector(std::span<const double> spectrum, const IcsInfo& ics,
                                                MagnitudePowers& powers, bool limitEnergy, const double* knownEnergy,
                                                int endBand) {
    magnitudePowersBody(spectrum, ics, powers, limitEnergy, knownEnergy, endBand);
}
void quantiseBandsScalar(ChannelCoding& coding, std::span<const double> spectrum, const IcsInfo& ics,
                         const MagnitudePowers& powers, int firstBand, int endBand, uint8_t* nonZero,
                         int32_t* largest) {
    quantiseBandsBody<false>(coding, spectrum, ics, powers, firstBand, endBand, nonZero, largest);
}
VARNEL_VECTOR_TARGET void quantiseBandsVector(ChannelCoding& coding, std::span<const double> spectrum,
                                              const IcsInfo& ics, const MagnitudePowers& powers, int firstBand,
                                              int endBand, uint8_t* nonZero, int32_t* largest) {
    quantiseBandsBody<true>(coding, spectrum, ics, powers, firstBand, endBand, nonZero, largest);
}

bool limitRangeScalar(ChannelCoding& coding, std::span<const double> spectrum, const IcsInfo& ics,
                      const MagnitudePowers& powers, int codedBands, const uint8_t* preserved, uint8_t* nonZero,
                      int32_t* largest);
bool limitRangeVector(ChannelCoding& coding, std::span<const double> spectrum, const IcsInfo& ics,
                      const MagnitudePowers& powers, int codedBands, const uint8_t* preserved, uint8_t* nonZero,
                      int32_t* largest);

constexpr QuantiserKernels kScalarKernels{magnitudePowersScalar, quantiseBandsScalar, limitRangeScalar};
constexpr QuantiserKernels kVectorKernels{magnitudePowersVector, quantiseBandsVector, limitRangeVector};

}  // namespace

const QuantiserKernels& quantiserKernels(bool vector) { return vector ? kVectorKernels : kScalarKernels; }

void computeMagnitudePowers(std::span<const double> spectrum, const IcsInfo& ics,
                            MagnitudePowers& powers, bool limitEnergy, const double* knownEnergy, int endBand) {
    quantiserKernels(useVectorKernels())
        .magnitudePowers(spectrum, ics, powers, limitEnergy, knownEnergy, endBand < 0 ? ics.numSwb : endBand);
}

void quantiseBands(ChannelCoding& coding, std::span<const double> spectrum, const IcsInfo& ics,
                   const MagnitudePowers& powers, int firstBand, int endBand, uint8_t* nonZero,
                   int32_t* largest) {
    quantiserKernels(useVectorKernels()).quantiseBands(coding, spectrum, ics, powers, firstBand, endBand, nonZero,
                                                       largest);
}

double spectrumPeak(std::span<const double> spectrum) {
    // Four running maxima, one per line modulo 4, so that the loop vectorises; the largest
    // value is the same in any order.
    double lane[4] = {0.0, 0.0, 0.0, 0.0};
    const size_t whole = spectrum.size() & ~size_t{3};
    for (size_t k = 0; k < whole; k += 4)
        for (size_t j = 0; j < 4; ++j) lane[j] = std::max(lane[j], std::fabs(spectrum[k + j]));
    double peak = std::max(std::max(lane[0], lane[1]), std::max(lane[2], lane[3]));
    for (size_t k = whole; k < spectrum.size(); ++k) peak = std::max(peak, std::fabs(spectrum[k]));
    return peak;
}

OffsetRules offsetRules(int32_t sampleRate, bool midSideUsed, double channelShare) {
    return {sampleRate > kWidebandRate, midSideUsed && channelShare <= kMidSideRuleMaxShare};
}

void computeScaleOffsets(ChannelCoding& coding, const IcsInfo& ics, std::span<const double> spectrum,
                         const OffsetRules& rules) {
    scaleOffsets(coding, ics, spectrum, rules, coding.bandLimit, nullptr);
}

void computeScaleOffsetsWithNoise(ChannelCoding& coding, const IcsInfo& ics, std::span<const double> spectrum,
                                  const OffsetRules& rules) {
    scaleOffsets(coding, ics, spectrum, rules, coding.pnsBandLimit, coding.noiseFlag);
}

void quantiseSpectrum(ChannelCoding& coding, std::span<const double> spectrum, const IcsInfo& ics,
                      std::span<const double> magnitudePow) {
    int firstWindow = 0;
    for (int g = 0; g < groupCount(ics); ++g) {
        for (int b = 0; b < ics.numSwb; ++b)
            quantiseGroupBand(coding, spectrum.data(), ics, magnitudePow.data(), -1.0, false, g,
                              firstWindow, b);
        firstWindow += groupLength(ics, g);
    }
}

namespace {

template <bool Vector>
VARNEL_KERNEL_BODY bool limitRangeBody(ChannelCoding& coding, std::span<const double> spectrum, const IcsInfo& ics,
                                       const MagnitudePowers& powers, int codedBands, const uint8_t* preserved,
                                       uint8_t* nonZero, int32_t* largest) {
    const int groups = groupCount(ics);
    int groupFirstWindow[kShortWindows];
    for (int g = 0, w = 0; g < groups; w += groupLength(ics, g), ++g) groupFirstWindow[g] = w;
    // sf = globalGain + 100 - offset >= 0; sf <= 255 holds for offsets >= 0 while
    // globalGain <= 155.
    const int32_t upper = coding.globalGain + kGlobalGainOffset;

    // Most trials are codable as they stand: the chain's offsets already meet every bound
    // (which is when the passes below would change nothing). One branch-free look decides that.
    {
        bool codable = true;
        int32_t previous = 0;
        for (int g = 0; g < groups; ++g)
            for (int b = 0; b < codedBands; ++b) {
                const int i = g * ics.numSwb + b;
                const int32_t offset = coding.scaleOffset[i];
                const bool inChain = nonZero[i] && !preserved[i];
                codable &= !inChain || (offset <= upper && offset <= previous + kMaxScalefactorDifference &&
                                        previous <= offset + kMaxScalefactorDifference);
                previous = inChain ? offset : previous;
            }
        if (codable) return false;
    }

    bool changedAny = false;
    for (;;) {
        int chain[kMaxBandEntries];
        int32_t limit[kMaxBandEntries];
        int n = 0;
        for (int g = 0; g < groups; ++g)
            for (int b = 0; b < codedBands; ++b) {
                const int i = g * ics.numSwb + b;
                if (nonZero[i] && !preserved[i]) chain[n++] = i;
            }
        // Forward: each offset at most 60 above its predecessor, the first at most 60 above
        // global_gain's implicit offset 0. Backward: at most 60 above its successor. The
        // backward pass keeps the forward property (a lowered value is its successor + 60).
        int32_t previous = 0;
        for (int k = 0; k < n; ++k) {
            assert(coding.scaleOffset[chain[k]] >= 0);
            limit[k] = std::min({coding.scaleOffset[chain[k]], upper,
                                 previous + kMaxScalefactorDifference});
            previous = limit[k];
        }
        for (int k = n - 2; k >= 0; --k)
            limit[k] = std::min(limit[k], limit[k + 1] + kMaxScalefactorDifference);

        bool changed = false;
        for (int k = 0; k < n; ++k) {
            const int i = chain[k];
            if (limit[k] == coding.scaleOffset[i]) continue;
            coding.scaleOffset[i] = limit[k];
            const int g = i / ics.numSwb;
            const int b = i % ics.numSwb;
            nonZero[i] = quantiseGroupBand<Vector>(coding, spectrum.data(), ics, powers.line,
                                           powers.bandPeak[i], false, g, groupFirstWindow[g], b,
                                           largest ? largest + i : nullptr, limitedEnergy(powers, i));
            changed = true;
        }
        if (!changed) return changedAny;
        changedAny = true;
    }
}

bool limitRangeScalar(ChannelCoding& coding, std::span<const double> spectrum, const IcsInfo& ics,
                      const MagnitudePowers& powers, int codedBands, const uint8_t* preserved, uint8_t* nonZero,
                      int32_t* largest) {
    return limitRangeBody<false>(coding, spectrum, ics, powers, codedBands, preserved, nonZero, largest);
}
VARNEL_VECTOR_TARGET bool limitRangeVector(ChannelCoding& coding, std::span<const double> spectrum,
                                           const IcsInfo& ics, const MagnitudePowers& powers, int codedBands,
                                           const uint8_t* preserved, uint8_t* nonZero, int32_t* largest) {
    return limitRangeBody<true>(coding, spectrum, ics, powers, codedBands, preserved, nonZero, largest);
}

}  // namespace

int escapeBitsLowerBound(const ChannelCoding& coding, const IcsInfo& ics, std::span<const double> spectrum,
                         const MagnitudePowers& powers, int codedBands, const uint8_t* preserved, int stopAbove) {
    // The energy limit lowers magnitudes after the rounding: no bound then.
    if (powers.limitEnergy) return -1;
    // The chain of coded bands must already be codable (the check limitScalefactorRange starts
    // with), with each band coded exactly when its peak quantises to 1 or more.
    const int32_t upper = coding.globalGain + kGlobalGainOffset;
    int32_t previous = 0;
    for (int g = 0; g < groupCount(ics); ++g)
        for (int b = 0; b < codedBands; ++b) {
            const int i = g * ics.numSwb + b;
            const int32_t offset = coding.scaleOffset[i];
            const double factor = scaleFactorGain(offset - coding.globalGain);
            if (preserved[i] || factor * powers.bandPeak[i] + kQuantiserRounding < 1.0) continue;
            if (offset > upper || offset > previous + kMaxScalefactorDifference ||
                previous > offset + kMaxScalefactorDifference)
                return -1;
            previous = offset;
        }
    // log2 q >= log2(factor |x|^0.75) >= (3 d + 12 e) / 16 with d = offset - globalGain and
    // e = floor(log2 |x|): both terms are exact in sixteenths. The factor and the power are
    // rounded values and may lie a hair below, so a sum that is a whole number n counts as
    // n - 1: floor(log2 q) >= floor((3 d + 12 e - 1) / 16). Magnitudes stop at 8191, below 2^13.
    int bits = 0;
    int firstWindow = 0;
    for (int g = 0; g < groupCount(ics); ++g) {
        for (int b = 0; b < codedBands; ++b) {
            const int i = g * ics.numSwb + b;
            if (preserved[i]) continue;
            const int scale = 3 * (coding.scaleOffset[i] - coding.globalGain) - 1;
            for (int w = firstWindow; w < firstWindow + groupLength(ics, g); ++w) {
                const int base = kShortWindowLength * w;
                for (int k = base + ics.swbOffsets[b]; k < base + ics.swbOffsets[b + 1]; ++k) {
                    // floor(log2 |x|) from its exponent bits (-1023 for zero and the tiniest: no bits).
                    const int exponent = static_cast<int>(std::bit_cast<uint64_t>(std::fabs(spectrum[k])) >> 52) - 1023;
                    const int log2q = std::min((scale + 12 * exponent) >> 4, 12);
                    bits += log2q >= 4 ? 2 * log2q - 2 : 0;
                }
            }
            // The bound only has to pass stopAbove.
            if (bits > stopAbove) return bits;
        }
        firstWindow += groupLength(ics, g);
    }
    return bits;
}

bool limitScalefactorRange(ChannelCoding& coding, std::span<const double> spectrum,
                           const IcsInfo& ics, const MagnitudePowers& powers, int codedBands,
                           const uint8_t* preserved, uint8_t* nonZero, int32_t* largest) {
    return quantiserKernels(useVectorKernels())
        .limitScalefactorRange(coding, spectrum, ics, powers, codedBands, preserved, nonZero, largest);
}

}  // namespace varnel
