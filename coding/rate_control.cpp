#include "coding/rate_control.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <climits>
#include <cstring>

#include "bitstream/sectioning.h"
#include "coding/quantiser.h"
#include "coding/truncation.h"
#include "records/instruction_set.h"

namespace varnel {
namespace {

// Bandwidth: about 0.235 Hz per bit/s of bitRatePerChannel, as a line index.
constexpr int kLongBandwidthFactor = 485;  // lines per (bit/s / Hz), 1024-line windows
constexpr int kShortBandwidthFactor = 60;  // lines per (bit/s / Hz), 128-line windows
constexpr int kFirstLongSearchBand = 30;   // long blocks never code fewer bands
constexpr int kLowBands = 15;              // "most of the magnitude below band 15" widens
constexpr double kLowShareThreshold = 0.6;
constexpr double kMaxWidening = 1.08;

constexpr int kFlatnessBands = 39;
constexpr double kFlatnessStep = 0.02564102564102564;  // 1/39
constexpr double kFlatnessMinMean = 100.0;

constexpr int kMaxShortExtraBits = 1400;
constexpr double kStrongAttackRatio = 9.0;
constexpr int kTnsReservoirThreshold = 2000;

constexpr double kInverseMaxMagnitude = 0.00012208521548040532;  // 1/8191
constexpr int kTargetSlack = 10;
constexpr int kNoisePassLimit = 10;

// A TNS-filtered (transient) long block takes this share of the reservoir, when the
// reservoir holds more than kTnsReservoirThreshold bits.
constexpr double kTnsReservoirShare = 0.05;

// The default mode's gain search: offsets once from the band levels, then trials with them.
struct GainSearch : GainTrial {
    int32_t baseOffset[kMaxBandEntries];

    GainSearch(ChannelCoding& c, const IcsInfo& info, std::span<const double> lines, const ChannelQuantiser& q)
        : GainTrial(c, info, lines, q.noiseSubstitution, q.noiseSubstitution) {
        if (noise)
            computeScaleOffsetsWithNoise(coding, ics, spectrum, q.offsets);
        else
            computeScaleOffsets(coding, ics, spectrum, q.offsets);
        for (int i = 0; i < entries; ++i) {
            preserved[i] = isPreservedBand(coding.codebook[i], noise);
            // Ordinary offsets are never negative; the clamp makes the scalefactor range
            // argument of limitScalefactorRange hold whatever the offsets are.
            if (!preserved[i] && coding.scaleOffset[i] < 0) coding.scaleOffset[i] = 0;
            baseOffset[i] = coding.scaleOffset[i];
            nonZero[i] = 1;  // unknown: the first pass writes every line
        }
    }

    // One trial with the search's offsets.
    void pass(int gain, int stopAbove = INT_MAX) {
        std::memcpy(coding.scaleOffset, baseOffset, sizeof(int32_t) * entries);
        trial(gain, stopAbove);
    }

    // A trial that only needs to tell whether its count exceeds stopAbove, skipped when the
    // escape sequences alone prove that it does (the search's first trial, at its finest gain,
    // nearly always): usedBits then holds that bound, and nothing is quantised.
    void passOrBound(int gain, int stopAbove) {
        std::memcpy(coding.scaleOffset, baseOffset, sizeof(int32_t) * entries);
        coding.globalGain = gain;
        const int bound = escapeBitsLowerBound(coding, ics, spectrum, powers, codedBands, preserved, stopAbove);
        if (bound > stopAbove) {
            coding.usedBits = bound;
            return;
        }
        trial(gain, stopAbove);
    }
};

// True when some noise band of the channel carries energy. The side of a mid/side pair of
// equal channels is all zero, yet a band both channels send as noise carries the right
// channel's energy there (measured before the conversion; a decoder leaves mid/side undone in
// such bands): coded as a silent channel, the right channel's noise bands were lost.
bool carriesNoise(const ChannelCoding& coding, const IcsInfo& ics) {
    for (int i = 0; i < ics.numSwb * groupCount(ics); ++i)
        if (coding.codebook[i] == NOISE_HCB && coding.scaleOffset[i] > 0) return true;
    return false;
}

// Bandwidth of one channel in bands, from the bit rate and the spectrum's low-band share.
int channelBandLimit(const IcsInfo& ics, double low, double total, const StreamRate& rate) {
    const uint16_t* swb = ics.swbOffsets;
    const int numSwb = ics.numSwb;
    int limit;
    if (isShort(ics)) {
        const int64_t product = int64_t{rate.bitRatePerChannel} * kShortBandwidthFactor;
        const int32_t line = truncToInt(static_cast<double>(product) / rate.sampleRate);
        limit = numSwb;
        for (int i = 0; i < numSwb; ++i)
            if (swb[i] > line) {
                limit = i;
                break;
            }
    } else {
        const int64_t product = int64_t{rate.bitRatePerChannel} * kLongBandwidthFactor;
        const int32_t line = truncToInt(static_cast<double>(product) / rate.sampleRate);
        const double lowShare = low / total;
        int i = kFirstLongSearchBand;
        if (numSwb > kFirstLongSearchBand) {
            i = numSwb;
            for (int b = kFirstLongSearchBand; b < numSwb; ++b)
                if (swb[b] > line) {
                    i = b;
                    break;
                }
        }
        // A spectrum concentrated in the low bands widens the bandwidth by up to 8 %.
        double k = i;
        if (lowShare > kLowShareThreshold)
            k = truncToInt((1.0 + (lowShare - kLowShareThreshold) * 0.3333333333333333) * i + 0.5);
        limit = truncToInt(std::min(k, kMaxWidening * i));
    }
    // Sic: a limit beyond the table drops to numSwb - 1, one equal to numSwb stays.
    if (limit > numSwb) limit = numSwb - 1;
    return limit;
}

}  // namespace

int frameBitTotal(std::span<const ChannelBuffer> buffers, std::span<const IcsInfo> ics, const ElementInfo& element,
                  FrameState& frame, const StreamRate& rate) {
    const int channels = static_cast<int>(ics.size());
    const int32_t cap = frameBitCap(channels);
    const int32_t mean = meanFrameBits(rate);
    const bool tnsOption = (frame.options & kOptionTns) != 0;
    int32_t total = 0;
    for (int c = 0; c < channels; ++c)
        total += channelBitDemand(buffers[c].spectrum, ics[c], tnsOption && element.sideInfo[c].tnsDataPresent,
                                  channels, mean, frame);
    if (total > cap) {
        // What one block cannot carry stays saved, as far as the reservoir holds it.
        frame.bitReservoir.charge(total - cap);
        frame.bitReservoir.cap();
        total = cap;
    }
    return total;
}

int32_t meanFrameBits(const StreamRate& rate) {
    return static_cast<int32_t>(int64_t{rate.bitRatePerChannel} * kFrameLength / rate.sampleRate);
}

void limitBandwidth(std::span<const ChannelBuffer> buffers, std::span<IcsInfo> ics,
                    std::span<ChannelCoding> coding, const StreamRate& rate) {
    // Each channel's sum of |x| over the long block's low bands and over all lines, each one
    // serial sum in line order (the low sum is its prefix). Two channels' sums run side by side.
    int lowEnd = 0;
    for (const IcsInfo& info : ics)
        if (!isShort(info)) lowEnd = info.swbOffsets[kLowBands];
    double low[2] = {0.0, 0.0}, total[2] = {0.0, 0.0};
    for (size_t first = 0; first < ics.size(); first += 2) {
        const double* a = buffers[first].spectrum;
        if (first + 1 < ics.size()) {
            const double* b = buffers[first + 1].spectrum;
            double sa = 0.0, sb = 0.0;
            for (int k = 0; k < lowEnd; ++k) {
                sa += std::fabs(a[k]);
                sb += std::fabs(b[k]);
            }
            low[0] = sa;
            low[1] = sb;
            for (int k = lowEnd; k < kFrameLength; ++k) {
                sa += std::fabs(a[k]);
                sb += std::fabs(b[k]);
            }
            total[0] = sa;
            total[1] = sb;
        } else {
            double sa = 0.0;
            for (int k = 0; k < lowEnd; ++k) sa += std::fabs(a[k]);
            low[0] = sa;
            for (int k = lowEnd; k < kFrameLength; ++k) sa += std::fabs(a[k]);
            total[0] = sa;
        }
        for (size_t c = first; c < std::min(first + 2, ics.size()); ++c) {
            if (total[c - first] == 0.0) {
                coding[c].bandLimit = 0;
                if (!isShort(ics[c])) {
                    ics[c].numWindowGroups = 1;
                    ics[c].windowGroupLength[0] = 1;
                }
                continue;
            }
            coding[c].bandLimit = channelBandLimit(ics[c], low[c - first], total[c - first], rate);
        }
    }
    if (ics.size() == 2) {
        int32_t& a = coding[0].bandLimit;
        int32_t& b = coding[1].bandLimit;
        if (a != b && a != 0 && b != 0) a = b = std::max(a, b);
    }
}

namespace {

// The flatness count; the vector build compares four lines' shares at a time (the count is
// the same in any order).
VARNEL_KERNEL_BODY double flatnessBody(const double* x, const IcsInfo& ics) {
    const uint16_t* swb = ics.swbOffsets;
    int counted = 0;
    for (int b = 1; b <= kFlatnessBands && b < ics.numSwb; ++b) {
        const int n = swb[b + 1] - swb[b];
        double s = 0.0;
        for (int k = swb[b]; k < swb[b + 1]; ++k) s += std::fabs(x[k]);
        if (!(s / n > kFlatnessMinMean)) continue;
        const double lineShare = 1.0 / n;
        int above = 0;
        for (int k = swb[b]; k < swb[b + 1]; ++k)
            if (std::fabs(x[k]) / s > lineShare) ++above;
        if (above > n / 3) ++counted;
    }
    return counted * kFlatnessStep;
}

double flatnessScalar(const double* x, const IcsInfo& ics) { return flatnessBody(x, ics); }
VARNEL_VECTOR_TARGET double flatnessVector(const double* x, const IcsInfo& ics) { return flatnessBody(x, ics); }

}  // namespace

double spectralFlatness(std::span<const double> x, const IcsInfo& ics) {
    return spectralFlatnessWith(useVectorKernels(), x, ics);
}

double spectralFlatnessWith(bool vector, std::span<const double> x, const IcsInfo& ics) {
    return (vector ? flatnessVector : flatnessScalar)(x.data(), ics);
}

int channelBitDemand(std::span<const double> spectrum, const IcsInfo& ics, bool tnsFiltered,
                     int channels, int32_t meanBits, FrameState& frame) {
    BitReservoir& reservoir = frame.bitReservoir;

    if (isShort(ics)) {
        // A short block takes a fifth of the channel's reservoir share, less for few groups.
        int32_t extra = truncToInt(reservoir.bits() / (channels * 5.0));
        if (ics.numWindowGroups == 1)
            extra = ics.attackRatio < kStrongAttackRatio ? extra >> 1 : extra >> 2;
        else if (ics.numWindowGroups == 2)
            extra >>= 1;
        extra = std::min(extra, kMaxShortExtraBits);
        reservoir.spend(extra);
        return meanBits + extra;
    }

    int32_t demand;
    const int32_t bits = reservoir.bits();
    if (tnsFiltered && bits > kTnsReservoirThreshold) {
        demand = truncToInt(bits * kTnsReservoirShare + meanBits);
        reservoir.spend(bits - truncToInt(bits * (1.0 - kTnsReservoirShare)));
    } else {
        // l > 0 saves bits (tonal spectra, or a reservoir below half); l < 0 spends them
        // (a flat spectrum with the reservoir more than half full).
        const double flatness = spectralFlatness(spectrum, ics);
        const double fill = reservoir.fill();
        double l;
        if (flatness < 0.2) {
            l = (1.0 - fill) * 0.2;
        } else {
            const double h = 0.5 - fill;
            l = h > 0.0 ? (1.0 - flatness) * h : h * flatness;
        }
        reservoir.charge(truncToInt(bits + meanBits * l) - bits);
        demand = truncToInt((1.0 - l) * meanBits);
    }
    // What the reservoir cannot hold is spent now.
    return demand + reservoir.cap();
}

int startGlobalGain(double peak) {
    // 20 + 5 log2(peak^0.75 / 8191): each 1/5 of a doubling in the 0.75 domain is a scale
    // unit (2^0.1875 ~ 2^(1/5)), so the loudest line quantises near 8191 at offset 0.
    const int32_t gain =
        kMinStartGain - truncToInt(std::log2(std::pow(peak, 0.75) * kInverseMaxMagnitude) * -5.0);
    return std::clamp(gain, kMinStartGain, kMaxGlobalGain);
}

void allocateFrameBits(std::span<const ChannelBuffer> buffers, std::span<IcsInfo> ics,
                       std::span<ChannelCoding> coding, const ElementInfo& element, FrameState& frame,
                       const StreamRate& rate) {
    const int channels = static_cast<int>(ics.size());
    const int32_t total = frameBitTotal(buffers, ics, element, frame, rate);
    const bool noise = (frame.options & kOptionPns) != 0;
    for (int c = 0; c < channels; ++c) {
        ChannelCoding& cc = coding[c];
        const std::span<const double> spectrum(buffers[c].spectrum);
        int32_t target = truncToInt(total * frame.channelShare);
        const int32_t limit = channelBitLimit(ics[c], element.sideInfo[c], channels, element.msUsed != 0);
        if (target > limit) {
            // What the side information would push past the decoder buffer stays saved.
            frame.bitReservoir.charge(target - limit);
            target = limit;
        }
        cc.targetBits = target;
        const double peak = spectrumPeak(spectrum);
        std::fill(std::begin(cc.sectionLength), std::end(cc.sectionLength), uint8_t{1});
        if (peak != 0.0 || (noise && carriesNoise(cc, ics[c]))) {
            cc.globalGain = startGlobalGain(peak);
            const ChannelQuantiser quantiser{noise, offsetRules(rate.sampleRate, element.msUsed == 1, frame.channelShare),
                                             limit};
            quantiseChannel(cc, ics[c], spectrum, quantiser);
            // Sic: the unused bits plus 10 return to the reservoir.
            if (target > cc.usedBits + kTargetSlack) frame.bitReservoir.charge(target - cc.usedBits + kTargetSlack);
        } else {
            // Noise substitution may still fill the silent channel's bands after quantisation.
            codeSilentChannel(cc, ics[c], true);
            if (target > 0) frame.bitReservoir.charge(target);
        }
        frame.bitReservoir.cap();
        frame.channelShare = 1.0 - frame.channelShare;
    }
}

void quantiseChannel(ChannelCoding& coding, const IcsInfo& ics, std::span<const double> spectrum,
                     const ChannelQuantiser& quantiser) {
    if (!quantiser.noiseSubstitution)
        std::fill(coding.scaleOffset, coding.scaleOffset + ics.numSwb * ics.numWindowGroups, 0);
    searchGlobalGain(coding, ics, spectrum, quantiser);
}

void searchGlobalGain(ChannelCoding& coding, const IcsInfo& ics, std::span<const double> spectrum,
                      const ChannelQuantiser& quantiser) {
    GainSearch search(coding, ics, spectrum, quantiser);
    const int startGain = std::clamp(coding.globalGain, kMinGlobalGain, kMaxGlobalGain);
    const auto over = [&] { return coding.usedBits > coding.targetBits; };

    // Bisection with steps 32, 16, .., 1 around the start gain, then +1 per pass while the
    // count exceeds the target. When the first pass fits, every later trial lies at or below
    // the start gain and the final gain is raised to it, so the result is the first pass and
    // the search stops there. Otherwise every trial lies above the start gain (the remaining
    // steps add up to 31 < 32), so no gain below the start gain (20 or more, as
    // allocateFrameBits sets it) is ever tried.
    // The passes of the bisection only decide over(): an over count is followed by another
    // pass at a different gain, or at the gain bound by the silent channel, so it may stop
    // early. A final pass (the repeat below, the fitting loop) is always counted in full.
    int gain = startGain;
    int step = kFirstGainStep;
    int passes = 1;
    search.passOrBound(gain, coding.targetBits);
    if (over() && gain < kMaxGlobalGain) {
        for (;;) {
            step /= 2;
            if (over()) {
                if (step == 0) step = 1;
                gain = std::min(gain + step, kMaxGlobalGain);
            } else {
                // Only binds when a step was cut at the gain bound.
                gain = std::max(gain - step, startGain + 1);
            }
            if (step == 0 || (search.noise && passes >= kNoisePassLimit)) break;
            search.pass(gain, coding.targetBits);
            ++passes;
            if (over() && gain == kMaxGlobalGain) break;
        }
    }
    gain = std::max(gain, startGain);
    if (gain != search.lastGain) search.pass(gain);

    if (over() && gain == kMaxGlobalGain) {
        // Nothing fits the target, not even the highest gain: send the channel silent.
        search.zero();
    } else {
        // The pass limit of the noise-aware search can leave a count above what the frame
        // can carry; raise the gain until it fits.
        while (coding.usedBits > quantiser.bitLimit && gain < kMaxGlobalGain) search.pass(++gain);
        if (coding.usedBits > quantiser.bitLimit)
            search.zero();
        else
            search.finishUnsectionedBands();
    }
    assert(coding.usedBits <= quantiser.bitLimit);
    coding.globalGain = gain;
}

}  // namespace varnel
