#include "coding/perceptual_bands.h"

#include <algorithm>
#include <cmath>

#include "coding/band_statistics.h"
#include "records/aac_syntax.h"

namespace varnel {
namespace {

// Coded bandwidth in Hz at these bit rates per channel (bit/s), linear in between.
struct CutoffPoint {
    int32_t bitRate;
    double hz;
};
constexpr CutoffPoint kCutoffs[] = {
    {16000, 5600.0}, {32000, 12000.0}, {48000, 13500.0}, {64000, 16000.0},
    {96000, 19000.0}, {128000, 21000.0},
};

// Mid/side only for bands whose left and right energies lie within this factor of each other:
// the noise of mid and side reaches both outputs, so the weaker one would carry the stronger's.
constexpr double kMidSideBalance = 4.0;

}  // namespace

double perceptualCutoffHz(int32_t bitRatePerChannel, int32_t sampleRate) {
    double hz = kCutoffs[0].hz;
    const int n = static_cast<int>(std::size(kCutoffs));
    if (bitRatePerChannel >= kCutoffs[n - 1].bitRate) {
        hz = kCutoffs[n - 1].hz;
    } else {
        for (int i = 1; i < n; ++i)
            if (bitRatePerChannel < kCutoffs[i].bitRate) {
                const CutoffPoint& a = kCutoffs[i - 1];
                const CutoffPoint& b = kCutoffs[i];
                const double t = std::max(0.0, static_cast<double>(bitRatePerChannel - a.bitRate) /
                                                   (b.bitRate - a.bitRate));
                hz = a.hz + t * (b.hz - a.hz);
                break;
            }
    }
    return std::min(hz, 0.5 * sampleRate);
}

int32_t perceptualBandLimit(const IcsInfo& ics, int32_t sampleRate, int32_t bitRatePerChannel) {
    return bandLimitBelow(ics, sampleRate, perceptualCutoffHz(bitRatePerChannel, sampleRate));
}

int32_t bandLimitBelow(const IcsInfo& ics, int32_t sampleRate, double cutoff) {
    const double hzPerLine = 0.5 * sampleRate / windowLines(ics);
    int32_t limit = 0;
    while (limit < ics.numSwb && ics.swbOffsets[limit] * hzPerLine < cutoff) ++limit;
    return limit;
}

int32_t bandsStartingBelow(const IcsInfo& ics, int line) {
    int32_t bands = 0;
    while (bands < ics.numSwb && ics.swbOffsets[bands] < line) ++bands;
    return bands;
}

void choosePerceptualBands(ChannelCoding& coding, const IcsInfo& ics, const MaskingResult& masking,
                           int32_t sampleRate, int32_t bitRatePerChannel, bool noise, double extraCutoffHz,
                           int crossoverLine) {
    const int entries = ics.numSwb * groupCount(ics);
    coding.bandLimit =
        bandLimitBelow(ics, sampleRate, perceptualCutoffHz(bitRatePerChannel, sampleRate) + extraCutoffHz);
    std::fill_n(coding.codebook, entries, ZERO_HCB);
    std::fill_n(coding.noiseFlag, entries, uint8_t{0});
    std::fill_n(coding.scaleOffset, entries, 0);
    coding.pnsBandLimit = coding.bandLimit;
    coding.pnsStartBand = coding.bandLimit;
    if (!noise || bitRatePerChannel >= kNoiseSubstitutionMaxRate) return;
    const double hzPerLine = 0.5 * sampleRate / windowLines(ics);
    int start = 0;
    while (start < coding.bandLimit && ics.swbOffsets[start] * hzPerLine < kNoiseStartHz) ++start;
    coding.pnsStartBand = start;
    // A band is sent as noise where it is noise-like and audible.
    const auto noiseLike = [&](int e) {
        return masking.tonality[e] < kNoiseTonality && masking.energy[e] > masking.threshold[e];
    };
    const int codedLimit = crossoverLine > 0 ? bandsStartingBelow(ics, crossoverLine) : coding.bandLimit;
    if (!isShort(ics) && bitRatePerChannel < kNoiseAlwaysMaxRate &&
        ics.swbOffsets[codedLimit] * hzPerLine >= 2.0 * kNoiseAlwaysHz)
        for (int b = start; b < std::min(coding.bandLimit, codedLimit); ++b)
            if (ics.swbOffsets[b] * hzPerLine >= kNoiseAlwaysHz && noiseLike(b)) coding.noiseFlag[b] = 1;
    int top = coding.bandLimit;
    for (int g = 0; g < groupCount(ics); ++g)
        for (int b = coding.bandLimit; b < ics.numSwb && ics.swbOffsets[b] * hzPerLine < kNoiseTopHz; ++b) {
            const int e = g * ics.numSwb + b;
            if (!noiseLike(e)) continue;
            coding.noiseFlag[e] = 1;
            top = std::max(top, b + 1);
        }
    coding.pnsBandLimit = top;
}

void setNoiseEnergies(ChannelCoding& coding, const IcsInfo& ics, const BandStats& stats) {
    for (int e = 0; e < ics.numSwb * groupCount(ics); ++e) {
        if (!coding.noiseFlag[e]) continue;
        coding.codebook[e] = NOISE_HCB;
        coding.scaleOffset[e] = bandNoiseEnergy(stats, ics, e);
    }
}

void followFilteredEnergy(std::span<const double> before, std::span<const double> after,
                          const IcsInfo& ics, MaskingResult& masking) {
    // The decoder's inverse filter raises the noise of the filtered range by about the
    // prediction gain, evenly over the range, so every threshold there falls by the range's
    // energy ratio.
    double filteredSum = 0.0, originalSum = 0.0;
    uint8_t changed[kMaxBandEntries];
    int firstWindow = 0;
    for (int g = 0; g < groupCount(ics); ++g) {
        for (int b = 0; b < ics.numSwb; ++b) {
            const int e = g * ics.numSwb + b;
            const double original = bandEnergy(before, ics, firstWindow, groupLength(ics, g), b);
            const double filtered = bandEnergy(after, ics, firstWindow, groupLength(ics, g), b);
            changed[e] = filtered != original;
            if (changed[e]) {
                filteredSum += filtered;
                originalSum += original;
            }
        }
        firstWindow += groupLength(ics, g);
    }
    if (originalSum <= 0.0) return;
    const double ratio = filteredSum / originalSum;
    for (int e = 0; e < ics.numSwb * groupCount(ics); ++e)
        if (changed[e]) masking.threshold[e] *= ratio;
}

int chooseMidSideBands(const IcsInfo& ics, int bandCount, std::span<const double> left,
                       std::span<const double> right, const MaskingResult& leftMasking,
                       const MaskingResult& rightMasking, const uint8_t* leftNoise,
                       const uint8_t* rightNoise, uint8_t* keepLeftRight) {
    int count = 0;
    int firstWindow = 0;
    for (int g = 0; g < groupCount(ics); ++g) {
        const int windows = groupLength(ics, g);
        for (int b = 0; b < ics.numSwb; ++b) {
            const int e = g * ics.numSwb + b;
            keepLeftRight[e] = 1;
            if (b >= bandCount || leftNoise[e] || rightNoise[e]) continue;
            double l2 = 0.0, r2 = 0.0, mid = 0.0, side = 0.0;
            for (int w = firstWindow; w < firstWindow + windows; ++w) {
                const int base = kShortWindowLength * w;
                for (int k = base + ics.swbOffsets[b]; k < base + ics.swbOffsets[b + 1]; ++k) {
                    const double m = 0.5 * (left[k] + right[k]);
                    const double s = 0.5 * (left[k] - right[k]);
                    l2 += left[k] * left[k];
                    r2 += right[k] * right[k];
                    mid += m * m;
                    side += s * s;
                }
            }
            const int lines = (ics.swbOffsets[b + 1] - ics.swbOffsets[b]) * windows;
            const double shared = 0.5 * std::min(leftMasking.threshold[e], rightMasking.threshold[e]);
            const double leftRight = bandPerceptualEntropy(l2, leftMasking.threshold[e], lines) +
                                     bandPerceptualEntropy(r2, rightMasking.threshold[e], lines);
            const double midSide = bandPerceptualEntropy(mid, shared, lines) + bandPerceptualEntropy(side, shared, lines);
            const bool balanced = l2 <= kMidSideBalance * r2 && r2 <= kMidSideBalance * l2;
            if (balanced && midSide < leftRight) {
                keepLeftRight[e] = 0;
                ++count;
            }
        }
        firstWindow += windows;
    }
    return count;
}

void shareMidSideThresholds(const IcsInfo& ics, const uint8_t* msMask, MaskingResult& first,
                            MaskingResult& second) {
    for (int e = 0; e < ics.numSwb * groupCount(ics); ++e) {
        if (!msMask[e]) continue;
        const double shared = 0.5 * std::min(first.threshold[e], second.threshold[e]);
        first.threshold[e] = second.threshold[e] = shared;
    }
}

}  // namespace varnel
