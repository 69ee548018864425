// Rate control: the coded bandwidth of each channel, the sharing of a frame's bits between the
// channels through the bit reservoir, and the per-channel search for the global gain whose
// Huffman bit count fits the channel's target.
//
// The frame pipeline calls limitBandwidth right after the filterbank and allocateFrameBits
// after the stereo, noise substitution and TNS tools. There is no distortion-controlled outer
// loop: band offsets are set once per frame from band levels (quantiser.h) and only the global
// gain is iterated, by bisection from a start gain that puts the loudest line near the largest
// escape magnitude.
//
// Every frame fits the decoder's input buffer (ISO/IEC 14496-3 requires 6144 bits per
// channel): a channel's target is at most 6144 minus a bound on its fixed side information,
// the gain never exceeds 155 (global_gain 255), and a channel whose count still exceeds its
// target there, or what fits, is coded all zero.
#pragma once

#include <climits>
#include <cstdint>

#include "encoder/aac_encoder.h"

namespace varnel {

inline constexpr int kMinStartGain = 20;
// globalGain + 100 is the 8-bit global_gain.
inline constexpr int kMinGlobalGain = -100;
inline constexpr int kMaxGlobalGain = 155;
inline constexpr int kFirstGainStep = 64;

// Sets bandLimit of every channel from the bit rate and, for long blocks, from how much of
// the spectrum's magnitude lies in the first 15 bands; a pair gets the larger of two nonzero
// limits.
void limitBandwidth(AacEncoder& encoder);

// Share of the long-block bands 1..39 whose magnitude is spread over more than a third of
// their lines (above the band mean) and whose mean magnitude exceeds 100: 0 .. 1 in steps of
// 1/39.
double spectralFlatness(const ChannelBuffer& buffer, const IcsInfo& ics);

// The bits one channel asks for this frame; moves bits between the frame and bitReservoir.
int channelBitDemand(AacEncoder& encoder, int channel);

// The frame's total: the channels' demands, at most channels * 6144; the excess goes to the
// reservoir (capped).
int frameBitTotal(AacEncoder& encoder);

// A bound on the bits of a channel's share of the raw data block that the bit count does not
// include: element header, global_gain, ics_info, tool flags, TNS data, for a pair the
// common_window and M/S mask bits and the zero section that a raised common max_sfb adds, and
// END with byte alignment. TNS data is counted exactly from the channel's side information.
int channelSideInfoBits(const AacEncoder& encoder, int channel);

// The largest count a channel may use: 6144 - channelSideInfoBits.
int channelBitLimit(const AacEncoder& encoder, int channel);

// Start gain for a channel whose largest magnitude is `peak` (> 0): the gain that brings
// peak^0.75 to about 8191, at least 20, at most kMaxGlobalGain.
int startGlobalGain(double peak);

// Shares the frame's bits and quantises every channel: on return each channel has
// globalGain, scaleOffset, quantSpectrum, codebook, sectionLength, maxSfb, targetBits and
// usedBits; bitReservoir and channelShare are updated.
void allocateFrameBits(AacEncoder& encoder);

// Clears the offsets (kept with noise substitution: they hold noise energies), sets the first
// step and searches the gain from the start gain in globalGain.
void quantiseChannel(AacEncoder& encoder, int channel);

// Global-gain search from globalGain: offsets once, then trial quantisations counted by the
// sectioning until the count fits targetBits. On return quantSpectrum, codebook,
// sectionLength, maxSfb and usedBits belong to the final globalGain (never below the start).
void searchGlobalGain(AacEncoder& encoder, int channel);

// Resets the codebooks, sections the current quantisation and counts section, spectral and
// scalefactor bits into usedBits, which it returns. `bandLargest` and `stopAbove` as for
// buildSections: a count above stopAbove may be a partial one (codebooks unfinished).
int countChannelBits(AacEncoder& encoder, int channel, const int32_t* bandLargest = nullptr,
                     int stopAbove = INT_MAX);

}  // namespace varnel
