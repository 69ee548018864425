// Band measures of a block's spectrum that the window-shape choice and the perceptual mode's
// coding share: a band's lines, its energy, and the perceptual entropy of a band against a
// masking threshold.
#pragma once

#include <span>

#include "records/channel_records.h"
#include "records/masking_records.h"

namespace varnel {

// Lines of band entry i in one window.
int bandLines(const IcsInfo& ics, int i);

// Energy of band b over windows [firstWindow, firstWindow + windows).
double bandEnergy(std::span<const double> spectrum, const IcsInfo& ics, int firstWindow, int windows,
                  int b);

// Bits a band needs to bring its noise under the threshold: about log2 of the amplitude ratio
// for each line that carries energy (all of a band's lines when they are taken as flat).
double bandPerceptualEntropy(double energy, double threshold, double activeLines);

// Perceptual entropy of a whole spectrum against its thresholds times thresholdFactor, every
// band's lines taken as flat: what the spectrum costs to code, for comparing two transforms of
// the same block.
double spectrumEntropy(std::span<const double> spectrum, const IcsInfo& ics,
                       const MaskingResult& masking, double thresholdFactor);

}  // namespace varnel
