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
// Noise energies are sent as the highest chain a decoder can receive that exceeds no band's
// own (sentNoiseEnergies): clipped one band at a time, a drop of more than 60 left the band
// after it up to 2^(excess / 2) times too loud. Other indices outside the scalefactor codebook
// (0..120) are clipped, and the running value continues from what the decoder will hold after
// the clipped field, so one clipped band does not shift the bands after it. Ordinary and
// intensity differences within +-60 are rate control's guarantee; the writer asserts them.
#pragma once

#include <algorithm>
#include <cassert>

#include "bitstream/codebooks.h"
#include "records/channel_records.h"

namespace varnel {

inline constexpr int kDpcmNoiseNrgMax = (1 << kDpcmNoiseNrgBits) - 1;
inline constexpr int kNoiseEnergyFieldOffset = 246;  // 346 - 100: field = v - globalGain + 246
inline constexpr int kMaxScalefactorIndexStep = kScalefactorIndexMax - kScalefactorIndexOffset;  // 60

enum class ScalefactorRange { Clip, AssertThenClip };

// The noise energies of a channel's noise bands as sent, in stream order, from the wanted ones
// in `energy` (count n): each at most its wanted value, consecutive ones within +-60, the first
// within the 9-bit field (v - globalGain + 246 in 0..511), each as high as that allows. A
// backward pass lowers a band to at most 60 above the next, a forward pass to at most 60 above
// the one before; after both, no drop exceeds 60 either. Only a first value below the field's
// range is raised, which no noise energy (never negative) reaches while globalGain <= 155.
inline void sentNoiseEnergies(int* energy, int n, int globalGain) {
    const int lowest = globalGain - kNoiseEnergyFieldOffset;
    for (int i = n - 2; i >= 0; --i) energy[i] = std::min(energy[i], energy[i + 1] + kMaxScalefactorIndexStep);
    if (n > 0) energy[0] = std::clamp(energy[0], lowest, lowest + kDpcmNoiseNrgMax);
    for (int i = 1; i < n; ++i)
        energy[i] = std::clamp(energy[i], energy[i - 1] - kMaxScalefactorIndexStep,
                               energy[i - 1] + kMaxScalefactorIndexStep);
}

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

    int noise[kMaxBandEntries];
    int noiseBands = 0;
    if (noiseSubstitution) {
        for (int g = 0; g < ics.numWindowGroups; ++g)
            for (int b = 0; b < coding.maxSfb; ++b)
                if (coding.codebook[g * ics.numSwb + b] == NOISE_HCB)
                    noise[noiseBands++] = coding.scaleOffset[g * ics.numSwb + b];
        sentNoiseEnergies(noise, noiseBands, coding.globalGain);
    }

    int previousIntensity = 0;
    int previousNoise = 0;
    int previousOffset = 0;
    int noiseBand = 0;
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
                const int sent = noise[noiseBand];
                if (noiseBand++ == 0) {
                    emit(kDpcmNoiseNrgBits, static_cast<uint32_t>(sent - coding.globalGain + kNoiseEnergyFieldOffset));
                } else {
                    emitIndex(index(sent - previousNoise, true));
                }
                previousNoise = sent;
            } else {
                const int i = index(previousOffset - v, true);
                emitIndex(i);
                previousOffset -= i - kScalefactorIndexOffset;
            }
        }
    }
}

}  // namespace varnel
