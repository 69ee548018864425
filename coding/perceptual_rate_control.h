// Rate control of the perceptual mode: scalefactors from the psychoacoustic model's thresholds
// and the frame's bits from its perceptual entropy (the band choices it works on come from
// perceptual_bands.h).
//
// Scalefactors. The quantiser codes u = (|x| / s)^0.75 in unit steps, with the step size
// s = 2^((globalGain - scaleOffset) / 4). For u well above 1 the error in u is uniform (power
// 1/12), and since x = s u^(4/3) the error in x has power about
//     (4/3)^2 s^2 u^(2/3) / 12 = (4/27) s^1.5 |x|^0.5,
// so a band of form factor F = sum |x|^0.5 gets noise N = (4/27) s^1.5 F. The band whose noise
// target is T gets the step with N = T, that is globalGain - scaleOffset = (8/3) log2(27 T /
// (4 F)); the target is the model's threshold with its signal-to-mask ratio compressed (see
// kThresholdExponent), and long blocks share the steps of each triple of bands. Offsets are
// those values relative to the largest; the gain search then moves every band's step alike, so
// that where bits run short the noise rises above every target by the same factor (about
// 1.13 dB per gain unit). Bands whose energy lies under their threshold are not coded at all.
//
// Frame bits. The frame asks for its mean share plus kEntropyWeight times the relative
// deviation of its perceptual entropy from the running mean, plus a pull toward a half-full
// reservoir; what it asks beyond the mean comes out of the reservoir, never more than
// kMaxBorrowedShare of what it holds, and what the reservoir cannot hold is spent. A frame whose
// targets are met with bits to spare leaves them in the reservoir: the gain goes at most
// kBelowThreshold units (up to kBelowThresholdFull more as the reservoir fills) below the gain
// that meets every target, and at least so far that every coded band lies 6 dB under its
// threshold. Bits the full reservoir still cannot take widen the bandwidth (adaptBandwidth).
// Where bits run short a band's noise stops rising at its energy (kMaxNoiseShare) while the
// channel still fits, so that bands are not dropped.
#pragma once

#include <cstdint>
#include <span>

#include "coding/band_statistics.h"
#include "records/channel_records.h"
#include "records/masking_records.h"

namespace varnel {

inline constexpr double kEntropyWeight = 0.75;
inline constexpr double kReservoirPull = 0.5;   // of the frame's mean bits, at an empty/full reservoir

// Quality-targeted variable rate, levels 1 (smallest) to kMaxVbrLevel (best): each channel is
// coded at a fixed distance from the gain at which every band meets its noise target (gain
// units of 1.5 dB in the step, about 1.1 dB in the noise), as far as the frame's bits allow.
// The tools (bandwidth, noise substitution) take the level's nominal rate per channel. On the
// PEAQ benchmark's music the levels average about 32, 48, 63, 99 and 129 kbit/s per channel; the
// two lowest levels code a wider band than the constant rate would at those rates (12.8 and
// 14.7 kHz against 12.0 and 13.5 kHz), which graded 0.1 to 0.5 higher at the same mean rate.
// Level 1's distance lies below level 2's because only level 1 sends noise-like bands from 4 kHz
// up as noise, which takes about a quarter fewer bits at the same distance.
inline constexpr int kMaxVbrLevel = 5;
inline constexpr int32_t kVbrGainOffset[kMaxVbrLevel] = {6, 7, 4, -2, -7};
inline constexpr int32_t kVbrNominalRate[kMaxVbrLevel] = {40000, 56000, 64000, 96000, 128000};
// A channel that the level's gain codes in fewer bits than this share of the nominal rate's mean
// goes to a lower gain while it stays within that share: on sparse signals (a tone) the level's
// distance from the noise targets, set for music, leaves audible noise that a few bits remove.
inline constexpr double kVbrFloorShare = 0.5;

// What the perceptual mode carries from frame to frame.
struct PerceptualState {
    int32_t vbrLevel = 0;                  // 1 .. kMaxVbrLevel, or 0 for a constant rate
    double averageEntropy = 0.0;           // running mean of the frame's perceptual entropy
    int32_t gainAboveThreshold[kMaxChannels]{};  // last frame's gain over the threshold gain
    double extraCutoffHz = 0.0;  // bandwidth beyond the bit rate's, while bits go unspent
};

// The bandwidth beyond the bit rate's grows by kCutoffStepHz after each frame whose bits the
// full reservoir could not take back (the bands coded already lie far under their thresholds:
// the bits do most for the bands above the cutoff), up to the Nyquist frequency, and shrinks
// by as much after each frame that finds the reservoir less than kNarrowingFill full.
inline constexpr double kCutoffStepHz = 250.0;
inline constexpr double kNarrowingFill = 0.5;
void adaptBandwidth(PerceptualState& state, int32_t lostBits, double fill, double cutoffHz, int32_t sampleRate);

// Perceptual entropy of a channel's coded spectrum, measured in `stats`, against its thresholds,
// over the bands below pnsBandLimit that are not noise.
double codedEntropy(const BandStats& stats, const IcsInfo& ics, const ChannelCoding& coding,
                    const MaskingResult& masking);

// The frame's bit total for `channels` channels of `meanBits` each, from its perceptual entropy;
// takes what exceeds the mean from the reservoir (and puts back what falls short of it). At most
// `limit`, at most the mean plus the reservoir.
// At a variable rate the frame may take everything the reservoir holds, up to `limit`.
int perceptualFrameBits(PerceptualState& state, double frameEntropy, int32_t meanBits,
                        int channels, BitReservoir& reservoir, int32_t limit);

// Quantises one channel: offsets from the noise targets and the gain search to targetBits;
// with `noise`, bands of [pnsStartBand, bandLimit) that quantised to zero but are noise-like
// and audible become noise bands when that still fits `bitLimit`. On return
// globalGain, scaleOffset, quantSpectrum, codebook, sectionLength, maxSfb and usedBits belong
// together and usedBits <= bitLimit; without `noise` also usedBits <= targetBits, with it the
// noise bands' energies may add to the target (the caller charges the reservoir). A channel
// that fits nothing is coded silent (save its noise bands).
// `gainAboveThreshold` carries the gain's distance above the threshold gain between frames
// (it starts the search). `fill` is the reservoir's fill, 0 .. 1. `stats` measures `spectrum`.
// `vbrLevel` 1 .. kMaxVbrLevel: the gain is that level's distance from the threshold gain, or
// higher where the target does not hold it, or lower, down to the constant rate's lowest gain,
// while the count stays within `vbrFloorBits`; 0: the lowest gain that fits the target.
void quantisePerceptual(ChannelCoding& coding, const IcsInfo& ics, std::span<const double> spectrum,
                        const BandStats& stats, const MaskingResult& masking, bool noise, double fill,
                        int bitLimit, int32_t& gainAboveThreshold, int32_t vbrLevel = 0,
                        int32_t vbrFloorBits = 0);

}  // namespace varnel
