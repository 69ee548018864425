// Rate control of the perceptual mode: scalefactors from the psychoacoustic model's thresholds,
// the frame's bits from its perceptual entropy, the coded bandwidth from the bit rate, and the
// per-band choices of noise substitution and mid/side that follow from the thresholds.
//
// Scalefactors. The quantiser codes u = (|x| / s)^0.75 in unit steps, with the step size
// s = 2^((globalGain - scaleOffset) / 4). For u well above 1 the error in u is uniform (power
// 1/12), and since x = s u^(4/3) the error in x has power about
//     (4/3)^2 s^2 u^(2/3) / 12 = (4/27) s^1.5 |x|^0.5,
// so a band of form factor F = sum |x|^0.5 gets noise N = (4/27) s^1.5 F. The band whose
// threshold is T gets the step with N = T, that is globalGain - scaleOffset = (8/3) log2(27 T /
// (4 F)). Offsets are those values relative to the largest; the gain search then moves every
// band's step alike, so that where bits run short the noise rises above every threshold by the
// same factor (about 1.13 dB per gain unit). The estimate fails where the step outgrows a
// band's lines and the band quantises to zero: a bounded refinement (kRefinePasses) measures
// the noise of such bands, gives those whose noise exceeds the common level by more than
// kRefineToleranceDb a finer step (at most kMaxRefineStep units) and searches the gain again.
// Bands whose energy lies under their threshold are not coded at all.
//
// Frame bits. The frame asks for its mean share plus kEntropyWeight times the relative
// deviation of its perceptual entropy from the running mean, plus a pull toward a half-full
// reservoir; what it asks beyond the mean comes out of the reservoir, never more than
// kMaxBorrowedShare of what it holds, and what the reservoir cannot hold is spent. A frame whose
// thresholds are met with bits to spare leaves them in the reservoir: the gain goes at most
// kBelowThreshold units (up to kBelowThresholdFull more as the reservoir fills) below the gain
// that meets every threshold. Where bits run short a band's noise stops rising at its energy
// (kMaxNoiseShare) while the channel still fits, so that bands are not dropped.
#pragma once

#include <cstdint>
#include <span>

#include "encoder/channel_records.h"
#include "encoder/masking_records.h"

namespace varnel {

inline constexpr double kEntropyWeight = 0.75;
inline constexpr double kReservoirPull = 0.5;   // of the frame's mean bits, at an empty/full reservoir
inline constexpr double kRefineToleranceDb = 2.0;
inline constexpr int kRefinePasses = 1;
// Noise substitution: only below this bit rate per channel, from this frequency up, for bands
// whose tonality is below kNoiseTonality; above the coded bandwidth up to kNoiseTopHz.
inline constexpr int32_t kNoiseSubstitutionMaxRate = 48000;
inline constexpr double kNoiseStartHz = 3000.0;
inline constexpr double kNoiseTopHz = 16000.0;
inline constexpr double kNoiseTonality = 0.35;

// What the perceptual mode carries from frame to frame.
struct PerceptualState {
    double averageEntropy = 0.0;           // running mean of the frame's perceptual entropy
    int32_t gainAboveThreshold[kMaxChannels]{};  // last frame's gain over the threshold gain
};

// The coded bandwidth for the bit rate, in Hz, and the bands of the block below it.
double perceptualCutoffHz(int32_t bitRatePerChannel, int32_t sampleRate);
int32_t perceptualBandLimit(const IcsInfo& ics, int32_t sampleRate, int32_t bitRatePerChannel);

// Sets bandLimit, noiseFlag, pnsStartBand and pnsBandLimit of a channel: bands of [pnsStartBand,
// pnsBandLimit) at or above bandLimit that the model finds noise-like and audible are flagged as
// noise (codebook and energy follow with noiseEnergies); with `noise` false, or at rates from
// kNoiseSubstitutionMaxRate up, none is, and pnsBandLimit = bandLimit. Bands below pnsBandLimit
// are the ones the rate control sections.
void choosePerceptualBands(ChannelCoding& coding, const IcsInfo& ics, const MaskingResult& masking,
                           int32_t sampleRate, int32_t bitRatePerChannel, bool noise);

// Noise bands flagged in noiseFlag get codebook NOISE_HCB and, in scaleOffset, the noise energy
// of their mean energy per window in `spectrum`.
void setNoiseEnergies(ChannelCoding& coding, const IcsInfo& ics, std::span<const double> spectrum);

// TNS filtered `before` into `after`: the decoder's inverse filter raises the noise of the
// filtered bands by about the filter's prediction gain, so their thresholds fall by the ratio
// of the filtered to the original energy over those bands.
void followFilteredEnergy(std::span<const double> before, std::span<const double> after,
                          const IcsInfo& ics, MaskingResult& masking);

// Per band of a common-window pair: 1 where the band is better coded as mid/side, judged by the
// perceptual entropy of left/right against mid/side, the latter each with half the smaller of
// the two thresholds (noise in mid and side adds up in both outputs). Bands that either channel
// sends as noise, and bands from `bandCount` up, stay left/right. Writes keepLeftRight as the
// complement and returns the number of mid/side bands.
int chooseMidSideBands(const IcsInfo& ics, int bandCount, std::span<const double> left,
                       std::span<const double> right, const MaskingResult& leftMasking,
                       const MaskingResult& rightMasking, const uint8_t* leftNoise,
                       const uint8_t* rightNoise, uint8_t* keepLeftRight);

// After the conversion, both channels' thresholds of the mid/side bands in msMask become half the
// smaller of the two.
void shareMidSideThresholds(const IcsInfo& ics, const uint8_t* msMask, MaskingResult& first,
                            MaskingResult& second);

// Perceptual entropy of a channel's coded spectrum against its thresholds, over the bands
// below pnsBandLimit that are not noise.
double codedEntropy(std::span<const double> spectrum, const IcsInfo& ics,
                    const ChannelCoding& coding, const MaskingResult& masking);

// Perceptual entropy of a whole spectrum against its thresholds, every band's lines taken as
// flat: what the spectrum costs to code, for comparing two transforms of the same block.
double spectrumEntropy(std::span<const double> spectrum, const IcsInfo& ics,
                       const MaskingResult& masking);

// The frame's bit total for `channels` channels of `meanBits` each, from its perceptual entropy;
// takes what exceeds the mean from `bitReservoir` (and puts back what falls short of it). At most
// `limit`, at most the mean plus the reservoir.
int perceptualFrameBits(PerceptualState& state, double frameEntropy, int32_t meanBits,
                        int channels, int32_t& bitReservoir, int32_t limit);

// Quantises one channel: offsets from the thresholds, the gain search to targetBits and the
// refinement; with `noise`, bands of [pnsStartBand, bandLimit) that quantised to zero but are
// noise-like and audible become noise bands when that still fits `bitLimit`. On return
// globalGain, scaleOffset, quantSpectrum, codebook, sectionLength, maxSfb and usedBits belong
// together and usedBits <= bitLimit; without `noise` also usedBits <= targetBits, with it the
// noise bands' energies may add to the target (the caller charges the reservoir). A channel
// that fits nothing is coded silent (save its noise bands).
// `gainAboveThreshold` carries the gain's distance above the threshold gain between frames
// (it starts the search). `fill` is the reservoir's fill, 0 .. 1.
void quantisePerceptual(ChannelCoding& coding, const IcsInfo& ics, std::span<const double> spectrum,
                        const MaskingResult& masking, bool noise, double fill, int bitLimit,
                        int32_t& gainAboveThreshold);

}  // namespace varnel
