// The AAC scalefactor quantiser (the inverse of the decoder's x = sign(q) |q|^(4/3)
// 2^((sf - 100) / 4) of ISO/IEC 14496-3) and the open-loop band shaping that precedes it.
//
// A line x of band i is coded as
//     q = trunc(|x|^0.75 * 2^(0.1875 * (scaleOffset[i] - globalGain)) + 0.4054),
// which is the standard's quantiser q = trunc(|x|^0.75 * 2^(-0.1875 * (sf - 100)) + 0.4054)
// written with the transmitted scalefactor sf = globalGain + 100 - scaleOffset[i]. One scale
// unit changes |x| by 2^(1/4), 1.5 dB; 0.1875 = 0.75 / 4 is that step in the |x|^0.75 domain.
// The rounding offset 0.4054 = 1 - 0.5^0.75 puts the decision between 0 and 1 where the
// decoder's reconstructions 0 and 1^(4/3) are equally far away in amplitude: u + 0.4054 >= 1
// exactly when u^(4/3) >= 1/2. For larger values it stays close to the amplitude midpoint.
//
// The offsets come from band levels only (computeScaleOffsets): quiet bands are amplified
// relative to the loudest so that they keep some coded lines. The rate control then searches
// globalGain; limitScalefactorRange keeps every trial quantisation codable.
#pragma once

#include <climits>
#include <cstdint>
#include <span>

#include "bitstream/codebooks.h"
#include "bitstream/sectioning.h"
#include "records/channel_records.h"

namespace varnel {

inline constexpr double kQuantiserRounding = 0.4054;
inline constexpr double kScaleStepExponent = 0.1875;  // 3/16 per scale unit, in |x|^0.75
// Magnitudes are clipped at kMaxQuantMagnitude (8191, the most an escape sequence carries);
// the scalefactor codebook codes differences -60..+60.
inline constexpr int kMaxScalefactorDifference = kScalefactorIndexMax - kScalefactorIndexOffset;

// The energy limit. At coarse steps the rounding to the amplitude midpoint sends a line of
// half a step to a whole one, twice its amplitude, and a line of 1.86 steps to 2.52: a band of
// a few strong lines (a tone's) decodes up to 6 dB louder than it is. The rate control of noise
// substitution and of the perceptual mode lets loud tonal bands reach such steps at low rates
// (frames of a square wave or a chord decoded 1.4 to 4.2 dB loud), and turns the limit on; the
// default mode's output stays as it was. With it on, a band whose decoded energy
// sum (q^(4/3) 2^((sf - 100) / 4))^2 exceeds kMaxCodedEnergyRatio times its own lowers its
// rounded-up lines by one, those that add the least error for the energy they take first,
// until it does not. One pass over them always suffices: a line lowered by one lies below its
// value, and a band whose lines all do cannot decode louder than it is. A band of less energy
// than one line of its step loses its lines: sent, it would be louder still. At fine steps the
// noise adds far less than the ratio and nothing changes. No magnitude is ever raised.
inline constexpr double kMaxCodedEnergyRatio = 1.2589254117941673;  // 10^(1 / 10): 1 dB

// |x|^0.75 of every line, with its sign as a mask, computed once per channel and frame, and per
// band of each window group (index group * numSwb + band) the largest of them over the group's
// windows, which tells without touching the lines whether a band quantises to all zero. With
// the energy limit on, also each band entry's energy, sum x^2 over the group's windows (else 0).
struct MagnitudePowers {
    double line[kFrameLength];
    int32_t negative[kFrameLength];  // -1 for a line below zero, else 0 (the lines of `line`)
    double bandPeak[kMaxBandEntries];
    double bandEnergy[kMaxBandEntries];
    bool limitEnergy = false;
};

// `knownEnergy`, when given, holds the band entries' energies summed in that same order (the
// perceptual mode has measured them), which are taken instead of summing them again. With
// `endBand` (>= 0) only the lines of bands below it in every window are computed, and the peaks
// and energies of the bands from it up are 0: a search that quantises no band above needs no more.
void computeMagnitudePowers(std::span<const double> spectrum, const IcsInfo& ics, MagnitudePowers& powers,
                            bool limitEnergy, const double* knownEnergy = nullptr, int endBand = -1);

// Largest |spectrum[k]| over the 1024 lines; 0 for a silent channel.
double spectrumPeak(std::span<const double> spectrum);

// Which offset rules apply to a channel.
struct OffsetRules {
    bool wideband;  // sampling rate above kWidebandRate: the lower spectrum's quiet bands get more
    bool midSide;   // a mid/side pair whose channel gets at most kMidSideRuleMaxShare of the bits:
                    // every band a third of its distance to the loudest
};
// Bands above this rate use the wideband offset rules, in Hz.
inline constexpr int32_t kWidebandRate = 16000;
// The mid/side rule holds for a channel whose share of the frame's bits is at most this.
inline constexpr double kMidSideRuleMaxShare = 0.6;

// The rules for a channel at `sampleRate` whose pair was converted to mid/side (midSideUsed)
// and which gets `channelShare` of the frame's bits.
OffsetRules offsetRules(int32_t sampleRate, bool midSideUsed, double channelShare);

// Per-band amplification offsets from the band levels 20 log10(mean |x|), for the bands below
// bandLimit; other entries are left as they are.
void computeScaleOffsets(ChannelCoding& coding, const IcsInfo& ics, std::span<const double> spectrum,
                         const OffsetRules& rules);
// The same below pnsBandLimit, sparing noise bands: a band with noiseFlag set keeps its
// scaleOffset (its noise energy) and a triple holding one is not smoothed.
void computeScaleOffsetsWithNoise(ChannelCoding& coding, const IcsInfo& ics, std::span<const double> spectrum,
                                  const OffsetRules& rules);

// Quantises all numSwb bands of every window with the current scaleOffset and globalGain into
// quantSpectrum; magnitudes are clipped at kMaxQuantMagnitude.
void quantiseSpectrum(ChannelCoding& coding, std::span<const double> spectrum, const IcsInfo& ics,
                      std::span<const double> magnitudePow);

// The same for bands [firstBand, endBand) of every group, using the band peaks to write
// all-zero bands without touching their lines (bands whose nonZero entry is already 0 are
// left alone then), and holding each band under the energy limit when powers.limitEnergy is
// set. nonZero[group * numSwb + band] = 1 when some line of the band is nonzero.
// With `largest`, largest[group * numSwb + band] receives the band's largest quantised
// magnitude, which is the quantised band peak (the rounding is monotone), so that the
// sectioning need not search the lines for it.
void quantiseBands(ChannelCoding& coding, std::span<const double> spectrum, const IcsInfo& ics,
                   const MagnitudePowers& powers, int firstBand, int endBand, uint8_t* nonZero,
                   int32_t* largest = nullptr);

// Makes the current quantisation codable. The coded ordinary bands (nonzero, below
// codedBands, not preserved) form the chain of scale_factor_data: in group and band order,
// each transmitted scalefactor is coded as its difference from the previous one, the first
// against global_gain, and every difference must lie in -60..+60; each scalefactor must lie in
// 0..255. Offsets of chain bands are lowered to the largest values meeting that (the lower
// envelope min_j(offset[j] + 60 |k - j|), with global_gain as band -1, capped at
// globalGain + 100) and those bands are quantised again. Lowering an offset can only lower
// magnitudes, so a band may drop out of the chain and bring two others next to each other;
// the step repeats until nothing changes, which ends because offsets only fall and never
// below 0. Offsets must not be negative on entry (computeScaleOffsets never makes them so).
// Returns true when an offset was changed.
// `largest`, when given, is kept current for the bands quantised again (see quantiseBands).
bool limitScalefactorRange(ChannelCoding& coding, std::span<const double> spectrum,
                           const IcsInfo& ics, const MagnitudePowers& powers, int codedBands,
                           const uint8_t* preserved, uint8_t* nonZero, int32_t* largest = nullptr);

// A lower bound on the bits countChannelBits would count for the quantisation of bands
// below codedBands at the current globalGain and offsets, found without quantising: every line
// of magnitude 16 or more takes an escape sequence and a sign bit, 2 floor(log2 q) - 2 bits,
// and floor(log2 q) is bounded from below by the exponents of |x| (read from `spectrum`, whose
// powers `powers` holds) and of the band's factor. The bound covers only quantisations that
// limitScalefactorRange would leave as they are, without the energy limit; for others (some
// offset would be lowered, or a line, which shrinks magnitudes) it returns -1. Preserved bands
// (noise, intensity) are not counted. The sum may stop at any band once it exceeds stopAbove.
int escapeBitsLowerBound(const ChannelCoding& coding, const IcsInfo& ics, std::span<const double> spectrum,
                         const MagnitudePowers& powers, int codedBands, const uint8_t* preserved,
                         int stopAbove = INT_MAX);

// The baseline (vector = false) and vector builds of computeMagnitudePowers, quantiseBands and
// limitScalefactorRange, which use the one this CPU runs best; both give identical results.
struct QuantiserKernels {
    void (*magnitudePowers)(std::span<const double>, const IcsInfo&, MagnitudePowers&, bool, const double*, int);
    void (*quantiseBands)(ChannelCoding&, std::span<const double>, const IcsInfo&, const MagnitudePowers&, int, int,
                          uint8_t*, int32_t*);
    bool (*limitScalefactorRange)(ChannelCoding&, std::span<const double>, const IcsInfo&, const MagnitudePowers&,
                                  int, const uint8_t*, uint8_t*, int32_t*);
};
const QuantiserKernels& quantiserKernels(bool vector);

}  // namespace varnel
