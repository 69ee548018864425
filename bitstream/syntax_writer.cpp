#include "bitstream/syntax_writer.h"

#include <algorithm>
#include <cassert>
#include <span>

#include "bitstream/bit_writer.h"
#include "bitstream/scalefactor_coding.h"
#include "bitstream/sectioning.h"
#include "bitstream/spectral_huffman.h"

namespace varnel {
namespace {

bool isShortBlock(const IcsInfo& ics) { return ics.windowSequence == EIGHT_SHORT_SEQUENCE; }

// Windows of group g: eight-short groups by windowGroupLength; a long block is one window.
int groupWindows(const IcsInfo& ics, int g) {
    return isShortBlock(ics) ? ics.windowGroupLength[g] : 1;
}

[[maybe_unused]] int maxSfbLimit(const IcsInfo& ics) {
    const int fieldLimit = (1 << (isShortBlock(ics) ? kMaxSfbBitsShort : kMaxSfbBitsLong)) - 1;
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
    w.putBits(1, 0);  // ics_reserved_bit
    w.putBits(kWindowSequenceBits, static_cast<uint32_t>(ics.windowSequence));
    w.putBits(1, static_cast<uint32_t>(ics.windowShape));
    if (isShortBlock(ics)) {
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
        w.putBits(1, 0);  // predictor_data_present
    }
}

void writeSectionData(BitWriter& w, const IcsInfo& ics, const ChannelCoding& coding) {
    const bool shortBlock = isShortBlock(ics);
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
    auto writeFilter = [&w](int coefRes, int length, int lengthBits, int order, int orderBits,
                            int direction, int coefCompress, const uint8_t* coef) {
        w.putBits(lengthBits, static_cast<uint32_t>(length));  // length
        w.putBits(orderBits, static_cast<uint32_t>(order));    // order
        if (order == 0) return;
        w.putBits(1, static_cast<uint32_t>(direction));        // direction
        w.putBits(1, static_cast<uint32_t>(coefCompress));     // coef_compress
        const int coefBits = kTnsCoefBaseBits + coefRes - coefCompress;
        for (int k = 0; k < order; ++k) w.putBits(coefBits, coef[k]);  // coef
    };
    if (isShortBlock(ics)) {
        for (int win = 0; win < kShortWindows; ++win) {
            const int filters = side.tnsNumFilters[win];
            assert(filters <= 1);
            w.putBits(kTnsNumFiltBitsShort, static_cast<uint32_t>(filters));  // n_filt
            if (filters == 0) continue;
            w.putBits(1, side.tnsCoefRes[win]);  // coef_res
            writeFilter(side.tnsCoefRes[win], side.tnsLength[win], kTnsLengthBitsShort,
                        side.tnsOrder[win], kTnsOrderBitsShort, side.tnsDirection[win],
                        side.tnsCoefCompress[win], side.tnsCoef[win]);
        }
        return;
    }
    const int filters = side.tnsNumFilters[0];
    assert(filters < (1 << kTnsNumFiltBitsLong));
    w.putBits(kTnsNumFiltBitsLong, static_cast<uint32_t>(filters));  // n_filt
    if (filters == 0) return;
    w.putBits(1, side.tnsCoefRes[0]);  // coef_res
    for (int f = 0; f < filters; ++f)
        writeFilter(side.tnsCoefRes[0], side.tnsLength[f], kTnsLengthBitsLong, side.tnsOrder[f],
                    kTnsOrderBitsLong, side.tnsDirection[f], side.tnsCoefCompress[f],
                    side.tnsCoef[f]);
}

void writeSpectralData(BitWriter& w, const IcsInfo& ics, const ChannelCoding& coding) {
    const std::span<const int32_t> spectrum(coding.quantSpectrum);
    int firstWindow = 0;
    for (int g = 0; g < ics.numWindowGroups; ++g) {
        const int windows = groupWindows(ics, g);
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
    assert(isShortBlock(ics) || ics.numWindowGroups == 1);
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

void writeElement(AacEncoder& enc, bool isPair) { writeElement(enc, isPair, *enc.bitWriter); }

void writeElement(AacEncoder& enc, bool isPair, BitWriter& w) {
    const bool noiseSubstitution = (enc.options & kOptionPns) != 0;
    w.putBits(kIdSynEleBits, isPair ? ID_CPE : ID_SCE);
    w.putBits(kElementInstanceTagBits, enc.elementInfo.elementInstanceTag);
    if (!isPair) {
        writeIndividualChannelStream(w, enc.icsInfo[0], enc.channelCoding[0],
                                     enc.elementInfo.sideInfo[0], false, noiseSubstitution);
        return;
    }
    const bool common = hasCommonWindow(enc.icsInfo[0], enc.icsInfo[1]);
    w.putBits(1, common ? 1u : 0u);  // common_window
    if (common) {
        const IcsInfo& ics = enc.icsInfo[0];
        ChannelCoding& a = enc.channelCoding[0];
        ChannelCoding& b = enc.channelCoding[1];
        // The shared max_sfb never cuts a channel's coded bands; with noise substitution it
        // also covers both channels' noise band ranges.
        int shared = std::max(a.maxSfb, b.maxSfb);
        if (noiseSubstitution) shared = std::max({shared, a.pnsBandLimit, b.pnsBandLimit});
        extendWithZeroSections(ics, a, shared);
        extendWithZeroSections(enc.icsInfo[1], b, shared);
        writeIcsInfo(w, ics, shared);
        const uint8_t msUsed = enc.elementInfo.msUsed;
        assert(msUsed <= 1);
        w.putBits(kMsMaskPresentBits, msUsed);  // ms_mask_present
        if (msUsed == 1)
            for (int g = 0; g < ics.numWindowGroups; ++g)
                for (int band = 0; band < shared; ++band)
                    w.putBits(1, enc.elementInfo.msMask[g * ics.numSwb + band] ? 1u : 0u);  // ms_used
    }
    for (int c = 0; c < 2; ++c)
        writeIndividualChannelStream(w, enc.icsInfo[c], enc.channelCoding[c],
                                     enc.elementInfo.sideInfo[c], common, noiseSubstitution);
}

void writeEnd(AacEncoder& enc) { writeEnd(*enc.bitWriter); }

void writeEnd(BitWriter& w) { w.putBits(kIdSynEleBits, ID_END); }

}  // namespace varnel
