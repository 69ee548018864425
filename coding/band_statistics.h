// Per-band measures of a spectrum that the perceptual mode's band choices and rate control
// share: energy and form factor of every band entry (with the measures of analysis/band_energy.h).
#pragma once

#include <cstdint>
#include <span>

#include "analysis/band_energy.h"
#include "records/channel_records.h"

namespace varnel {

// Lines per window of the block: 1024 long, 128 short.
int windowLines(const IcsInfo& ics);

// Energy and form factor (sum |x|^0.5) of every band entry, over all windows of its group.
struct BandStats {
    double energy[kMaxBandEntries];
    double form[kMaxBandEntries];
};
void measureBands(std::span<const double> spectrum, const IcsInfo& ics, BandStats& stats);
// The same in the baseline (vector = false) or the vector build; measureBands uses the one this
// CPU runs best. Both give identical results.
void measureBandsWith(bool vector, std::span<const double> spectrum, const IcsInfo& ics, BandStats& stats);

// Lines of a band that carry its energy: the form factor sum |x|^0.5 over the fourth root of
// the mean line energy; the width for a flat band, the fourth root of the width for one line.
double activeLineCount(double formFactor, double energy, int lines);

// Noise energy of band entry e, the nearest step to its energy per window (the decoder fills
// each window of the group).
int32_t bandNoiseEnergy(const BandStats& stats, const IcsInfo& ics, int e);

}  // namespace varnel
