#include "coding/rate_control.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <climits>
#include <cstring>

#include "bitstream/sectioning.h"
#include "bitstream/syntax_writer.h"
#include "coding/quantiser.h"
#include "coding/truncation.h"

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

// Fixed side information, in bits (ISO/IEC 14496-3 syntax of raw_data_block, ics_info and
// individual_channel_stream).
constexpr int kElementHeaderBits = kIdSynEleBits + kElementInstanceTagBits;
constexpr int kEndBits = kIdSynEleBits;
constexpr int kMaxAlignmentBits = 7;
constexpr int kCommonWindowBits = 1;
constexpr int kIcsInfoBitsLong = 1 + kWindowSequenceBits + 1 + kMaxSfbBitsLong + 1;
constexpr int kIcsInfoBitsShort = 1 + kWindowSequenceBits + 1 + kMaxSfbBitsShort +
                                  kScaleFactorGroupingBits;
constexpr int kToolFlagBits = 3;  // pulse_data_present, tns_data_present, gain_control_data_present
// A zero section over the bands a common max_sfb adds: sect_cb and the escaped length
// (up to 61 long-block bands in 5 + 5 bits, up to 20 short-window bands in 3 + 3 + 3 bits).
constexpr int kSectionCodebookBits = 4;
constexpr int kZeroSectionBitsLong = kSectionCodebookBits + 2 * 5;
constexpr int kZeroSectionBitsShort = kSectionCodebookBits + 3 * 3;

// tns_data field widths: long blocks / eight short windows.
constexpr int kTnsNumFiltersBitsLong = 2, kTnsNumFiltersBitsShort = 1;
constexpr int kTnsLengthBitsLong = 6, kTnsLengthBitsShort = 4;
constexpr int kTnsOrderBitsLong = 5, kTnsOrderBitsShort = 3;
constexpr int kTnsCoefResBits = 1, kTnsDirectionBits = 1, kTnsCoefCompressBits = 1;

bool isShort(const IcsInfo& ics) { return ics.windowSequence == EIGHT_SHORT_SEQUENCE; }

int frameCap(const AacEncoder& encoder) { return encoder.channels * kMaxBitsPerChannel; }

// Bits of one TNS filter's order, direction, compression and coefficients.
int tnsFilterBits(int order, int coefRes, int coefCompress) {
    if (order == 0) return 0;
    return kTnsDirectionBits + kTnsCoefCompressBits + order * (3 + coefRes - coefCompress);
}

// Bits of tns_data as the syntax writes it from the channel's side information.
int tnsDataBits(const ChannelSideInfo& side, const IcsInfo& ics) {
    if (!side.tnsDataPresent) return 0;
    int bits = 0;
    if (isShort(ics)) {
        for (int w = 0; w < kShortWindows; ++w) {
            bits += kTnsNumFiltersBitsShort;
            if (side.tnsNumFilters[w] == 0) continue;
            bits += kTnsCoefResBits + kTnsLengthBitsShort + kTnsOrderBitsShort +
                    tnsFilterBits(side.tnsOrder[w], side.tnsCoefRes[w], side.tnsCoefCompress[w]);
        }
        return bits;
    }
    bits += kTnsNumFiltersBitsLong;
    if (side.tnsNumFilters[0] == 0) return bits;
    bits += kTnsCoefResBits;
    for (int f = 0; f < side.tnsNumFilters[0]; ++f)
        bits += kTnsLengthBitsLong + kTnsOrderBitsLong +
                tnsFilterBits(side.tnsOrder[f], side.tnsCoefRes[0], side.tnsCoefCompress[f]);
    return bits;
}

// The state of one channel's gain search that lasts from the offsets to the final pass.
struct GainSearch {
    AacEncoder& encoder;
    int channel;
    ChannelCoding& coding;
    const IcsInfo& ics;
    std::span<const double> spectrum;
    bool noise;
    int codedBands;       // bands 0 .. codedBands - 1 of each group are sectioned
    int entries;          // numSwb * groups
    int lastGain = 0;     // gain of the quantisation now in quantSpectrum
    MagnitudePowers powers;
    int32_t baseOffset[kMaxBandEntries];
    uint8_t preserved[kMaxBandEntries];
    uint8_t nonZero[kMaxBandEntries];
    int32_t largest[kMaxBandEntries];  // largest quantised magnitude of each sectioned band

    GainSearch(AacEncoder& enc, int c)
        : encoder(enc), channel(c), coding(enc.channelCoding[c]), ics(enc.icsInfo[c]),
          spectrum(enc.channelBuffers[c].spectrum),
          noise((enc.options & kOptionPns) != 0),
          codedBands(noise ? coding.pnsBandLimit : coding.bandLimit),
          entries(ics.numSwb * (isShort(ics) ? ics.numWindowGroups : 1)) {
        assert(codedBands >= 0 && codedBands <= ics.numSwb);
        computeMagnitudePowers(spectrum, ics, powers);
        if (noise)
            computeScaleOffsetsWithNoise(coding, ics, enc.channelBuffers[c], enc);
        else
            computeScaleOffsets(coding, ics, enc.channelBuffers[c], enc);
        for (int i = 0; i < entries; ++i) {
            preserved[i] = isPreservedBand(coding.codebook[i], noise);
            // Ordinary offsets are never negative; the clamp makes the scalefactor range
            // argument of limitScalefactorRange hold whatever the offsets are.
            if (!preserved[i] && coding.scaleOffset[i] < 0) coding.scaleOffset[i] = 0;
            baseOffset[i] = coding.scaleOffset[i];
            nonZero[i] = 1;  // unknown: the first pass writes every line
        }
    }

    // One trial: the offsets of the search, quantisation of the sectioned bands, the
    // scalefactor range and the bit count. A trial passed `stopAbove` (the target) only needs
    // to tell whether its count exceeds it: the count may then stop early with some value above
    // it, leaving codebooks and sections unfinished; the quantisation is always complete.
    void pass(int gain, int stopAbove = INT_MAX) {
        coding.globalGain = gain;
        std::memcpy(coding.scaleOffset, baseOffset, sizeof(int32_t) * entries);
        quantiseBands(coding, spectrum, ics, powers, 0, codedBands, nonZero, largest);
        limitScalefactorRange(coding, spectrum, ics, powers, codedBands, preserved, nonZero, largest);
        countChannelBits(encoder, channel, largest, stopAbove);
        lastGain = gain;
    }

    // The all-zero quantisation: the cheapest the channel can be coded with.
    void zero() {
        std::fill(std::begin(coding.quantSpectrum), std::end(coding.quantSpectrum), 0);
        std::fill(nonZero, nonZero + entries, uint8_t{0});
        std::fill(largest, largest + entries, 0);
        countChannelBits(encoder, channel, largest);
    }

    // Bands outside the sectioned range do not enter the count; they are quantised once,
    // with the final gain, so that quantSpectrum holds every band.
    void finishUnsectionedBands() {
        quantiseBands(coding, spectrum, ics, powers, codedBands, ics.numSwb, nonZero);
    }
};

}  // namespace

void limitBandwidth(AacEncoder& encoder) {
    for (int c = 0; c < encoder.channels; ++c) {
        IcsInfo& ics = encoder.icsInfo[c];
        ChannelCoding& coding = encoder.channelCoding[c];
        const double* spectrum = encoder.channelBuffers[c].spectrum;
        double total = 0.0;
        for (int k = 0; k < kFrameLength; ++k) total += std::fabs(spectrum[k]);
        if (total == 0.0) {
            coding.bandLimit = 0;
            if (!isShort(ics)) {
                ics.numWindowGroups = 1;
                ics.windowGroupLength[0] = 1;
            }
            continue;
        }
        const uint16_t* swb = ics.swbOffsets;
        const int numSwb = ics.numSwb;
        int limit;
        if (isShort(ics)) {
            const int64_t product = int64_t{encoder.bitRatePerChannel} * kShortBandwidthFactor;
            const int32_t line = truncToInt(static_cast<double>(product) / encoder.sampleRate);
            limit = numSwb;
            for (int i = 0; i < numSwb; ++i)
                if (swb[i] > line) {
                    limit = i;
                    break;
                }
        } else {
            const int64_t product = int64_t{encoder.bitRatePerChannel} * kLongBandwidthFactor;
            const int32_t line = truncToInt(static_cast<double>(product) / encoder.sampleRate);
            double low = 0.0;
            for (int k = 0; k < swb[kLowBands]; ++k) low += std::fabs(spectrum[k]);
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
                k = truncToInt((1.0 + (lowShare - kLowShareThreshold) * 0.3333333333333333) * i +
                               0.5);
            limit = truncToInt(std::min(k, kMaxWidening * i));
        }
        // Sic: a limit beyond the table drops to numSwb - 1, one equal to numSwb stays.
        if (limit > numSwb) limit = numSwb - 1;
        coding.bandLimit = limit;
    }
    if (encoder.channels == 2) {
        int32_t& a = encoder.channelCoding[0].bandLimit;
        int32_t& b = encoder.channelCoding[1].bandLimit;
        if (a != b && a != 0 && b != 0) a = b = std::max(a, b);
    }
}

double spectralFlatness(const ChannelBuffer& buffer, const IcsInfo& ics) {
    const uint16_t* swb = ics.swbOffsets;
    const double* x = buffer.spectrum;
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

int channelBitDemand(AacEncoder& encoder, int channel) {
    const IcsInfo& ics = encoder.icsInfo[channel];
    const int32_t mean =
        static_cast<int32_t>(int64_t{encoder.bitRatePerChannel} * kFrameLength / encoder.sampleRate);
    const int32_t cap = frameCap(encoder);
    int32_t& reservoir = encoder.bitReservoir;

    if (isShort(ics)) {
        // A short block takes a fifth of the channel's reservoir share, less for few groups.
        int32_t extra = truncToInt(reservoir / (encoder.channels * 5.0));
        if (ics.numWindowGroups == 1)
            extra = ics.attackRatio < kStrongAttackRatio ? extra >> 1 : extra >> 2;
        else if (ics.numWindowGroups == 2)
            extra >>= 1;
        extra = std::min(extra, kMaxShortExtraBits);
        reservoir -= extra;
        return mean + extra;
    }

    int32_t demand;
    if ((encoder.options & kOptionTns) && encoder.elementInfo.sideInfo[channel].tnsDataPresent &&
        reservoir > kTnsReservoirThreshold) {
        // A TNS-filtered (transient) long block takes 5 % of the reservoir.
        demand = truncToInt(reservoir * 0.05 + mean);
        reservoir = truncToInt(reservoir * 0.95);
    } else {
        // l > 0 saves bits (tonal spectra, or a reservoir below half); l < 0 spends them
        // (a flat spectrum with the reservoir more than half full).
        const double flatness = spectralFlatness(encoder.channelBuffers[channel], ics);
        const double fill = static_cast<double>(reservoir) / cap;
        double l;
        if (flatness < 0.2) {
            l = (1.0 - fill) * 0.2;
        } else {
            const double h = 0.5 - fill;
            l = h > 0.0 ? (1.0 - flatness) * h : h * flatness;
        }
        reservoir = truncToInt(reservoir + mean * l);
        demand = truncToInt((1.0 - l) * mean);
    }
    if (reservoir > cap) {
        demand += reservoir - cap;
        reservoir = cap;
    }
    return demand;
}

int frameBitTotal(AacEncoder& encoder) {
    const int32_t cap = frameCap(encoder);
    int32_t total = 0;
    for (int c = 0; c < encoder.channels; ++c) total += channelBitDemand(encoder, c);
    if (total > cap) {
        encoder.bitReservoir = std::min(encoder.bitReservoir + (total - cap), cap);
        total = cap;
    }
    return total;
}

int channelSideInfoBits(const AacEncoder& encoder, int channel) {
    const IcsInfo& ics = encoder.icsInfo[channel];
    const bool shortBlock = isShort(ics);
    const int groups = shortBlock ? ics.numWindowGroups : 1;
    int bits = kElementHeaderBits + kEndBits + kMaxAlignmentBits + kGlobalGainBits +
               (shortBlock ? kIcsInfoBitsShort : kIcsInfoBitsLong) + kToolFlagBits +
               tnsDataBits(encoder.elementInfo.sideInfo[channel], ics);
    if (encoder.channels == 2) {
        bits += kCommonWindowBits + kMsMaskPresentBits;
        if (encoder.elementInfo.msUsed) bits += groups * ics.numSwb;  // ms_used, max_sfb <= numSwb
        bits += groups * (shortBlock ? kZeroSectionBitsShort : kZeroSectionBitsLong);
    }
    return bits;
}

int channelBitLimit(const AacEncoder& encoder, int channel) {
    return kMaxBitsPerChannel - channelSideInfoBits(encoder, channel);
}

int startGlobalGain(double peak) {
    // 20 + 5 log2(peak^0.75 / 8191): each 1/5 of a doubling in the 0.75 domain is a scale
    // unit (2^0.1875 ~ 2^(1/5)), so the loudest line quantises near 8191 at offset 0.
    const int32_t gain =
        kMinStartGain - truncToInt(std::log2(std::pow(peak, 0.75) * kInverseMaxMagnitude) * -5.0);
    return std::clamp(gain, kMinStartGain, kMaxGlobalGain);
}

void allocateFrameBits(AacEncoder& encoder) {
    const int32_t cap = frameCap(encoder);
    const int32_t total = frameBitTotal(encoder);
    for (int c = 0; c < encoder.channels; ++c) {
        ChannelCoding& coding = encoder.channelCoding[c];
        IcsInfo& ics = encoder.icsInfo[c];
        int32_t target = truncToInt(total * encoder.channelShare);
        const int32_t limit = channelBitLimit(encoder, c);
        if (target > limit) {
            // What the side information would push past the decoder buffer stays saved.
            encoder.bitReservoir += target - limit;
            target = limit;
        }
        coding.targetBits = target;
        const double peak = spectrumPeak(encoder.channelBuffers[c].spectrum);
        std::fill(std::begin(coding.sectionLength), std::end(coding.sectionLength), uint8_t{1});
        if (peak != 0.0) {
            coding.globalGain = startGlobalGain(peak);
            quantiseChannel(encoder, c);
            // Sic: the unused bits plus 10 return to the reservoir.
            if (target > coding.usedBits + kTargetSlack)
                encoder.bitReservoir += target - coding.usedBits + kTargetSlack;
        } else {
            coding.bandLimit = 0;
            if (!isShort(ics)) {
                ics.numWindowGroups = 1;
                ics.windowGroupLength[0] = 1;
            }
            coding.globalGain = 0;
            std::fill(coding.codebook, coding.codebook + ics.numSwb * ics.numWindowGroups, 0);
            coding.usedBits = 0;
            coding.maxSfb = 0;
            if (target > 0) encoder.bitReservoir += target;
        }
        if (encoder.bitReservoir > cap) encoder.bitReservoir = cap;
        encoder.channelShare = 1.0 - encoder.channelShare;
    }
}

void quantiseChannel(AacEncoder& encoder, int channel) {
    ChannelCoding& coding = encoder.channelCoding[channel];
    const IcsInfo& ics = encoder.icsInfo[channel];
    if (!(encoder.options & kOptionPns))
        std::fill(coding.scaleOffset, coding.scaleOffset + ics.numSwb * ics.numWindowGroups, 0);
    coding.gainStep = kFirstGainStep;
    searchGlobalGain(encoder, channel);
}

void searchGlobalGain(AacEncoder& encoder, int channel) {
    GainSearch search(encoder, channel);
    ChannelCoding& coding = search.coding;
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
    int passes = 1;
    search.pass(gain, coding.targetBits);
    if (over() && gain < kMaxGlobalGain) {
        for (;;) {
            coding.gainStep /= 2;
            if (over()) {
                if (coding.gainStep == 0) coding.gainStep = 1;
                gain = std::min(gain + coding.gainStep, kMaxGlobalGain);
            } else {
                // Only binds when a step was cut at the gain bound.
                gain = std::max(gain - coding.gainStep, startGain + 1);
            }
            if (coding.gainStep == 0 || (search.noise && passes >= kNoisePassLimit)) break;
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
        const int fitLimit = channelBitLimit(encoder, channel);
        while (coding.usedBits > fitLimit && gain < kMaxGlobalGain) search.pass(++gain);
        if (coding.usedBits > fitLimit)
            search.zero();
        else
            search.finishUnsectionedBands();
    }
    assert(coding.usedBits <= channelBitLimit(encoder, channel));
    coding.globalGain = gain;
}

int countChannelBits(AacEncoder& encoder, int channel, const int32_t* bandLargest,
                     int stopAbove) {
    const bool noise = (encoder.options & kOptionPns) != 0;
    const IcsInfo& ics = encoder.icsInfo[channel];
    ChannelCoding& coding = encoder.channelCoding[channel];
    resetCodebooks(ics, coding, noise);
    const int sectionBits = noise ? buildSectionsWithNoise(ics, coding, bandLargest, stopAbove)
                                  : buildSections(ics, coding, bandLargest, stopAbove);
    // Scalefactor bits only add to the count, so a count already above stopAbove stays there.
    coding.usedBits = sectionBits > stopAbove
                          ? sectionBits
                          : sectionBits + countScalefactorBits(encoder, channel);
    return coding.usedBits;
}

}  // namespace varnel
