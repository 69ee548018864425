// Differential coding of scale_factor_data (ISO/IEC 14496-3, 4.4.2.7 and 4.6.2.3.2), shared by
// the bit count of the sectioning and the syntax writer: both walk the bands through
// codeScaleFactors, so the bits counted are the bits written.
//
// Three running values, each starting at 0 for the channel:
// - intensity bands (14, 15): is_position differences, index v - previous + 60;
// - noise bands (13, with noise substitution): the first band is a 9-bit dpcm_noise_nrg. The
//   decoder starts its noise energy at global_gain - 90 and adds that field - 256, so the field
//   is v - global_gain + 346 = v - globalGain + 246. Later bands code v - previous + 60;
// - every other coded band: scaleOffset v enters the transmitted scalefactor as
//   globalGain + 100 - v, so its difference to the previous band is previous - v and the
//   index is 60 - v + previous (the first band is relative to global_gain).
//
// An index outside the scalefactor codebook (0..120) or a noise field outside 0..511 is
// clipped, and the running value continues from what the decoder will hold after the clipped
// field, so one clipped band does not shift the bands after it. Ordinary and intensity
// differences within +-60 are rate control's guarantee; the writer asserts them.
#pragma once

#include <algorithm>
#include <cassert>

#include "bitstream/codebooks.h"
#include "encoder/channel_records.h"

namespace varnel {

inline constexpr int kDpcmNoiseNrgMax = (1 << kDpcmNoiseNrgBits) - 1;
inline constexpr int kNoiseEnergyFieldOffset = 246;  // 346 - 100: field = v - globalGain + 246

enum class ScalefactorRange { Clip, AssertThenClip };

// Calls emit(bits, code) for every scale_factor_data field of the channel, in stream order.
template <ScalefactorRange Range, class Emit>
void codeScaleFactors(const IcsInfo& ics, const ChannelCoding& coding, bool noiseSubstitution,
                      Emit&& emit) {
    const CodebookInfo& book = codebookTable[kScalefactorCodebook];
    auto index = [](int difference, [[maybe_unused]] bool mustFit) {
        const int raw = difference + kScalefactorIndexOffset;
        if constexpr (Range == ScalefactorRange::AssertThenClip)
            assert(!mustFit || (raw >= 0 && raw <= kScalefactorIndexMax));
        return std::clamp(raw, 0, kScalefactorIndexMax);
    };
    auto emitIndex = [&](int i) { emit(book.codeLengths[i], book.codewords[i]); };

    int previousIntensity = 0;
    int previousNoise = 0;
    int previousOffset = 0;
    bool firstNoiseBand = true;
    for (int g = 0; g < ics.numWindowGroups; ++g) {
        for (int b = 0; b < coding.maxSfb; ++b) {
            const int band = g * ics.numSwb + b;
            const int codebook = coding.codebook[band];
            const int v = coding.scaleOffset[band];
            if (codebook == ZERO_HCB) continue;
            if (codebook == INTENSITY_HCB || codebook == INTENSITY_HCB2) {
                const int i = index(v - previousIntensity, true);
                emitIndex(i);
                previousIntensity += i - kScalefactorIndexOffset;
            } else if (codebook == NOISE_HCB && noiseSubstitution) {
                if (firstNoiseBand) {
                    const int field = std::clamp(v - coding.globalGain + kNoiseEnergyFieldOffset, 0,
                                                 kDpcmNoiseNrgMax);
                    emit(kDpcmNoiseNrgBits, static_cast<uint32_t>(field));
                    previousNoise = field - kNoiseEnergyFieldOffset + coding.globalGain;
                    firstNoiseBand = false;
                } else {
                    const int i = index(v - previousNoise, false);
                    emitIndex(i);
                    previousNoise += i - kScalefactorIndexOffset;
                }
            } else {
                const int i = index(previousOffset - v, true);
                emitIndex(i);
                previousOffset -= i - kScalefactorIndexOffset;
            }
        }
    }
}

}  // namespace varnel
