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
#include <span>

#include "coding/quantiser.h"
#include "coding/rate_core.h"
#include "records/channel_records.h"

namespace varnel {

inline constexpr int kMinStartGain = 20;
inline constexpr int kFirstGainStep = 64;

// What rate control reads of the stream's format.
struct StreamRate {
    int32_t sampleRate;         // Hz
    int32_t bitRatePerChannel;  // bit/s
};

// The bits a frame of one channel carries on average at the stream's rate.
int32_t meanFrameBits(const StreamRate& rate);

// Sets bandLimit of every channel from the bit rate and, for long blocks, from how much of
// the spectrum's magnitude lies in the first 15 bands; a pair gets the larger of two nonzero
// limits.
void limitBandwidth(std::span<const ChannelBuffer> buffers, std::span<IcsInfo> ics,
                    std::span<ChannelCoding> coding, const StreamRate& rate);

// Share of the long-block bands 1..39 whose magnitude is spread over more than a third of
// their lines (above the band mean) and whose mean magnitude exceeds 100: 0 .. 1 in steps of
// 1/39.
double spectralFlatness(std::span<const double> spectrum, const IcsInfo& ics);
// The same in the baseline (vector = false) or the vector build; spectralFlatness uses the one
// this CPU runs best. Both give the same value.
double spectralFlatnessWith(bool vector, std::span<const double> spectrum, const IcsInfo& ics);

// The bits one channel of a frame of `channels` asks for; moves bits between the frame and
// frame.bitReservoir, and spends what the reservoir cannot hold. `tnsFiltered` says that TNS filtered the channel's block.
int channelBitDemand(std::span<const double> spectrum, const IcsInfo& ics, bool tnsFiltered,
                     int channels, int32_t meanBits, FrameState& frame);

// The frame's total: the channels' demands (channelBitDemand, with the TNS flag of each
// channel's side information), at most channels * 6144; the excess goes to the reservoir
// (capped).
int frameBitTotal(std::span<const ChannelBuffer> buffers, std::span<const IcsInfo> ics, const ElementInfo& element,
                  FrameState& frame, const StreamRate& rate);

// Start gain for a channel whose largest magnitude is `peak` (> 0): the gain that brings
// peak^0.75 to about 8191, at least 20, at most kMaxGlobalGain.
int startGlobalGain(double peak);

// Shares the frame's bits and quantises every channel: on return each channel has
// globalGain, scaleOffset, quantSpectrum, codebook, sectionLength, maxSfb, targetBits and
// usedBits; frame.bitReservoir and frame.channelShare are updated. Reads the noise
// substitution bit of frame.options, the mid/side flag and TNS side information of `element`.
void allocateFrameBits(std::span<const ChannelBuffer> buffers, std::span<IcsInfo> ics,
                       std::span<ChannelCoding> coding, const ElementInfo& element, FrameState& frame,
                       const StreamRate& rate);

// How one channel is quantised and counted.
struct ChannelQuantiser {
    bool noiseSubstitution;  // noise bands (codebook 13) are kept and coded around
    OffsetRules offsets;
    int bitLimit;            // channelBitLimit: what the block can carry for the channel
};

// Clears the offsets (kept with noise substitution: they hold noise energies) and searches the
// gain from the start gain in globalGain.
void quantiseChannel(ChannelCoding& coding, const IcsInfo& ics, std::span<const double> spectrum,
                     const ChannelQuantiser& quantiser);

// Global-gain search from globalGain: offsets once, then trial quantisations counted by the
// sectioning until the count fits targetBits. On return quantSpectrum, codebook,
// sectionLength, maxSfb and usedBits belong to the final globalGain (never below the start).
void searchGlobalGain(ChannelCoding& coding, const IcsInfo& ics, std::span<const double> spectrum,
                      const ChannelQuantiser& quantiser);

}  // namespace varnel
