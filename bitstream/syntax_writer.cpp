#include "bitstream/syntax_writer.h"

#include <algorithm>
#include <cassert>

#include "bitstream/bit_writer.h"

namespace varnel {
namespace {

// individual_channel_stream: global_gain, ics_info unless shared, section, scalefactor, tool
// flags and spectral data.
void writeIndividualChannelStream(AacEncoder& enc, int c, bool commonWindow) {
    BitWriter& w = *enc.bitWriter;
    const IcsInfo& ics = enc.icsInfo[c];
    const ChannelCoding& coding = enc.channelCoding[c];
    const ChannelSideInfo& side = enc.elementInfo.sideInfo[c];
    w.putBits(kGlobalGainBits, static_cast<uint32_t>(coding.globalGain + 100) & 0xFFu);
    if (!commonWindow) writeIcsInfo(w, ics, coding.maxSfb);
    // Coded bands are not produced yet: every channel has max_sfb 0, so section_data and
    // scale_factor_data are empty.
    assert(coding.maxSfb == 0);
    w.putBits(1, side.pulseDataPresent);
    w.putBits(1, side.tnsDataPresent);
    assert(side.tnsDataPresent == 0);
    w.putBits(1, side.gainControlDataPresent);
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
    w.putBits(1, 0);  // ics_reserved_bit
    w.putBits(kWindowSequenceBits, static_cast<uint32_t>(ics.windowSequence));
    w.putBits(1, static_cast<uint32_t>(ics.windowShape));
    if (ics.windowSequence == EIGHT_SHORT_SEQUENCE) {
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

void writeElement(AacEncoder& enc, bool isPair) {
    BitWriter& w = *enc.bitWriter;
    w.putBits(kIdSynEleBits, isPair ? ID_CPE : ID_SCE);
    w.putBits(kElementInstanceTagBits, enc.elementInfo.elementInstanceTag);
    if (!isPair) {
        writeIndividualChannelStream(enc, 0, false);
        return;
    }
    const bool common = hasCommonWindow(enc.icsInfo[0], enc.icsInfo[1]);
    w.putBits(1, common ? 1u : 0u);
    if (common) {
        ChannelCoding& a = enc.channelCoding[0];
        ChannelCoding& b = enc.channelCoding[1];
        const int shared = std::max(a.maxSfb, b.maxSfb);
        a.maxSfb = b.maxSfb = shared;
        writeIcsInfo(w, enc.icsInfo[0], shared);
        w.putBits(kMsMaskPresentBits, enc.elementInfo.msUsed);
        assert(enc.elementInfo.msUsed == 0);
    }
    writeIndividualChannelStream(enc, 0, common);
    writeIndividualChannelStream(enc, 1, common);
}

void writeEnd(AacEncoder& enc) { enc.bitWriter->putBits(kIdSynEleBits, ID_END); }

}  // namespace varnel
