// The perceptual mode's band choices from the psychoacoustic model's thresholds: the coded
// bandwidth for the bit rate, the bands sent as noise, the thresholds after TNS, and the
// mid/side decision per band.
#pragma once

#include <cstdint>
#include <span>

#include "coding/band_statistics.h"
#include "records/channel_records.h"
#include "records/masking_records.h"

namespace varnel {

// Noise substitution: only below this bit rate per channel, from this frequency up, for bands
// whose tonality is below kNoiseTonality; above the coded bandwidth up to kNoiseTopHz.
inline constexpr int32_t kNoiseSubstitutionMaxRate = 48000;
inline constexpr double kNoiseStartHz = 3000.0;
inline constexpr double kNoiseTopHz = 16000.0;
inline constexpr double kNoiseTonality = 0.5;
// Inside the coded bandwidth, a long block's noise-like audible bands from kNoiseAlwaysHz up are
// sent as noise before any bits are spent, below kNoiseAlwaysMaxRate and where the bandwidth
// reaches twice that frequency: at these rates the bits that would code them at a low
// signal-to-noise ratio buy more in the lower bands, and noise at the band's energy keeps the
// spectrum's level (PEAQ on music, basic/advanced, against coding them: +0.4/-0.2 at 24 kbit/s
// per channel, +0.5/+0.3 at 28k, +0.25/+0.56 at 36k, 0.0/+0.36 at 40k). From about 42 kbit/s
// coding them grades higher; in a narrower bandwidth the noise would leave too little coded
// (0.0/-0.2 at 20k), and in short blocks it smears attacks over the group.
inline constexpr double kNoiseAlwaysHz = 4000.0;
inline constexpr int32_t kNoiseAlwaysMaxRate = 42000;

// The coded bandwidth for the bit rate, in Hz, and the bands of the block below it (below
// `cutoffHz` for the second form).
double perceptualCutoffHz(int32_t bitRatePerChannel, int32_t sampleRate);
int32_t perceptualBandLimit(const IcsInfo& ics, int32_t sampleRate, int32_t bitRatePerChannel);
int32_t bandLimitBelow(const IcsInfo& ics, int32_t sampleRate, double cutoffHz);
// The bands of the block that start below line `line` of its windows.
int32_t bandsStartingBelow(const IcsInfo& ics, int line);

// Sets bandLimit, noiseFlag, pnsStartBand and pnsBandLimit of a channel: bands of [pnsStartBand,
// pnsBandLimit) at or above bandLimit, and those from kNoiseAlwaysHz up in a long block, that the
// model finds noise-like and audible are flagged as noise (codebook and energy follow with
// setNoiseEnergies); with `noise` false, or at rates from kNoiseSubstitutionMaxRate up, none is,
// and pnsBandLimit = bandLimit. Bands below pnsBandLimit
// are the ones the rate control sections. `extraCutoffHz` widens the bit rate's bandwidth. A
// `crossoverLine` > 0 is the long-block line at which the caller will end the bandwidth instead
// (replication): the noise bands inside the bandwidth go by that one.
void choosePerceptualBands(ChannelCoding& coding, const IcsInfo& ics, const MaskingResult& masking,
                           int32_t sampleRate, int32_t bitRatePerChannel, bool noise, double extraCutoffHz = 0.0,
                           int crossoverLine = 0);

// Noise bands flagged in noiseFlag get codebook NOISE_HCB and, in scaleOffset, the noise energy
// of their mean energy per window, from the spectrum's `stats`.
void setNoiseEnergies(ChannelCoding& coding, const IcsInfo& ics, const BandStats& stats);

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

}  // namespace varnel
