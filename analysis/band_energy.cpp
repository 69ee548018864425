#include "analysis/band_energy.h"

#include <cmath>

namespace varnel {

int bandLines(const IcsInfo& ics, int i) {
    const int b = i % ics.numSwb;
    return ics.swbOffsets[b + 1] - ics.swbOffsets[b];
}

double bandEnergy(std::span<const double> spectrum, const IcsInfo& ics, int firstWindow,
                  int windows, int b) {
    double e = 0.0;
    for (int w = firstWindow; w < firstWindow + windows; ++w) {
        const int base = kShortWindowLength * w;
        for (int k = base + ics.swbOffsets[b]; k < base + ics.swbOffsets[b + 1]; ++k)
            e += spectrum[k] * spectrum[k];
    }
    return e;
}

double bandPerceptualEntropy(double energy, double threshold, double activeLines) {
    if (energy <= threshold || threshold <= 0.0) return 0.0;
    return activeLines * 0.5 * std::log2(energy / threshold);
}

double spectrumEntropy(std::span<const double> spectrum, const IcsInfo& ics,
                       const MaskingResult& masking, double thresholdFactor) {
    double pe = 0.0;
    int firstWindow = 0;
    for (int g = 0; g < groupCount(ics); ++g) {
        const int windows = groupLength(ics, g);
        for (int b = 0; b < ics.numSwb; ++b)
            pe += bandPerceptualEntropy(bandEnergy(spectrum, ics, firstWindow, windows, b),
                                        thresholdFactor * masking.threshold[g * ics.numSwb + b],
                                        bandLines(ics, b) * windows);
        firstWindow += windows;
    }
    return pe;
}

}  // namespace varnel
