// Perceptual noise substitution (ISO/IEC 14496-3, 4.6.13): bands above 4 kHz whose content is
// not coded as spectral values are sent with codebook NOISE_HCB and a noise energy in place of
// a scalefactor; the decoder fills them with random values of that energy.
//
// Both steps run only with kOptionPns:
//  - runNoiseSubstitution, once the coded bandwidth (bandLimit) is fixed and before the stereo
//    and TNS tools, marks each channel's noise bands and stores their energies in scaleOffset;
//    rate control then codes the remaining bands around them.
//  - substituteZeroBands, after rate control, turns the bands of the same range that quantised
//    to all zeros into noise bands as well and returns an estimate of the bits this adds; the
//    reservoir is charged for them once, with the rest of the written block.
#pragma once

#include <cstdint>
#include <span>

#include "records/channel_records.h"

namespace varnel {

// The noise energy value of a band of energy `energy` (> 0): trunc(2 log2(energy) - 0.5), at
// least 0.
int32_t noiseEnergyValue(double energy);

// selectNoiseBands, then noiseEnergies, for every channel in channel order.
void runNoiseSubstitution(std::span<ChannelCoding> coding, std::span<const IcsInfo> ics,
                          std::span<const ChannelBuffer> buffers, int32_t sampleRate);

// Clears codebook and noiseFlag, sets pnsBandLimit and pnsStartBand, and flags the bands of
// [pnsStartBand, pnsBandLimit) that are coded as noise, per window group for short blocks:
// every band of the range starts as noise and the strongest ones (by per-line variance) are
// handed back to normal coding while their total width fits the lines from 4 kHz to bandLimit.
void selectNoiseBands(ChannelCoding& coding, const IcsInfo& ics, const ChannelBuffer& buffer,
                      int32_t sampleRate);

// Clears scaleOffset; every flagged band gets codebook NOISE_HCB and its noise energy, measured
// on the channel's spectrum (for short blocks its mean energy per window of the group).
void noiseEnergies(ChannelCoding& coding, const IcsInfo& ics, const ChannelBuffer& buffer);

// Turns the all-zero bands of [pnsStartBand, pnsBandLimit) that carry a nonzero scaleOffset into
// noise bands, rebuilds the sections of every channel and returns an estimate of the bits this
// adds: the header of one more section per band (9 bits for a long block, 7 for a short one),
// counted over all channels. The records are per channel (equal lengths, channel order);
// msMask is the pair's mid/side mask when it was converted, else null. A band coded as mid/side (buffers[0] holds
// mid, buffers[1] side) is substituted only when both channels quantised it to zero and channel
// 0's scaleOffset is nonzero, and then in both channels: channel 0 with the energy of the left
// signal mid + side, channel 1 with that of the right signal mid - side. A decoder leaves
// mid/side undone in noise bands, so substituting one channel alone would put side values, or
// nothing, where the right signal belongs.
int substituteZeroBands(std::span<ChannelCoding> coding, std::span<const IcsInfo> ics,
                        std::span<const ChannelBuffer> buffers, const uint8_t* msMask);

}  // namespace varnel
