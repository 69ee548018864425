#include "bitstream/syntax_writer.h"

#include <algorithm>
#include <cassert>
#include <span>

#include "bitstream/bit_writer.h"
#include "bitstream/scalefactor_coding.h"
#include "bitstream/sectioning.h"
#include "bitstream/spectral_huffman.h"
#include "bitstream/tns_data_coding.h"

namespace varnel {
namespace {

[[maybe_unused]] int maxSfbLimit(const IcsInfo& ics) {
    const int fieldLimit = (1 << (isShort(ics) ? kMaxSfbBitsShort : kMaxSfbBitsLong)) - 1;
    return std::min<int>(ics.numSwb, fieldLimit);
}

}  // namespace

bool hasCommonWindow(const IcsInfo& a, const IcsInfo& b) {
    if (a.windowSequence != b.windowSequence || a.windowShape != b.windowShape ||
        a.numWindowGroups != b.numWindowGroups)
        return false;
    for (int g = 0; g < a.numWindowGroups; ++g)
        if (a.windowGroupLength[g] != b.windowGroupLength[g]) return false;
    return true;
}

void writeIcsInfo(BitWriter& w, const IcsInfo& ics, int maxSfb) {
    assert(maxSfb >= 0 && maxSfb <= maxSfbLimit(ics));
    w.putBits(kIcsReservedBits, 0);  // ics_reserved_bit
    w.putBits(kWindowSequenceBits, static_cast<uint32_t>(ics.windowSequence));
    w.putBits(kWindowShapeBits, static_cast<uint32_t>(ics.windowShape));
    if (isShort(ics)) {
        w.putBits(kMaxSfbBitsShort, static_cast<uint32_t>(maxSfb));
        // scale_factor_grouping: bit i (window i + 1) is 1 when window i + 1 continues the
        // group of window i.
        uint32_t grouping = 0;
        int bits = 0;
        for (int g = 0; g < ics.numWindowGroups; ++g) {
            for (int k = 0; k < ics.windowGroupLength[g]; ++k) {
                if (g == 0 && k == 0) continue;
                grouping = (grouping << 1) | (k > 0 ? 1u : 0u);
                ++bits;
            }
        }
        assert(bits == kScaleFactorGroupingBits);
        w.putBits(kScaleFactorGroupingBits, grouping);
    } else {
        w.putBits(kMaxSfbBitsLong, static_cast<uint32_t>(maxSfb));
        w.putBits(kPredictorDataPresentBits, 0);  // predictor_data_present
    }
}

void writeSectionData(BitWriter& w, const IcsInfo& ics, const ChannelCoding& coding) {
    const bool shortBlock = isShort(ics);
    const int lengthBits = sectionLengthBits(shortBlock);
    const int escape = sectionLengthEscape(shortBlock);
    for (int g = 0; g < ics.numWindowGroups; ++g) {
        for (int b = 0; b < coding.maxSfb;) {
            const int band = g * ics.numSwb + b;
            const int codebook = coding.codebook[band];
            assert(codebook >= 0 && codebook <= INTENSITY_HCB && codebook != 12);
            // A length that would run past max_sfb (or an empty one) would desynchronise the
            // decoder; the sectioning never leaves one, and the clamp keeps the syntax valid.
            const int stored = coding.sectionLength[band];
            assert(stored >= 1 && b + stored <= coding.maxSfb);
            const int length = std::clamp(stored, 1, coding.maxSfb - b);
            w.putBits(kSectCbBits, static_cast<uint32_t>(codebook));  // sect_cb
            for (int rest = length; rest >= escape; rest -= escape)
                w.putBits(lengthBits, static_cast<uint32_t>(escape));  // sect_len_incr = esc
            w.putBits(lengthBits, static_cast<uint32_t>(length % escape));
            b += length;
        }
    }
}

void writeScaleFactorData(BitWriter& w, const IcsInfo& ics, const ChannelCoding& coding,
                          bool noiseSubstitution) {
    codeScaleFactors<ScalefactorRange::AssertThenClip>(
        ics, coding, noiseSubstitution, [&w](int bits, uint32_t code) { w.putBits(bits, code); });
}

void writeTnsData(BitWriter& w, const IcsInfo& ics, const ChannelSideInfo& side) {
    codeTnsData(ics, side, [&w](int bits, uint32_t value) { w.putBits(bits, value); });
}

void writeSpectralData(BitWriter& w, const IcsInfo& ics, const ChannelCoding& coding) {
    const std::span<const int32_t> spectrum(coding.quantSpectrum);
    int firstWindow = 0;
    for (int g = 0; g < ics.numWindowGroups; ++g) {
        const int windows = groupLength(ics, g);
        for (int b = 0; b < coding.maxSfb; ++b) {
            const int codebook = coding.codebook[g * ics.numSwb + b];
            if (codebook < 1 || codebook > ESC_HCB) continue;  // zero, noise, intensity
            const int start = ics.swbOffsets[b];
            const int width = ics.swbOffsets[b + 1] - start;
            for (int win = firstWindow; win < firstWindow + windows; ++win)
                writeSpectralValues(w, spectrum.subspan(kShortWindowLength * win + start, width),
                                    codebook);
        }
        firstWindow += windows;
    }
}

void writeIndividualChannelStream(BitWriter& w, const IcsInfo& ics, const ChannelCoding& coding,
                                  const ChannelSideInfo& side, bool commonWindow,
                                  bool noiseSubstitution) {
    assert(isShort(ics) || ics.numWindowGroups == 1);
    w.putBits(kGlobalGainBits,
              static_cast<uint32_t>(coding.globalGain + kGlobalGainOffset) & 0xFFu);  // global_gain
    if (!commonWindow) writeIcsInfo(w, ics, coding.maxSfb);
    writeSectionData(w, ics, coding);
    writeScaleFactorData(w, ics, coding, noiseSubstitution);
    assert(side.pulseDataPresent == 0 && side.gainControlDataPresent == 0);
    w.putBits(1, 0);  // pulse_data_present
    w.putBits(1, side.tnsDataPresent ? 1u : 0u);  // tns_data_present
    if (side.tnsDataPresent) writeTnsData(w, ics, side);
    w.putBits(1, 0);  // gain_control_data_present
    writeSpectralData(w, ics, coding);
}

void extendWithZeroSections(const IcsInfo& ics, ChannelCoding& coding, int maxSfb) {
    const int own = std::max(coding.maxSfb, 0);
    assert(maxSfb >= own && maxSfb <= ics.numSwb);
    if (maxSfb <= own) return;
    for (int g = 0; g < ics.numWindowGroups; ++g) {
        int32_t* codebook = coding.codebook + g * ics.numSwb;
        std::fill(codebook + own, codebook + maxSfb, ZERO_HCB);
        coding.sectionLength[g * ics.numSwb + own] = static_cast<uint8_t>(maxSfb - own);
    }
    coding.maxSfb = maxSfb;
}

void writeElement(BitWriter& w, std::span<const IcsInfo> ics, std::span<ChannelCoding> coding,
                  const ElementInfo& element, bool noiseSubstitution) {
    assert(ics.size() == coding.size() && (ics.size() == 1 || ics.size() == 2));
    const bool isPair = ics.size() == 2;
    w.putBits(kIdSynEleBits, isPair ? ID_CPE : element.lowFrequency ? ID_LFE : ID_SCE);
    w.putBits(kElementInstanceTagBits, element.elementInstanceTag);
    if (!isPair) {
        writeIndividualChannelStream(w, ics[0], coding[0], element.sideInfo[0], false, noiseSubstitution);
        return;
    }
    const bool common = hasCommonWindow(ics[0], ics[1]);
    w.putBits(kCommonWindowBits, common ? 1u : 0u);  // common_window
    if (common) {
        ChannelCoding& a = coding[0];
        ChannelCoding& b = coding[1];
        // The shared max_sfb never cuts a channel's coded bands; with noise substitution it
        // also covers both channels' noise band ranges.
        int shared = std::max(a.maxSfb, b.maxSfb);
        if (noiseSubstitution) shared = std::max({shared, a.pnsBandLimit, b.pnsBandLimit});
        extendWithZeroSections(ics[0], a, shared);
        extendWithZeroSections(ics[1], b, shared);
        writeIcsInfo(w, ics[0], shared);
        const uint8_t msUsed = element.msUsed;
        assert(msUsed <= 1);
        w.putBits(kMsMaskPresentBits, msUsed);  // ms_mask_present
        if (msUsed == 1)
            for (int g = 0; g < ics[0].numWindowGroups; ++g)
                for (int band = 0; band < shared; ++band)
                    w.putBits(kMsUsedBits, element.msMask[g * ics[0].numSwb + band] ? 1u : 0u);  // ms_used
    }
    for (size_t c = 0; c < 2; ++c)
        writeIndividualChannelStream(w, ics[c], coding[c], element.sideInfo[c], common, noiseSubstitution);
}

void writeEnd(BitWriter& w) { w.putBits(kIdSynEleBits, ID_END); }

}  // namespace varnel
