#include "coding/band_statistics.h"

#include <cmath>

#include "coding/noise_substitution.h"

namespace varnel {

int windowLines(const IcsInfo& ics) { return isShort(ics) ? kShortWindowLength : kFrameLength; }

void measureBands(std::span<const double> spectrum, const IcsInfo& ics, BandStats& stats) {
    int firstWindow = 0;
    for (int g = 0; g < groupCount(ics); ++g) {
        for (int b = 0; b < ics.numSwb; ++b) {
            double e = 0.0, f = 0.0;
            for (int w = firstWindow; w < firstWindow + groupLength(ics, g); ++w) {
                const int base = kShortWindowLength * w;
                for (int k = base + ics.swbOffsets[b]; k < base + ics.swbOffsets[b + 1]; ++k) {
                    e += spectrum[k] * spectrum[k];
                    f += std::sqrt(std::fabs(spectrum[k]));
                }
            }
            stats.energy[g * ics.numSwb + b] = e;
            stats.form[g * ics.numSwb + b] = f;
        }
        firstWindow += groupLength(ics, g);
    }
}

double activeLineCount(double formFactor, double energy, int lines) {
    if (energy <= 0.0) return 0.0;
    return formFactor / std::sqrt(std::sqrt(energy / lines));
}

int32_t bandNoiseEnergy(const BandStats& stats, const IcsInfo& ics, int e) {
    return noiseEnergyValue(stats.energy[e] / groupLength(ics, e / ics.numSwb));
}

}  // namespace varnel
