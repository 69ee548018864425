// Test fixtures: channel records with a chosen band layout and window grouping, and random
// quantised channels that exercise every codebook, escape lengths, noise and intensity bands.
#pragma once

#include <memory>
#include <random>
#include <vector>

#include "records/channel_records.h"
#include "records/channel_records.h"

namespace varnel::test {

IcsInfo makeLongIcs(int sampleRateIndex);
// groupLengths must add up to 8.
IcsInfo makeShortIcs(int sampleRateIndex, const std::vector<int>& groupLengths);

// A zeroed ChannelCoding on the heap (the record is several kilobytes).
std::unique_ptr<ChannelCoding> makeCoding();

// First window of group g (0 for long blocks).
int firstWindowOfGroup(const IcsInfo& ics, int group);
// Windows of group g (1 for long blocks).
int windowsOfGroup(const IcsInfo& ics, int group);

// Sets every line of band b of group g (all windows of the group) to value.
void fillBand(const IcsInfo& ics, ChannelCoding& coding, int group, int band, int value);
// Sets line `line` (relative to the band start) of band b in window `window` of group g.
void setLine(const IcsInfo& ics, ChannelCoding& coding, int group, int band, int window, int line,
             int value);

struct RandomChannelOptions {
    int maxMagnitude = 8191;    // largest magnitude any line may take
    bool noiseBands = false;    // mark some bands below pnsBandLimit as codebook 13
    bool intensityBands = false;
    // Chance in percent that a band keeps the magnitude class of the band before it; high
    // values give long runs of alike bands and so long sections.
    int classPersistence = 0;
};

// Fills quantSpectrum (all numSwb bands, also beyond bandLimit), scaleOffset, globalGain,
// bandLimit and pnsBandLimit at random, leaves stale codebooks and section lengths behind, and
// marks noise (13) and intensity (14, 15) bands as the options ask. Ordinary and intensity
// scale offsets stay within +-30, so every difference the writer codes lies within +-60;
// noise energies vary widely to exercise the clipped noise differences.
void fillRandomChannel(std::mt19937& rng, const IcsInfo& ics, ChannelCoding& coding,
                       const RandomChannelOptions& options);

// Random grouping of eight short windows.
std::vector<int> randomGrouping(std::mt19937& rng);

// One element's records as the syntax writer takes them.
struct ElementRecords {
    std::vector<IcsInfo> ics;
    std::vector<ChannelCoding> coding;
    ElementInfo element{};
    bool noiseSubstitution = false;
};

// An element holding copies of the given channels, with the encoder's instance tag.
std::unique_ptr<ElementRecords> makeElement(const std::vector<IcsInfo>& ics,
                                            const std::vector<const ChannelCoding*>& coding,
                                            bool noiseSubstitution);

}  // namespace varnel::test
