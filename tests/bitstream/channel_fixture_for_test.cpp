#include "tests/bitstream/channel_fixture_for_test.h"

#include <algorithm>
#include <cstring>

#include "bitstream/bit_writer.h"
#include "records/band_tables.h"

namespace varnel::test {

IcsInfo makeLongIcs(int sampleRateIndex) {
    IcsInfo ics{};
    ics.windowSequence = ONLY_LONG_SEQUENCE;
    ics.swbOffsets = swbOffsetLong[sampleRateIndex];
    ics.numSwb = numSwbLong[sampleRateIndex];
    ics.numWindowGroups = 1;
    ics.windowGroupLength[0] = 1;
    return ics;
}

IcsInfo makeShortIcs(int sampleRateIndex, const std::vector<int>& groupLengths) {
    IcsInfo ics{};
    ics.windowSequence = EIGHT_SHORT_SEQUENCE;
    ics.swbOffsets = swbOffsetShort[sampleRateIndex];
    ics.numSwb = numSwbShort[sampleRateIndex];
    ics.numWindowGroups = static_cast<int>(groupLengths.size());
    for (std::size_t g = 0; g < groupLengths.size(); ++g) ics.windowGroupLength[g] = groupLengths[g];
    return ics;
}

std::unique_ptr<ChannelCoding> makeCoding() { return std::make_unique<ChannelCoding>(); }

int firstWindowOfGroup(const IcsInfo& ics, int group) {
    if (ics.windowSequence != EIGHT_SHORT_SEQUENCE) return 0;
    int first = 0;
    for (int g = 0; g < group; ++g) first += ics.windowGroupLength[g];
    return first;
}

int windowsOfGroup(const IcsInfo& ics, int group) {
    return ics.windowSequence == EIGHT_SHORT_SEQUENCE ? ics.windowGroupLength[group] : 1;
}

void setLine(const IcsInfo& ics, ChannelCoding& coding, int group, int band, int window, int line,
             int value) {
    const int w = firstWindowOfGroup(ics, group) + window;
    coding.quantSpectrum[kShortWindowLength * w + ics.swbOffsets[band] + line] = value;
}

void fillBand(const IcsInfo& ics, ChannelCoding& coding, int group, int band, int value) {
    const int width = ics.swbOffsets[band + 1] - ics.swbOffsets[band];
    for (int w = 0; w < windowsOfGroup(ics, group); ++w)
        for (int k = 0; k < width; ++k) setLine(ics, coding, group, band, w, k, value);
}

std::vector<int> randomGrouping(std::mt19937& rng) {
    std::vector<int> groups;
    int left = kShortWindows;
    while (left > 0) {
        const int length = std::uniform_int_distribution<int>(1, left)(rng);
        groups.push_back(length);
        left -= length;
    }
    return groups;
}

void fillRandomChannel(std::mt19937& rng, const IcsInfo& ics, ChannelCoding& coding,
                       const RandomChannelOptions& options) {
    auto uniform = [&rng](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    // Band magnitude classes: the upper magnitude of each class.
    const int classes[] = {0, 1, 2, 4, 7, 12, 15, 16, 40, 300, 8191};
    coding.globalGain = uniform(0, 155);
    coding.bandLimit = uniform(0, 3) == 0 ? uniform(0, ics.numSwb) : ics.numSwb;
    coding.pnsBandLimit = uniform(0, 3) == 0 ? uniform(0, ics.numSwb) : ics.numSwb;
    // A few runs of silent high bands, so that long-block trimming has work to do.
    const int silentFrom = uniform(0, 2) == 0 ? uniform(0, ics.numSwb) : ics.numSwb;
    const int rareMarks = options.classPersistence > 50 ? 39 : 4;  // keep runs mostly whole
    int limit = 0;
    for (int g = 0; g < ics.numWindowGroups; ++g) {
        for (int b = 0; b < ics.numSwb; ++b) {
            const int index = g * ics.numSwb + b;
            coding.codebook[index] = uniform(0, 11);           // stale from an earlier pass
            coding.sectionLength[index] = static_cast<uint8_t>(uniform(0, 60));
            coding.scaleOffset[index] = uniform(-30, 30);
            if (b == 0 || uniform(1, 100) > options.classPersistence) {
                limit = classes[uniform(0, 10)];
                if (uniform(0, 3) == 0) limit = 0;
                limit = std::min(limit, options.maxMagnitude);
            }
            const int bandMagnitude = b >= silentFrom ? 0 : limit;
            const int width = ics.swbOffsets[b + 1] - ics.swbOffsets[b];
            for (int w = 0; w < windowsOfGroup(ics, g); ++w) {
                for (int k = 0; k < width; ++k) {
                    int m = uniform(0, 2) == 0 ? 0 : uniform(0, bandMagnitude);
                    if (bandMagnitude > 16 && uniform(0, 1)) m = uniform(0, 16);  // keep small values common
                    setLine(ics, coding, g, b, w, k, uniform(0, 1) ? -m : m);
                }
            }
            if (bandMagnitude > 0 && uniform(0, 1)) setLine(ics, coding, g, b, 0, 0, -bandMagnitude);
            if (options.intensityBands && uniform(0, 4 * rareMarks) == 0)
                coding.codebook[index] = uniform(0, 1) ? INTENSITY_HCB : INTENSITY_HCB2;
            if (options.noiseBands && b < coding.pnsBandLimit && uniform(0, rareMarks) == 0) {
                coding.codebook[index] = NOISE_HCB;
                coding.scaleOffset[index] = uniform(-120, 260);  // noise energy
            }
        }
    }
}

std::unique_ptr<ElementRecords> makeElement(const std::vector<IcsInfo>& ics,
                                            const std::vector<const ChannelCoding*>& coding,
                                            bool noiseSubstitution) {
    auto element = std::make_unique<ElementRecords>();
    element->ics = ics;
    for (const ChannelCoding* c : coding) element->coding.push_back(*c);
    element->noiseSubstitution = noiseSubstitution;
    element->element.elementInstanceTag = kElementInstanceTag;
    return element;
}

}  // namespace varnel::test
