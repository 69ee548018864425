// What the psychoacoustic model hands to the perceptual rate control for one block of one
// channel.
#pragma once

#include "records/channel_records.h"

namespace varnel {

// Per entry group * numSwb + band (group 0 for long blocks). Energies are in the units of the
// block's MDCT lines (sums of squared coefficients), summed over the windows of a group.
struct MaskingResult {
    double energy[kMaxBandEntries];     // the band's signal energy as the model measured it
    double threshold[kMaxBandEntries];  // noise energy the band can hide
    double tonality[kMaxBandEntries];   // 0 noise-like .. 1 tonal (mean over the windows)
};

}  // namespace varnel
