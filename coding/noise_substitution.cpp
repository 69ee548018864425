// Perceptual noise substitution (ISO/IEC 14496-3, 4.6.13).
//
// The decoder scales a noise band to the energy 2^(noise_nrg / 2), so the energy E of a band is
// sent as noise_nrg = 2 log2(E). Here the value is trunc(2 log2(E + epsilon) - 0.5), clamped at
// 0: the epsilon keeps an all-zero band finite, and the 0.5 before truncation sets the noise on
// average one step (about 1.5 dB) below the measured energy.
//
// Choosing the noise bands: every band between the 4 kHz line and pnsBandLimit starts as noise.
// The bands with the largest per-line variance are handed back to normal coding, strongest
// first, while their total width stays within the lines from 4 kHz to the coded bandwidth; the
// first band that no longer fits ends the hand-back. Weak bands inside the coded bandwidth thus
// become noise while strong ones above it are coded.
#include "coding/noise_substitution.h"

#include <algorithm>
#include <cassert>
#include <cmath>

#include "bitstream/sectioning.h"

namespace varnel {
namespace {

// Line k of a 2N-point MDCT lies at k * fs / (2N) Hz, so 4 kHz is line 4000 * 2048 / fs of a
// long window and line 4000 * 256 / fs of a short one.
constexpr double kLongLinesAt4kHz = 8192000.0;   // 4000 * 2048
constexpr double kShortLinesAt4kHz = 1024000.0;  // 4000 * 256

// Added to a band's energy before the logarithm when bands are chosen and when zero bands are
// substituted after quantisation.
constexpr double kSelectionEpsilon = 0.00001;
constexpr double kSubstitutionEpsilon = 0.0001;

// Bits charged per band substituted after quantisation: the side information of one more
// section, sect_cb plus one sect_len.
constexpr int kLongSubstitutionBits = sectionHeaderBits(1, false);
constexpr int kShortSubstitutionBits = sectionHeaderBits(1, true);
static_assert(kLongSubstitutionBits == 9 && kShortSubstitutionBits == 7);

// Marks a band already considered for hand-back; variances are never negative.
constexpr double kTaken = -1.0;

// First line of window group g's first window, the one the band selection measures.
int groupBase(const IcsInfo& ics, int group) {
    int windows = 0;
    for (int g = 0; g < group; ++g) windows += ics.windowGroupLength[g];
    return windows * kShortWindowLength;
}

int bandWidth(const IcsInfo& ics, int band) {
    return ics.swbOffsets[band + 1] - ics.swbOffsets[band];
}

std::span<const double> bandLines(const ChannelBuffer& buffer, const IcsInfo& ics, int base,
                                  int band) {
    return std::span<const double>(buffer.spectrum).subspan(
        static_cast<size_t>(base + ics.swbOffsets[band]), static_cast<size_t>(bandWidth(ics, band)));
}

// noise_nrg of band `band` of window group `group` in `spectrum`. A decoder fills every window
// of the group with the energy sent, so it is the band's mean energy per window of the group
// (for a long block, its energy): measured on one window alone, a group whose first window
// holds an attack would decode it in each of its windows. When `other` is not empty,
// `otherWeight` times it is added to `spectrum` line by line.
int32_t noiseEnergy(const IcsInfo& ics, int group, int band, std::span<const double> spectrum,
                    std::span<const double> other, double otherWeight, double epsilon) {
    assert(other.empty() || other.size() == spectrum.size());
    const int windows = groupLength(ics, group);
    double sum = 0.0;
    for (int w = 0; w < windows; ++w) {
        const int base = groupBase(ics, group) + w * kShortWindowLength;
        for (int k = base + ics.swbOffsets[band]; k < base + ics.swbOffsets[band + 1]; ++k) {
            const double s = other.empty() ? spectrum[k] : spectrum[k] + otherWeight * other[k];
            sum += s * s;
        }
    }
    return noiseEnergyValue(epsilon + sum / windows);
}

double variance(std::span<const double> lines) {
    double sum = 0.0;
    for (double x : lines) sum += x;
    const double n = static_cast<double>(lines.size());
    const double mean = sum / n;
    double squares = 0.0;
    for (double x : lines) squares += (x - mean) * (x - mean);
    return squares / n;
}

// Flags the bands of one window group, `lineBudget` being the lines from 4 kHz to bandLimit.
void selectInGroup(ChannelCoding& coding, const IcsInfo& ics, const ChannelBuffer& buffer,
                   int group, int lineBudget) {
    const int start = coding.pnsStartBand;
    const int limit = coding.pnsBandLimit;
    const int base = groupBase(ics, group);
    uint8_t* flags = coding.noiseFlag + group * ics.numSwb;

    double strength[kMaxBandEntries];
    for (int b = start; b < limit; ++b) {
        strength[b] = variance(bandLines(buffer, ics, base, b));
        flags[b] = 1;
    }

    int used = 0;
    for (int round = start; round < limit; ++round) {
        int strongest = -1;  // ties go to the lowest band
        for (int b = start; b < limit; ++b) {
            if (strength[b] != kTaken && (strongest < 0 || strength[b] > strength[strongest])) {
                strongest = b;
            }
        }
        strength[strongest] = kTaken;
        used += bandWidth(ics, strongest);
        if (used > lineBudget) break;
        flags[strongest] = 0;
    }
}

// Every run of equal codebooks below pnsBandLimit becomes one section, so that a substituted
// band splits the zero section it lay in. Sections of spectral codebooks already hold a single
// codebook each and come out unchanged, save that equal neighbours are joined.
void rebuildSections(ChannelCoding& coding, const IcsInfo& ics) {
    const int limit = coding.pnsBandLimit;
    for (int g = 0; g < groupCount(ics); ++g) {
        const int32_t* codebook = coding.codebook + g * ics.numSwb;
        uint8_t* sectionLength = coding.sectionLength + g * ics.numSwb;
        for (int i = 0; i < limit;) {
            int n = 1;
            while (i + n < limit && codebook[i + n] == codebook[i]) ++n;
            sectionLength[i] = static_cast<uint8_t>(n);
            i += n;
        }
    }
}

}  // namespace

int32_t noiseEnergyValue(double energy) {
    const double nrg = 2.0 * std::log2(energy) - 0.5;
    return nrg < 0.0 ? 0 : static_cast<int32_t>(nrg);
}

void selectNoiseBands(ChannelCoding& coding, const IcsInfo& ics, const ChannelBuffer& buffer,
                      int32_t sampleRate) {
    const int numSwb = ics.numSwb;
    const int groups = groupCount(ics);
    assert(numSwb * groups <= kMaxBandEntries);
    assert(coding.bandLimit >= 0 && coding.bandLimit <= numSwb);
    assert(sampleRate > 0);
    std::fill_n(coding.codebook, numSwb * groups, ZERO_HCB);
    std::fill_n(coding.noiseFlag, numSwb * groups, uint8_t{0});

    coding.pnsBandLimit = coding.bandLimit == numSwb ? numSwb : numSwb - 1;

    const double linesAt4kHz = isShort(ics) ? kShortLinesAt4kHz : kLongLinesAt4kHz;
    const int startLine = static_cast<int>(linesAt4kHz / sampleRate);
    int start = 0;
    while (start < coding.bandLimit && ics.swbOffsets[start] <= startLine) ++start;
    coding.pnsStartBand = start;
    assert(coding.pnsStartBand <= coding.pnsBandLimit);

    const int lineBudget = ics.swbOffsets[coding.bandLimit] - ics.swbOffsets[start];
    for (int g = 0; g < groups; ++g) selectInGroup(coding, ics, buffer, g, lineBudget);
}

void noiseEnergies(ChannelCoding& coding, const IcsInfo& ics, const ChannelBuffer& buffer) {
    const int numSwb = ics.numSwb;
    const int groups = groupCount(ics);
    std::fill_n(coding.scaleOffset, numSwb * groups, 0);
    for (int g = 0; g < groups; ++g) {
        for (int b = coding.pnsStartBand; b < coding.pnsBandLimit; ++b) {
            const int i = g * numSwb + b;
            if (coding.noiseFlag[i] == 0) continue;
            coding.scaleOffset[i] = noiseEnergy(ics, g, b, buffer.spectrum, {}, 0.0, kSelectionEpsilon);
            coding.codebook[i] = NOISE_HCB;
        }
    }
}

void runNoiseSubstitution(std::span<ChannelCoding> coding, std::span<const IcsInfo> ics,
                          std::span<const ChannelBuffer> buffers, int32_t sampleRate) {
    for (size_t c = 0; c < coding.size(); ++c) {
        selectNoiseBands(coding[c], ics[c], buffers[c], sampleRate);
        noiseEnergies(coding[c], ics[c], buffers[c]);
    }
}

int substituteZeroBands(std::span<ChannelCoding> coding, std::span<const IcsInfo> ics,
                        std::span<const ChannelBuffer> buffers, const uint8_t* msMask) {
    assert(ics.size() == coding.size() && buffers.size() == coding.size());
    assert(!msMask || coding.size() == 2);
    int substituted = 0;  // over all channels examined so far
    int bits = 0;
    for (size_t c = 0; c < coding.size(); ++c) {
        ChannelCoding& cc = coding[c];
        const IcsInfo& info = ics[c];
        for (int g = 0; g < groupCount(info); ++g) {
            for (int b = cc.pnsStartBand; b < cc.pnsBandLimit; ++b) {
                const int i = g * info.numSwb + b;
                if (cc.codebook[i] != ZERO_HCB) continue;
                if (msMask && msMask[i]) {
                    // A mid/side band: the pair is substituted together, from channel 0, or not
                    // at all. A decoder leaves mid/side undone in a band both channels send as
                    // noise, so channel 0's noise is measured on left = mid + side and channel
                    // 1's on right = mid - side. Where side carries coded values it stays as it is.
                    ChannelCoding& side = coding[1];
                    if (c != 0 || cc.scaleOffset[i] == 0 || side.codebook[i] != ZERO_HCB ||
                        b < side.pnsStartBand || b >= side.pnsBandLimit) {
                        continue;
                    }
                    const std::span<const double> mid(buffers[0].spectrum), sideLines(buffers[1].spectrum);
                    cc.codebook[i] = NOISE_HCB;
                    cc.scaleOffset[i] = noiseEnergy(info, g, b, mid, sideLines, 1.0, kSubstitutionEpsilon);
                    side.codebook[i] = NOISE_HCB;
                    side.scaleOffset[i] = noiseEnergy(info, g, b, mid, sideLines, -1.0, kSubstitutionEpsilon);
                    substituted += 2;
                    continue;
                }
                if (cc.scaleOffset[i] == 0) continue;
                cc.codebook[i] = NOISE_HCB;
                cc.scaleOffset[i] = noiseEnergy(info, g, b, buffers[c].spectrum, {}, 0.0, kSubstitutionEpsilon);
                ++substituted;
            }
        }
        bits = substituted * (isShort(info) ? kShortSubstitutionBits : kLongSubstitutionBits);
    }
    for (size_t c = 0; c < coding.size(); ++c) rebuildSections(coding[c], ics[c]);
    return bits;
}

}  // namespace varnel
