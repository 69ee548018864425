#include "coding/rate_core.h"

#include <algorithm>
#include <cassert>
#include <cstring>

#include "bitstream/sectioning.h"
#include "bitstream/tns_data_coding.h"

namespace varnel {
namespace {

// Fixed side information, in bits (the raw_data_block, ics_info and individual_channel_stream
// syntax), as a bound: the alignment at its largest, the M/S mask over every band.
constexpr int kElementHeaderBits = kIdSynEleBits + kElementInstanceTagBits;
constexpr int kEndBits = kIdSynEleBits;
constexpr int kMaxAlignmentBits = 7;
constexpr int kIcsInfoBitsLong =
    kIcsReservedBits + kWindowSequenceBits + kWindowShapeBits + kMaxSfbBitsLong + kPredictorDataPresentBits;
constexpr int kIcsInfoBitsShort =
    kIcsReservedBits + kWindowSequenceBits + kWindowShapeBits + kMaxSfbBitsShort + kScaleFactorGroupingBits;
// A zero section over the bands a common max_sfb adds: sect_cb and the escaped length (up to
// 61 long-block bands in two length fields, up to 20 short-window bands in three).
constexpr int kZeroSectionBitsLong = sectionHeaderBits(61, false);
constexpr int kZeroSectionBitsShort = sectionHeaderBits(20, true);
static_assert(kZeroSectionBitsLong == 4 + 2 * 5 && kZeroSectionBitsShort == 4 + 3 * 3);

}  // namespace

int countChannelBits(ChannelCoding& coding, const IcsInfo& ics, bool noiseSubstitution,
                     const int32_t* bandLargest, int stopAbove) {
    resetCodebooks(ics, coding, noiseSubstitution);
    const int sectionBits = noiseSubstitution ? buildSectionsWithNoise(ics, coding, bandLargest, stopAbove)
                                              : buildSections(ics, coding, bandLargest, stopAbove);
    // Scalefactor bits only add to the count, so a count already above stopAbove stays there.
    coding.usedBits = sectionBits > stopAbove ? sectionBits
                                              : sectionBits + countScalefactorBits(ics, coding, noiseSubstitution);
    return coding.usedBits;
}

int channelSideInfoBits(const IcsInfo& ics, const ChannelSideInfo& side, int channels, bool midSideUsed) {
    const bool shortBlock = isShort(ics);
    const int groups = groupCount(ics);
    int bits = kElementHeaderBits + kEndBits + kMaxAlignmentBits + kGlobalGainBits +
               (shortBlock ? kIcsInfoBitsShort : kIcsInfoBitsLong) + kToolFlagBits + tnsDataBits(ics, side) +
               side.extraBits;
    if (channels == 2) {
        bits += kCommonWindowBits + kMsMaskPresentBits;
        if (midSideUsed) bits += groups * ics.numSwb * kMsUsedBits;  // max_sfb <= numSwb
        bits += groups * (shortBlock ? kZeroSectionBitsShort : kZeroSectionBitsLong);
    }
    return bits;
}

int channelBitLimit(const IcsInfo& ics, const ChannelSideInfo& side, int channels, bool midSideUsed) {
    return kMaxBitsPerChannel - channelSideInfoBits(ics, side, channels, midSideUsed);
}

void codeSilentChannel(ChannelCoding& coding, IcsInfo& ics, bool keepNoiseRange) {
    coding.bandLimit = 0;
    if (!keepNoiseRange) {
        coding.pnsBandLimit = 0;
        coding.pnsStartBand = 0;
    }
    if (!isShort(ics)) {
        ics.numWindowGroups = 1;
        ics.windowGroupLength[0] = 1;
    }
    coding.globalGain = 0;
    std::fill(std::begin(coding.codebook), std::end(coding.codebook), ZERO_HCB);
    std::fill(std::begin(coding.noiseFlag), std::end(coding.noiseFlag), uint8_t{0});
    std::fill(std::begin(coding.quantSpectrum), std::end(coding.quantSpectrum), 0);
    std::fill(std::begin(coding.sectionLength), std::end(coding.sectionLength), uint8_t{1});
    coding.usedBits = 0;
    coding.maxSfb = 0;
}

CodingSnapshot::CodingSnapshot(const ChannelCoding& coding) {
    std::memcpy(codebook, coding.codebook, sizeof codebook);
    std::memcpy(scaleOffset, coding.scaleOffset, sizeof scaleOffset);
    std::memcpy(sectionLength, coding.sectionLength, sizeof sectionLength);
}

void CodingSnapshot::restore(ChannelCoding& coding) const {
    std::memcpy(coding.codebook, codebook, sizeof codebook);
    std::memcpy(coding.scaleOffset, scaleOffset, sizeof scaleOffset);
    std::memcpy(coding.sectionLength, sectionLength, sizeof sectionLength);
}

GainTrial::GainTrial(ChannelCoding& c, const IcsInfo& info, std::span<const double> lines, bool noiseSubstitution,
                     bool limitEnergy, const double* bandEnergy)
    : coding(c), ics(info), spectrum(lines), noise(noiseSubstitution),
      codedBands(noiseSubstitution ? c.pnsBandLimit : c.bandLimit), entries(info.numSwb * groupCount(info)) {
    assert(codedBands >= 0 && codedBands <= ics.numSwb);
    computeMagnitudePowers(spectrum, ics, powers, limitEnergy, bandEnergy, codedBands);
}

void GainTrial::trial(int gain, int stopAbove) {
    coding.globalGain = gain;
    quantiseBands(coding, spectrum, ics, powers, 0, codedBands, nonZero, largest);
    limitScalefactorRange(coding, spectrum, ics, powers, codedBands, preserved, nonZero, largest);
    countChannelBits(coding, ics, noise, largest, stopAbove);
    lastGain = gain;
}

void GainTrial::zero() {
    std::fill(std::begin(coding.quantSpectrum), std::end(coding.quantSpectrum), 0);
    std::fill(nonZero, nonZero + entries, uint8_t{0});
    std::fill(largest, largest + entries, 0);
    countChannelBits(coding, ics, noise, largest);
}

void GainTrial::keep() {
    kept.gain = lastGain;
    kept.usedBits = coding.usedBits;
    kept.maxSfb = coding.maxSfb;
    std::memcpy(kept.scaleOffset, coding.scaleOffset, sizeof(int32_t) * entries);
    std::memcpy(kept.codebook, coding.codebook, sizeof(int32_t) * entries);
    std::memcpy(kept.sectionLength, coding.sectionLength, entries);
    std::memcpy(kept.nonZero, nonZero, entries);
    std::memcpy(kept.largest, largest, sizeof(int32_t) * entries);
    std::memcpy(kept.quantSpectrum, coding.quantSpectrum, sizeof kept.quantSpectrum);
}

bool GainTrial::recall(int gain) {
    if (kept.gain != gain) return false;
    coding.globalGain = gain;
    coding.usedBits = kept.usedBits;
    coding.maxSfb = kept.maxSfb;
    std::memcpy(coding.scaleOffset, kept.scaleOffset, sizeof(int32_t) * entries);
    std::memcpy(coding.codebook, kept.codebook, sizeof(int32_t) * entries);
    // A trial writes a length at each section's first band only; the other entries keep
    // what they held, and so they do here.
    for (int g = 0; g < groupCount(ics); ++g)
        for (int b = 0; b < kept.maxSfb;) {
            const int i = g * ics.numSwb + b;
            coding.sectionLength[i] = kept.sectionLength[i];
            b += kept.sectionLength[i];
        }
    std::memcpy(nonZero, kept.nonZero, entries);
    std::memcpy(largest, kept.largest, sizeof(int32_t) * entries);
    std::memcpy(coding.quantSpectrum, kept.quantSpectrum, sizeof kept.quantSpectrum);
    lastGain = gain;
    return true;
}

void GainTrial::finishUnsectionedBands() {
    const int windows = isShort(ics) ? kShortWindows : 1;
    for (int w = 0; w < windows; ++w)
        std::fill(coding.quantSpectrum + kShortWindowLength * w + ics.swbOffsets[codedBands],
                  coding.quantSpectrum + kShortWindowLength * w + ics.swbOffsets[ics.numSwb], 0);
    for (int g = 0; g < groupCount(ics); ++g)
        std::fill(nonZero + g * ics.numSwb + codedBands, nonZero + (g + 1) * ics.numSwb, uint8_t{0});
}

}  // namespace varnel
