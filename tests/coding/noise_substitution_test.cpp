#include "coding/noise_substitution.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <utility>
#include <vector>

#include "records/band_tables.h"

namespace varnel {
namespace {

constexpr int k64000 = 2, k48000 = 3, k44100 = 4;
const std::vector<int> kLong = {1};

// The per-channel records as the encoder holds them; eight short windows when the group
// lengths add up to 8.
struct Records {
    std::vector<ChannelCoding> coding;
    std::vector<IcsInfo> ics;
    std::vector<ChannelBuffer> buffers;

    Records(int channels, int rateIndex, int bandLimit, const std::vector<int>& groups = kLong)
        : coding(channels), ics(channels), buffers(channels) {
        const bool isShort = std::accumulate(groups.begin(), groups.end(), 0) == 8;
        for (int c = 0; c < channels; ++c) {
            IcsInfo& i = ics[c];
            i.windowSequence = isShort ? EIGHT_SHORT_SEQUENCE : ONLY_LONG_SEQUENCE;
            i.swbOffsets = isShort ? swbOffsetShort[rateIndex] : swbOffsetLong[rateIndex];
            i.numSwb = isShort ? numSwbShort[rateIndex] : numSwbLong[rateIndex];
            i.numWindowGroups = static_cast<int>(groups.size());
            std::copy(groups.begin(), groups.end(), i.windowGroupLength);
            coding[c].bandLimit = bandLimit;
        }
    }
    void analyse(int sampleRate) {
        selectNoiseBands(coding[0], ics[0], buffers[0], sampleRate);
        noiseEnergies(coding[0], ics[0], buffers[0]);
    }
    // Alternating +a, -a over a band of one window: variance a^2, energy width * a^2.
    void fill(int c, int window, int band, double a) {
        for (int k = ics[c].swbOffsets[band]; k < ics[c].swbOffsets[band + 1]; ++k, a = -a) {
            buffers[c].spectrum[128 * window + k] = a;
        }
    }
    std::vector<int> noiseBands(int group = 0) const {
        std::vector<int> bands;
        for (int b = 0; b < ics[0].numSwb; ++b) {
            if (coding[0].noiseFlag[group * ics[0].numSwb + b]) bands.push_back(b);
        }
        return bands;
    }
    // The state rate control leaves: every band coded with `codebook` and offset 7.
    void quantised(int codebook, int pnsStartBand, int pnsBandLimit) {
        for (ChannelCoding& c : coding) {
            std::fill_n(c.codebook, kMaxBandEntries, codebook);
            std::fill_n(c.scaleOffset, kMaxBandEntries, 7);
            std::fill_n(c.sectionLength, kMaxBandEntries, 1);
            c.pnsStartBand = pnsStartBand;
            c.pnsBandLimit = pnsBandLimit;
        }
    }
};

std::vector<int> bandRange(int first, int end, int without = -1) {
    std::vector<int> bands;
    for (int b = first; b < end; ++b) {
        if (b != without) bands.push_back(b);
    }
    return bands;
}

TEST(NoiseBandRange, RunsFromTheFirstBandAbove4kHzToNumSwbLessOneUnlessBandwidthIsFull) {
    struct Case { int rateIndex, sampleRate, bandLimit; std::vector<int> groups; int start, limit; };
    const Case cases[] = {
        {k44100, 44100, 49, kLong, 24, 49},  // 4 kHz is line 185; band 24 starts at 196
        {k44100, 44100, 41, kLong, 24, 48},
        {k44100, 44100, 20, kLong, 20, 48},  // the start never passes bandLimit
        {k44100, 44100, 0, kLong, 0, 48},
        {k48000, 48000, 41, kLong, 23, 48},  // line 170; band 23 starts at 176
        {k48000, 48000, 14, {8}, 6, 14},     // line 21; short band 6 starts at 28
        {k64000, 64000, 11, {8}, 5, 11},     // line 16 is where band 4 starts: not above it
    };
    for (const Case& t : cases) {
        Records r(1, t.rateIndex, t.bandLimit, t.groups);
        r.analyse(t.sampleRate);
        EXPECT_EQ(r.coding[0].pnsStartBand, t.start) << t.sampleRate << " " << t.bandLimit;
        EXPECT_EQ(r.coding[0].pnsBandLimit, t.limit) << t.sampleRate << " " << t.bandLimit;
    }
}

TEST(NoiseBandSelection, StrongestBandsTakeTheLinesFrom4kHzToBandLimitExactly) {
    Records r(1, k44100, 41);  // bands 24..40 span lines 196..704, the whole budget of 508
    for (int b = 24; b <= 40; ++b) r.fill(0, 0, b, 100.0 + (b * 7) % 17);
    for (int b = 41; b < 48; ++b) r.fill(0, 0, b, 50.0 - b);
    r.analyse(44100);
    EXPECT_EQ(r.noiseBands(), bandRange(41, 48));
}

TEST(NoiseBandSelection, StrengthIsPerLineVarianceAndABandThatDoesNotFitEndsTheHandBack) {
    Records r(1, k44100, 25);  // budget 216 - 196 = 20 lines: band 24 alone
    std::fill_n(r.buffers[0].spectrum + 352, 32, 1000.0);  // band 30, constant: no variance
    r.fill(0, 0, 29, 4.8);  // 32 lines: variance 23.04, squared deviations 737
    r.fill(0, 0, 24, 5.0);  // 20 lines: variance 25, squared deviations 500
    r.analyse(44100);
    EXPECT_EQ(r.noiseBands(), bandRange(24, 48, 24));

    r.fill(0, 0, 24, 1.0);  // band 29 is now the strongest and wider than the budget
    r.analyse(44100);
    EXPECT_EQ(r.noiseBands(), bandRange(24, 48));
}

// The choice looks at a group's first window; the energy sent is the band's mean per window of
// the group, since a decoder fills each of them with it.
TEST(NoiseBandSelection, ShortGroupsChooseOnTheirFirstWindowWithTheirOwnBudgetAndSendTheirMeanEnergy) {
    Records r(1, k44100, 12, {3, 5});  // bands 6..12; budget 96 - 28 = 68 = bands 6..11
    r.fill(0, 2, 12, 100.0);           // group 0's third window: not chosen on
    r.fill(0, 3, 12, 50.0);            // group 1's first window
    for (int b = 6; b <= 11; ++b) r.fill(0, 3, b, 14.0 - b);  // band 11 the weakest
    r.analyse(44100);
    EXPECT_EQ(r.noiseBands(0), std::vector<int>{12});
    EXPECT_EQ(r.noiseBands(1), std::vector<int>{11});
    EXPECT_EQ(r.coding[0].scaleOffset[12], 30);       // 16 lines of 100 in 1 of 3: 2 log2 53333 - 0.5
    EXPECT_EQ(r.coding[0].scaleOffset[14 + 11], 9);   // 16 lines of 3 in 1 of 5: 2 log2 28.8 - 0.5
}

TEST(NoiseEnergies, AreTwiceLog2OfTheBandEnergyLessHalfAndNeverNegative) {
    Records r(1, k44100, 20);  // no budget: every band of 20..47 is noise, however strong
    std::fill_n(r.coding[0].scaleOffset, 49, 77);
    std::fill_n(r.coding[0].codebook, 49, 9);
    r.fill(0, 0, 10, 100.0);
    r.fill(0, 0, 29, 8.0);    // energy 2048: 22 - 0.5 -> 21
    r.fill(0, 0, 25, 8.0);    // energy 1536: 21.17 - 0.5 -> 20
    r.fill(0, 0, 30, 0.1);    // energy 0.32: -3.79 -> 0
    r.fill(0, 0, 40, 1000.0);  // energy 3.2e7: 49.86 - 0.5 -> 49
    r.analyse(44100);
    const ChannelCoding& c = r.coding[0];
    EXPECT_EQ(r.noiseBands(), bandRange(20, 48));
    for (int b = 0; b < 49; ++b) EXPECT_EQ(c.codebook[b], b >= 20 && b < 48 ? NOISE_HCB : ZERO_HCB) << b;
    const std::pair<int, int> energies[] = {{10, 0}, {20, 0}, {25, 20}, {29, 21}, {30, 0}, {40, 49}};
    for (auto [band, energy] : energies) EXPECT_EQ(c.scaleOffset[band], energy) << band;
}

TEST(ZeroBandSubstitution, ChargesNineBitsPerLongBandCountedOverBothChannels) {
    Records r(2, k44100, 41);
    r.quantised(5, 24, 48);
    ChannelCoding& c0 = r.coding[0];
    ChannelCoding& c1 = r.coding[1];
    for (int b : {30, 31, 35, 40, 41, 42, 43, 44, 45, 46, 47, 48}) c0.codebook[b] = ZERO_HCB;
    for (int b : {32, 33, 34, 36, 37, 38, 39}) c0.codebook[b] = 7;
    for (int b : {35, 41, 42, 43, 44, 45, 46, 47}) c0.scaleOffset[b] = 0;  // these stay zero
    for (int b : {23, 25, 47, 48}) c1.codebook[b] = ZERO_HCB;  // 23 and 48 lie outside the range
    r.fill(0, 0, 30, 8.0);

    EXPECT_EQ(substituteZeroBands(r.coding, r.ics, r.buffers, nullptr), (3 + 2) * 9);
    for (int b = 0; b < 49; ++b) {
        EXPECT_EQ(c0.codebook[b] == NOISE_HCB, b == 30 || b == 31 || b == 40) << b;
        EXPECT_EQ(c1.codebook[b] == NOISE_HCB, b == 25 || b == 47) << b;
    }
    EXPECT_EQ(c0.scaleOffset[30], 21);
    EXPECT_EQ(c0.scaleOffset[31], 0);
    const std::pair<int, int> sections[] = {{0, 30}, {30, 2}, {32, 3}, {35, 1}, {36, 4}, {40, 1}, {41, 7}};
    for (auto [band, length] : sections) EXPECT_EQ(c0.sectionLength[band], length) << band;
}

TEST(ZeroBandSubstitution, ChargesSevenBitsPerShortBandAndSendsEachGroupsMeanEnergy) {
    Records r(1, k44100, 12, {4, 4});
    r.quantised(1, 6, 13);
    ChannelCoding& c = r.coding[0];
    for (int i : {7, 14 + 6, 14 + 12}) c.codebook[i] = ZERO_HCB;
    r.fill(0, 4, 6, 8.0);    // group 1's first window, 8 lines: energy 512
    r.fill(0, 5, 6, 100.0);  // its second: 80000
    EXPECT_EQ(substituteZeroBands(r.coding, r.ics, r.buffers, nullptr), 3 * 7);
    EXPECT_EQ(c.scaleOffset[14 + 6], 28);  // 80512 over 4 windows: 2 log2 20128 - 0.5
    const std::pair<int, int> sections[] = {{0, 7}, {7, 1}, {8, 5}, {14, 6}, {20, 1}, {21, 5}, {26, 1}};
    for (auto [i, length] : sections) EXPECT_EQ(c.sectionLength[i], length) << i;
}

TEST(ZeroBandSubstitution, WithMidSideSubstitutesBothChannelsOnLeftAndRightOrNeither) {
    Records r(2, k44100, 41);
    r.quantised(5, 24, 48);
    uint8_t msMask[kMaxBandEntries];
    std::fill_n(msMask, kMaxBandEntries, uint8_t{1});
    // 30: both channels zero; mid 4, side 2 -> left 6 (32 lines: 2 log2 1152 - 0.5 -> 19),
    // right 2 (2 log2 128 - 0.5 -> 13).
    r.coding[0].codebook[30] = r.coding[1].codebook[30] = ZERO_HCB;
    r.fill(0, 0, 30, 4.0);
    r.fill(1, 0, 30, 2.0);
    // 31: mid zero but side coded: substituting mid alone would make the right signal side.
    r.coding[0].codebook[31] = ZERO_HCB;
    r.fill(1, 0, 31, 3.0);
    // 33: side zero, mid coded: the side channel is never substituted on its own.
    r.coding[1].codebook[33] = ZERO_HCB;
    // 35: kept left/right (one channel was a noise band); each channel on its own spectrum.
    msMask[35] = 0;
    r.coding[0].codebook[35] = NOISE_HCB;
    r.coding[1].codebook[35] = ZERO_HCB;
    r.fill(1, 0, 35, 8.0);  // 32 lines of 8 -> 21

    EXPECT_EQ(substituteZeroBands(r.coding, r.ics, r.buffers, msMask), 3 * 9);
    for (int b = 24; b < 48; ++b) {
        EXPECT_EQ(r.coding[0].codebook[b] == NOISE_HCB, b == 30 || b == 35) << b;
        EXPECT_EQ(r.coding[1].codebook[b] == NOISE_HCB, b == 30 || b == 35) << b;
    }
    EXPECT_EQ(r.coding[0].scaleOffset[30], 19);
    EXPECT_EQ(r.coding[1].scaleOffset[30], 13);
    EXPECT_EQ(r.coding[1].scaleOffset[35], 21);
    EXPECT_EQ(r.coding[0].codebook[31], ZERO_HCB);
    EXPECT_EQ(r.coding[1].codebook[33], ZERO_HCB);
    // Both channels' sections are rebuilt around the new noise bands.
    EXPECT_EQ(r.coding[1].sectionLength[30], 1);
    EXPECT_EQ(r.coding[1].sectionLength[31], 2);
}

}  // namespace
}  // namespace varnel
