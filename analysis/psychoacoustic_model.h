// Psychoacoustic model of the perceptual mode: per channel and block, the noise energy each
// scalefactor band can hide.
//
// The model looks at the block's samples through a Hann-windowed FFT of the same span as each
// MDCT (2048 samples, or 256 per short window). The MDCT lines themselves would mislead it: a
// sine window leaks a tone's energy tens of lines away, and that leakage is part of the tone,
// not a sound that masks anything, whereas the Hann window's sidelobes fall fast enough that
// what the FFT shows beside a tone is what the ear gets. For white noise of variance v an FFT
// bin holds v sum w^2 = 3 N v / 8 with the Hann window and an MDCT line 2 v sum w^2 = N v with
// the sine window, so FFT energies times kFftToMdctEnergy are in the MDCT's units.
//
// Per scalefactor band (which lie close enough to the critical bands for this):
//  1. Energy e and tonality from the spectral flatness of the band's bins (widened to at least
//     kTonalityMinBins): complex noise bins have a flatness of -2.5 dB (the mean log of a
//     two-degree chi-square), a tone in the Hann window's main lobe reaches -25 dB or less.
//  2. Masker offset: a tonal masker masks less than a noise-like one. A masker of tonality a at
//     z Bark masks noise (a (kToneMaskerOffsetDb + z) + (1 - a) kNoiseMaskerOffsetDb) dB below
//     its level. Both offsets lie above the textbook values (5.5 dB and 14.5 dB), set by the
//     objective stand-in for listening tests (PEAQ), which hears noise beside tones and under
//     noise-like maskers sooner.
//  3. Spreading between bands on the Bark scale with fixed slopes, kLowerSlopeDb per Bark toward
//     lower and kUpperSlopeDb per Bark toward higher frequencies, in two first-order recursions
//     (an exponential slope is one). A band's threshold is its masking density times its width
//     in Bark.
//     A band's signal-to-mask ratio is at least kLowestBandMinSmrDb falling linearly with its
//     Bark value: the low bands, where the ear resolves finest and the harmonics of voices and
//     instruments lie, keep their noise further down than spreading alone would.
//  4. The absolute threshold of hearing (Terhardt's approximation in dB SPL, its rise above
//     3 kHz with the exponent kQuietRiseExponent of the ear model behind PEAQ rather than
//     Terhardt's 4, which puts the threshold at 14 kHz 25 dB higher and leaves noise there that
//     the objective stand-in for listening tests hears), with a full-scale sine at
//     kFullScaleSpl dB SPL: no threshold falls below the quietest sine heard in the band.
//  5. Pre-echo control: a long block's threshold rises at most kLongRiseLimit times over the
//     previous block's, a short window's at most kShortRiseLimit times over the window before
//     (the first over the previous block), so that noise spread over a block does not precede
//     the onset that would mask it. The previous threshold is kept as energy per long-block line
//     on a 128-step frequency grid (a stationary signal puts 8 times the energy per line into a
//     1024-line block that it puts into a 128-line window).
//  6. The windows of a group share one scalefactor, so noise spreads evenly over them: a group's
//     threshold is its window count times its lowest window threshold.
#pragma once

#include <cstdint>
#include <span>

#include "records/channel_records.h"
#include "records/masking_records.h"

namespace varnel {

inline constexpr double kFullScaleSpl = 92.0;   // dB SPL of a full-scale sine
inline constexpr double kFullScaleAmplitude = 32767.0;
inline constexpr double kLowerSlopeDb = 20.0;   // dB per Bark, masking toward lower frequencies
inline constexpr double kUpperSlopeDb = 15.0;   // dB per Bark, masking toward higher frequencies
inline constexpr double kNoiseMaskerOffsetDb = 8.0;
// A tonal masker masks kToneMaskerOffsetDb plus kToneMaskerBarkWeight times its Bark value
// below its energy.
inline constexpr double kToneMaskerOffsetDb = 24.0;
inline constexpr double kToneMaskerBarkWeight = 0.5;
inline constexpr int kTonalityMinBins = 16;
// The smallest signal-to-mask ratio of a band: kLowestBandMinSmrDb at 0 Bark, falling linearly
// to 0 dB at kMinSmrTopBark.
inline constexpr double kLowestBandMinSmrDb = 30.0;
inline constexpr double kMinSmrTopBark = 24.0;
inline constexpr double kLongRiseLimit = 8.0;
inline constexpr double kShortRiseLimit = 16.0;
inline constexpr int kThresholdGridSize = kShortWindowLength;
inline constexpr double kFftToMdctEnergy = 8.0 / 3.0;
inline constexpr double kMaxQuietThresholdDb = 110.0;
inline constexpr double kQuietRiseExponent = 3.6;

// Energy a full-scale sine puts into the lines of one MDCT of 2 * halfLength samples: the
// transform X[k] = 2 sum z[n] cos(..) of a sine-windowed sine of amplitude A sums to
// A^2 N^2 / 4 over its lines (N = 2 * halfLength).
double fullScaleSineEnergy(int halfLength);

// Bark value of a frequency in Hz (Zwicker and Terhardt's approximation).
double barkOf(double hz);
// Absolute threshold of hearing in dB SPL at a frequency in Hz, 3.64 f^-0.8 - 6.5
// exp(-0.6 (f - 3.3)^2) + 0.001 f^kQuietRiseExponent with f in kHz, at most
// kMaxQuietThresholdDb.
double quietThresholdDb(double hz);

// The absolute threshold of a band from loHz to hiHz as energy in the lines of an MDCT of
// 2 * halfLength samples: a sine at the band's lowest threshold in quiet.
double bandQuietThreshold(double loHz, double hiHz, int halfLength);

// spread[i] = sum over j of masker[j] 10^(-s |bark[i] - bark[j]| / 10), with s = kUpperSlopeDb
// for i above j and kLowerSlopeDb below; `bark` ascending.
void spreadMasking(std::span<const double> masker, std::span<const double> bark,
                   std::span<double> spread);

// Per-band quantities of a block kind's band table that depend only on frequency, built once.
struct BandLayout {
    int32_t bands = 0;                       // 0 until built
    double bark[kMaxBandEntries];            // band centre
    double width[kMaxBandEntries];           // in Bark
    double quiet[kMaxBandEntries];           // absolute threshold as band energy
    double minSmrFactor[kMaxBandEntries];    // 10^(-smallest signal-to-mask ratio / 10)
    double upperDecay[kMaxBandEntries];      // spreading factor from band b - 1 to band b
    double lowerDecay[kMaxBandEntries];      // spreading factor from band b + 1 to band b
};

// What the model keeps of one channel: its pre-echo memory, its band layouts and the FFT's
// working buffer.
struct MaskingState {
    BandLayout layouts[2];                          // long and short blocks
    bool hasPrevious = false;                       // false before the first block
    double previousDensity[kThresholdGridSize]{};   // threshold per long-block line, by step
    double buffer[2 * kFrameLength]{};
};

// Measures the block that the filterbank transforms from `timeSamples` (the channel's sample
// history; ics says how), writes its thresholds and updates the pre-echo memory.
void computeMaskingThresholds(std::span<const double> timeSamples, const IcsInfo& ics,
                              int32_t sampleRate, MaskingState& state, MaskingResult& result);
// The same in the baseline (vector = false) or the vector build; computeMaskingThresholds uses
// the one this CPU runs best. Both give identical thresholds.
void computeMaskingThresholdsWith(bool vector, std::span<const double> timeSamples, const IcsInfo& ics,
                                  int32_t sampleRate, MaskingState& state, MaskingResult& result);

}  // namespace varnel
