#include "coding/perceptual_rate_control.h"

#include <algorithm>
#include <cassert>
#include <climits>
#include <cmath>
#include <cstring>

#include "bitstream/sectioning.h"
#include "records/aac_syntax.h"
#include "coding/band_statistics.h"
#include "coding/noise_substitution.h"
#include "coding/perceptual_bands.h"
#include "coding/quantiser.h"
#include "coding/rate_core.h"

namespace varnel {
namespace {

// Gain units the search may go below the gain that meets every threshold: kBelowThreshold
// always, up to kBelowThresholdFull more with a full reservoir.
constexpr int kBelowThreshold = 16;
constexpr int kBelowThresholdFull = 60;
// First step of the search away from its start, in gain units (then doubled). The start, the
// previous frame's distance above the threshold gain, is the answer for about two frames in
// three and one unit off for most others, so the search tries the neighbours first.
constexpr int kSearchStep = 1;
// A coded band's noise target is thr^kThresholdExponent * energy^kEnergyExponent (scaled, see
// Search): the model's signal-to-mask ratios compressed, with the noise rising with the band's
// level as well. Holding every band at its threshold's noise-to-mask ratio (exponents 1 and 0)
// graded 0.2 to 0.5 lower on music at 64 kbit/s per channel (PEAQ): the model's ratios are not
// exact enough to be followed to the last dB, and loud low bands got too little.
constexpr double kThresholdExponent = 0.3;
constexpr double kEnergyExponent = 0.35;
// How far under its threshold a band's noise must lie before bits left unspent are no loss.
constexpr double kClearMargin = 0.25;  // -6 dB
// Where bits run short a band's estimated noise rises with the others' only up to this share
// of its energy: beyond it the band keeps its step, so that it stays coded instead of falling to
// zero, as long as the channel still fits its target that way.
constexpr double kMaxNoiseShare = 1.0;
// Entropy a frame counts at least, so that near-silent frames do not drive the mean to zero.
constexpr double kEntropyFloor = 50.0;
constexpr double kEntropyMemory = 0.95;
// A frame asks for at most this many times its mean beyond the mean, and borrows at most this
// share of the reservoir.
constexpr double kMaxRelativeEntropy = 2.0;
constexpr double kMaxBorrowedShare = 0.4;

// The perceptual mode's search: offsets from the thresholds, and a search for the lowest gain
// that fits.
struct Search : GainTrial {
    const MaskingResult& masking;
    const BandStats& stats;
    int32_t baseOffset[kMaxBandEntries];
    int32_t capStep[kMaxBandEntries];  // the step at which the band's noise reaches kMaxNoiseShare
    bool capped = true;                // steps held at capStep while that fits
    int thresholdGain = 0;  // the gain at which every coded band's step meets its noise target
    int minGain = kMinGlobalGain;
    int clearGain = INT_MAX;  // the highest gain at which every coded band's noise lies
                              // kClearMargin (6 dB) under its threshold

    Search(ChannelCoding& c, const IcsInfo& i, std::span<const double> s, const BandStats& measured,
           const MaskingResult& m, bool n)
        : GainTrial(c, i, s, n, true, measured.energy), masking(m), stats(measured) {
        // In the log2 domain: the step that gives a band of form F the noise N is
        // (8/3) (log2(27/4) + log2 N - log2 F).
        const double stepBase = std::log2(27.0 / 4.0);
        double step[kMaxBandEntries];
        double logThreshold[kMaxBandEntries];
        double logForm[kMaxBandEntries];
        bool codes[kMaxBandEntries];
        double logRatioSum = 0.0;
        int codedCount = 0;
        for (int e = 0; e < entries; ++e) {
            const int b = e % ics.numSwb;
            preserved[e] = isPreservedBand(coding.codebook[e], noise);
            nonZero[e] = 1;
            step[e] = 0.0;
            const bool coded = b < coding.bandLimit && !preserved[e];
            // Bands above the coded bandwidth, and bands whose energy the threshold already
            // covers, are not coded: a zero peak makes every pass quantise them to zero.
            codes[e] = coded && stats.energy[e] > masking.threshold[e] && stats.form[e] > 0.0;
            if (!codes[e]) {
                if (!preserved[e]) powers.bandPeak[e] = 0.0;
                continue;
            }
            const double logEnergy = std::log2(stats.energy[e]);
            logThreshold[e] = std::log2(masking.threshold[e]);
            logForm[e] = std::log2(stats.form[e]);
            // The noise target, log2(thr^a energy^b), held in step for now.
            step[e] = kThresholdExponent * logThreshold[e] + kEnergyExponent * logEnergy;
            logRatioSum += step[e] - logThreshold[e];
            ++codedCount;
            capStep[e] = static_cast<int>(
                std::floor(8.0 / 3.0 * (stepBase + logEnergy + std::log2(kMaxNoiseShare) - logForm[e])));
        }
        // The targets' geometric mean over the coded bands is the thresholds'.
        const double logScale = codedCount > 0 ? -logRatioSum / codedCount : 0.0;
        for (int e = 0; e < entries; ++e)
            if (codes[e]) step[e] = std::floor(8.0 / 3.0 * (stepBase + step[e] + logScale - logForm[e]));
        // Long blocks: each complete triple of coded bands shares its mean step, which saves
        // scalefactor bits (about 45 % of them on music) for a small change in the noise's shape.
        if (!isShort(ics))
            for (int e = 2; e < entries; e += 3) {
                if (!codes[e - 2] || !codes[e - 1] || !codes[e]) continue;
                step[e - 2] = step[e - 1] = step[e] = std::floor((step[e - 2] + step[e - 1] + step[e]) / 3.0);
            }
        int largestStep = INT_MIN;
        for (int e = 0; e < entries; ++e)
            if (codes[e]) largestStep = std::max(largestStep, static_cast<int>(step[e]));
        thresholdGain = largestStep == INT_MIN ? 0 : largestStep;
        double lowest = kMinGlobalGain;
        for (int e = 0; e < entries; ++e) {
            if (preserved[e]) {
                baseOffset[e] = coding.scaleOffset[e];
                continue;
            }
            if (powers.bandPeak[e] <= 0.0) {
                baseOffset[e] = 0;
                continue;
            }
            baseOffset[e] = thresholdGain - static_cast<int>(step[e]);
            const double clearStep =
                std::floor(8.0 / 3.0 * (stepBase + logThreshold[e] + std::log2(kClearMargin) - logForm[e]));
            clearGain = std::min(clearGain, baseOffset[e] + static_cast<int>(clearStep));
            // No magnitude beyond the escape range: peak * 2^(0.1875 (offset - gain)) <= 8191.
            lowest = std::max(lowest, baseOffset[e] - std::log2((kMaxQuantMagnitude - 1) /
                                                                powers.bandPeak[e]) /
                                                          kScaleStepExponent);
        }
        minGain = std::clamp(static_cast<int>(std::ceil(lowest)), kMinGlobalGain, kMaxGlobalGain);
    }

    // One trial with the base offsets, those of capped bands raised to their cap.
    void pass(int gain, int stopAbove = INT_MAX) {
        std::memcpy(coding.scaleOffset, baseOffset, sizeof(int32_t) * entries);
        if (capped)
            for (int e = 0; e < entries; ++e)
                if (!preserved[e] && powers.bandPeak[e] > 0.0)
                    coding.scaleOffset[e] = std::max(coding.scaleOffset[e], gain - capStep[e]);
        trial(gain, stopAbove);
    }

    bool fits(int gain, int target) {
        pass(gain, target);
        if (coding.usedBits > target) return false;
        keep();
        return true;
    }

    // The smallest gain in [low, kMaxGlobalGain] whose count fits `target`, searched from
    // `start`; kMaxGlobalGain + 1 when none fits.
    int search(int low, int start, int target) {
        start = std::clamp(start, low, kMaxGlobalGain);
        int fitting, failing;  // fits(fitting), !fits(failing), failing < fitting
        if (fits(start, target)) {
            fitting = start;
            failing = low - 1;
            for (int step = kSearchStep; fitting > low; step *= 2) {
                const int g = std::max(fitting - step, low);
                if (!fits(g, target)) {
                    failing = g;
                    break;
                }
                fitting = g;
            }
            if (fitting == low) return low;
        } else {
            failing = start;
            fitting = kMaxGlobalGain + 1;
            for (int step = kSearchStep; failing < kMaxGlobalGain; step *= 2) {
                const int g = std::min(failing + step, kMaxGlobalGain);
                if (fits(g, target)) {
                    fitting = g;
                    break;
                }
                failing = g;
            }
            if (fitting > kMaxGlobalGain) return fitting;
        }
        while (fitting - failing > 1) {
            const int mid = failing + (fitting - failing) / 2;
            if (fits(mid, target))
                fitting = mid;
            else
                failing = mid;
        }
        return fitting;
    }
};

// With noise substitution: zero bands of [pnsStartBand, bandLimit) that are noise-like and
// audible become noise bands, unless that no longer fits bitLimit.
void substituteAudibleZeroBands(Search& s, const MaskingResult& masking, int bitLimit) {
    ChannelCoding& coding = s.coding;
    const CodingSnapshot saved(coding);
    const int32_t before = coding.usedBits;
    bool any = false;
    for (int g = 0; g < groupCount(s.ics); ++g)
        for (int b = coding.pnsStartBand; b < coding.bandLimit; ++b) {
            const int e = g * s.ics.numSwb + b;
            if (coding.codebook[e] != ZERO_HCB || masking.tonality[e] >= kNoiseTonality ||
                s.stats.energy[e] <= masking.threshold[e])
                continue;
            coding.codebook[e] = NOISE_HCB;
            coding.noiseFlag[e] = 1;
            coding.scaleOffset[e] = bandNoiseEnergy(s.stats, s.ics, e);
            any = true;
        }
    if (!any) return;
    countChannelBits(coding, s.ics, true, s.largest);
    if (coding.usedBits <= bitLimit) return;
    saved.restore(coding);
    for (int e = 0; e < s.entries; ++e)
        if (coding.codebook[e] != NOISE_HCB) coding.noiseFlag[e] = 0;
    countChannelBits(coding, s.ics, true, s.largest);
    assert(coding.usedBits == before);
    (void)before;
}

}  // namespace

double codedEntropy(const BandStats& stats, const IcsInfo& ics, const ChannelCoding& coding,
                    const MaskingResult& masking) {
    double pe = 0.0;
    for (int g = 0; g < groupCount(ics); ++g)
        for (int b = 0; b < coding.pnsBandLimit; ++b) {
            const int e = g * ics.numSwb + b;
            if (coding.noiseFlag[e] || b >= coding.bandLimit) continue;
            pe += bandPerceptualEntropy(stats.energy[e], masking.threshold[e],
                                        activeLineCount(stats.form[e], stats.energy[e],
                                                        bandLines(ics, e) * groupLength(ics, g)));
        }
    return pe;
}

int perceptualFrameBits(PerceptualState& state, double frameEntropy, int32_t meanBits,
                        int channels, BitReservoir& reservoir, int32_t limit) {
    // Frames of (near) silence neither start nor move the mean.
    double relative = 0.0;
    if (frameEntropy > kEntropyFloor) {
        if (state.averageEntropy <= 0.0) state.averageEntropy = frameEntropy;
        relative = std::min(frameEntropy / state.averageEntropy - 1.0, kMaxRelativeEntropy);
        state.averageEntropy =
            kEntropyMemory * state.averageEntropy + (1.0 - kEntropyMemory) * frameEntropy;
    } else if (state.averageEntropy > 0.0) {
        relative = -1.0;
    }

    const int32_t mean = meanBits * channels;
    const int32_t bitReservoir = reservoir.bits();
    if (state.vbrLevel > 0) {
        const int32_t total = std::clamp(mean + bitReservoir, int32_t{0}, limit);
        reservoir.spend(total - mean);
        return total;
    }
    const int32_t cap = reservoir.capacity();
    const double fill = reservoir.fill();
    double wanted = mean * (1.0 + kEntropyWeight * relative + kReservoirPull * (fill - 0.5));
    wanted = std::max(wanted, 0.5 * mean);
    int32_t total = static_cast<int32_t>(wanted);
    const int32_t borrowable = static_cast<int32_t>(kMaxBorrowedShare * std::max(bitReservoir, int32_t{0}));
    total = std::min({total, mean + borrowable, limit});
    if (bitReservoir < 0) total = std::min(total, mean + bitReservoir);
    // What the reservoir cannot hold is spent now.
    total = std::max({total, int32_t{0}, mean - (cap - bitReservoir)});
    total = std::min(total, limit);
    reservoir.spend(total - mean);
    return total;
}

void adaptBandwidth(PerceptualState& state, int32_t lostBits, double fill, double cutoffHz, int32_t sampleRate) {
    if (lostBits > 0)
        state.extraCutoffHz = std::min(state.extraCutoffHz + kCutoffStepHz, std::max(0.5 * sampleRate - cutoffHz, 0.0));
    else if (fill < kNarrowingFill)
        state.extraCutoffHz = std::max(state.extraCutoffHz - kCutoffStepHz, 0.0);
}

void quantisePerceptual(ChannelCoding& coding, const IcsInfo& ics, std::span<const double> spectrum,
                        const BandStats& stats, const MaskingResult& masking, bool noise, double fill,
                        int bitLimit, int32_t& gainAboveThreshold, int32_t vbrLevel, int32_t vbrFloorBits) {
    std::fill(std::begin(coding.sectionLength), std::end(coding.sectionLength), uint8_t{1});
    const int target = std::min(coding.targetBits, bitLimit);
    Search s(coding, ics, spectrum, stats, masking, noise);
    const int below = kBelowThreshold +
                      static_cast<int>(kBelowThresholdFull * std::clamp(2.0 * fill - 1.0, 0.0, 1.0));
    // The search goes down far enough for every coded band to lie clearly under its threshold;
    // at a variable rate it goes no lower than the level's gain.
    const int constantRateLow = std::clamp(std::min(s.thresholdGain - below, s.clearGain), s.minGain, kMaxGlobalGain);
    const int low = vbrLevel > 0
                        ? std::clamp(s.thresholdGain + kVbrGainOffset[vbrLevel - 1], s.minGain, kMaxGlobalGain)
                        : constantRateLow;
    if (vbrLevel > 0) gainAboveThreshold = low - s.thresholdGain;
    int gain = s.search(low, s.thresholdGain + gainAboveThreshold, target);
    if (gain > kMaxGlobalGain) {
        // The bands held at their noise cap do not fit: let every band's noise rise.
        s.capped = false;
        s.forget();
        gain = s.search(low, s.thresholdGain + gainAboveThreshold, target);
    }
    if (gain > kMaxGlobalGain) {
        // Nothing fits the target, not even the highest gain: the channel goes silent.
        coding.globalGain = kMaxGlobalGain;
        s.zero();
        gainAboveThreshold = 0;
    } else {
        if ((gain != s.lastGain || coding.usedBits > target) && !s.recall(gain)) s.pass(gain);
        const int32_t floorBits = std::min(vbrFloorBits, target);
        if (vbrLevel > 0 && coding.usedBits < floorBits && gain > constantRateLow) {
            // A channel that the level's gain codes in few bits (a tone, a quiet passage) goes
            // on down, as the constant rate would, while it stays within the floor.
            s.keep();
            gain = s.search(constantRateLow, gain, floorBits);
            if ((gain != s.lastGain || coding.usedBits > floorBits) && !s.recall(gain)) s.pass(gain);
        }
        gainAboveThreshold = gain - s.thresholdGain;
        if (noise) substituteAudibleZeroBands(s, masking, bitLimit);
        s.finishUnsectionedBands();
    }
    assert(coding.usedBits <= bitLimit);
}

}  // namespace varnel
