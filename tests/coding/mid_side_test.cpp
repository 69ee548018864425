#include "coding/mid_side.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <vector>

#include "records/band_tables.h"

namespace varnel {
namespace {

constexpr int k44100 = 4;  // long bands 0..9 are 4 lines wide; 49 long, 14 short bands

// A channel pair at 44100 Hz; eight short windows when group lengths are given.
struct Pair {
    IcsInfo ics{};
    std::vector<double> left = std::vector<double>(kFrameLength, 0.0);
    std::vector<double> right = std::vector<double>(kFrameLength, 0.0);
    ElementInfo element{};
    double channelShare = 0.37;  // a value the tools must either keep or replace
    double midShare = -1.0;      // the decision's, handed to the conversion

    explicit Pair(std::vector<int> groups = {}) {
        const bool isShort = !groups.empty();
        ics.windowSequence = isShort ? EIGHT_SHORT_SEQUENCE : ONLY_LONG_SEQUENCE;
        ics.swbOffsets = isShort ? swbOffsetShort[k44100] : swbOffsetLong[k44100];
        ics.numSwb = isShort ? numSwbShort[k44100] : numSwbLong[k44100];
        if (!isShort) groups = {1};
        ics.numWindowGroups = static_cast<int>(groups.size());
        std::copy(groups.begin(), groups.end(), ics.windowGroupLength);
        std::fill(std::begin(element.msMask), std::end(element.msMask), 7);
    }
    // Lines [first, end) of window w (w = 0 for long blocks) set to l and r.
    void set(int first, int end, double l, double r, int w = 0) {
        for (int k = first; k < end; ++k) {
            left[kShortWindowLength * w + k] = l;
            right[kShortWindowLength * w + k] = r;
        }
    }
    int decide(int bandLimit) {
        const MidSideDecision d = decideMidSide(ics, bandLimit, left, right, channelShare);
        midShare = d.midShare;
        return d.result;
    }
    void apply(int bandCount, const uint8_t* keep = nullptr) {
        applyMidSide(ics, bandCount, left, right, midShare, element, channelShare, keep);
    }
    int maskCount() const {
        return static_cast<int>(std::count(std::begin(element.msMask), std::end(element.msMask), 1));
    }
};

TEST(MidSideDecision, IdenticalChannelsGiveZeroSideAndTheHighestLongShare) {
    Pair p;
    std::mt19937 rng(1);
    std::uniform_real_distribution<double> value(-500.0, 500.0);
    for (int k = 0; k < kFrameLength; ++k) p.left[k] = p.right[k] = value(rng);
    const std::vector<double> original = p.left;

    EXPECT_EQ(p.decide(41), kMidSideStrong);
    EXPECT_DOUBLE_EQ(p.midShare, 1.0);
    p.apply(41);
    const int lines = swbOffsetLong[k44100][41];
    for (int k = 0; k < lines; ++k) {
        ASSERT_EQ(p.right[k], 0.0) << k;
        ASSERT_DOUBLE_EQ(p.left[k], original[k]) << k;
    }
    EXPECT_EQ(p.right[lines], original[lines]);  // above the converted bands: untouched
    // Every band mid-dominated: d = 0.5 + 1/3, mRatio 1 takes the third rule, clamped.
    EXPECT_DOUBLE_EQ(p.channelShare, 0.9);
    EXPECT_EQ(p.element.msUsed, 1);
    EXPECT_EQ(p.element.msUsed, 1);
    EXPECT_EQ(p.maskCount(), 41);
    EXPECT_EQ(p.element.msMask[41], 7);
}

TEST(MidSideDecision, OppositeChannelsGiveZeroMid) {
    Pair p;
    for (int k = 0; k < 400; ++k) p.set(k, k + 1, 10.0 + k, -10.0 - k);
    EXPECT_EQ(p.decide(30), kMidSideStrong);
    EXPECT_EQ(p.midShare, 0.0);
    p.apply(30);
    for (int k = 0; k < swbOffsetLong[k44100][30]; ++k) {
        ASSERT_EQ(p.left[k], 0.0);
        ASSERT_EQ(p.right[k], 10.0 + k);
    }
}

TEST(MidSideDecision, ClassifiesByBalanceAndMidShare) {
    struct Case { double l0, r0, l1, r1; int result; double midShare; };
    // Line 0 carries mid l0 = r0, line 1 side l1 = -r1, so midShare = l0 / (l0 + l1) when the
    // channels are balanced; the unbalanced cases give the left channel 70 % of the magnitude.
    const Case cases[] = {
        {62, 62, 38, -38, kMidSideModerate, 0.62},
        {85, 85, 15, -15, kMidSideStrong, 0.85},
        {55, 55, 45, -45, kMidSideUnused, 0.55},   // mid and side alike
        {70, 30, 0, 0, kMidSideUnused, 50.0 / 70},  // strongly mid, but unbalanced
        {7, 3, 63, -27, kMidSideUnused, 23.0 / 70},  // unbalanced, moderately side
    };
    for (const Case& c : cases) {
        Pair p;
        p.set(0, 1, c.l0, c.r0);
        p.set(1, 2, c.l1, c.r1);
        EXPECT_EQ(p.decide(10), c.result) << c.l0 << " " << c.l1;
        EXPECT_NEAR(p.midShare, c.midShare, 1e-12);
        // The share is reset only when mid/side is not used.
        EXPECT_EQ(p.channelShare, c.result == kMidSideUnused ? 0.5 : 0.37);
    }
}

TEST(MidSideDecision, SumsOnlyTheCodedRange) {
    Pair silent;
    EXPECT_EQ(silent.decide(49), kMidSideSilent);
    EXPECT_EQ(silent.channelShare, 0.5);

    Pair p;
    p.midShare = 0.8;
    p.set(0, 1024, 100.0, 100.0);
    EXPECT_EQ(p.decide(0), kMidSideSilent);  // bandLimit 0 sums nothing
    EXPECT_EQ(p.midShare, 0.0);

    Pair q;
    q.set(0, 40, 5.0, 5.0);        // bands 0..9: pure mid
    q.set(40, 1024, 50.0, -50.0);  // above bandLimit 10: loud side, ignored
    EXPECT_EQ(q.decide(10), kMidSideStrong);
    EXPECT_EQ(q.midShare, 1.0);
}

TEST(MidSideDecision, ShortBlocksSumEveryWindowOfEveryGroupBelowBandLimit) {
    Pair p({3, 5});
    p.set(0, 20, 4.0, 4.0, 7);      // the last window: bands 0..4 pure mid
    p.set(20, 128, 9.0, -9.0, 7);   // bands 5..13: side, above bandLimit
    EXPECT_EQ(p.decide(5), kMidSideStrong);
    EXPECT_EQ(p.midShare, 1.0);
}

TEST(MidSideShare, LongBlockRules) {
    struct Case { double l, r; double share; };
    // Every line alike in all bands 0..9 (4 lines each): a band's r is the mid ratio.
    const Case cases[] = {
        {1.0, 0.8, 0.9},                           // r 0.9: third rule, mRatio 0.9
        {1.0, 0.2, 0.2 * (0.5 + 1.0 / 3) + 0.8 * 0.6},  // r 0.6: d > mRatio, first rule
        {1.0, 0.0, 0.5},                           // r 0.5: neither mid nor side dominated
        {1.0, -0.8, 0.5 - 1.0 / 3},                // r 0.1: d = 1/6, no rule
    };
    for (const Case& c : cases) {
        Pair p;
        p.set(0, 40, c.l, c.r);
        p.apply(10);
        EXPECT_NEAR(p.channelShare, c.share, 1e-12) << c.l << " " << c.r;
    }
    // Second rule: bands 0..4 loud mid, 5..9 quiet side: d = 0.5, mRatio = 200 / 220.
    Pair p;
    p.set(0, 20, 10.0, 10.0);
    p.set(20, 40, 1.0, -1.0);
    p.apply(10);
    EXPECT_NEAR(p.channelShare, (0.5 + 200.0 / 220.0) * 0.5, 1e-12);
}

TEST(MidSideShare, NoiseSubstitutionConvertsAllLongBands) {
    Pair p;
    EXPECT_EQ(midSideBandCount(p.ics, 30, kOptionTns), 30);
    EXPECT_EQ(midSideBandCount(p.ics, 30, kOptionTns | kOptionPns), 49);
}

TEST(MidSideShare, ShortBlocksConvertAllBandsAndBlendTheShare) {
    // The share is the mean of the entry share and the decision's midShare, within [0.3, 0.7].
    struct Case { double entryShare, midShare, share; };
    const Case cases[] = {{0.5, 0.9, 0.7}, {0.9, 0.9, 0.7}, {0.2, 0.3, 0.3}, {0.5, 0.6, 0.55}};
    for (const Case& c : cases) {
        Pair p({2, 2, 4});
        std::mt19937 rng(7);
        std::uniform_real_distribution<double> value(-100.0, 100.0);
        for (int k = 0; k < kFrameLength; ++k) p.left[k] = value(rng), p.right[k] = value(rng);
        const std::vector<double> l = p.left, r = p.right;
        p.channelShare = c.entryShare;
        p.midShare = c.midShare;
        p.apply(3);  // the band count does not limit short blocks
        EXPECT_NEAR(p.channelShare, c.share, 1e-12);
        EXPECT_EQ(p.maskCount(), 3 * 14);
        EXPECT_EQ(p.element.msMask[3 * 14], 7);
        for (int k = 0; k < kFrameLength; ++k) {  // a decoder's L = M + S, R = M - S
            ASSERT_NEAR(p.left[k] + p.right[k], l[k], 1e-12);
            ASSERT_NEAR(p.left[k] - p.right[k], r[k], 1e-12);
        }
    }
}

TEST(MidSideShare, BandsOnlyOneChannelSendsAsNoiseStayLeftRight) {
    ChannelCoding first{}, second{};
    Pair longPair;
    first.noiseFlag[30] = first.noiseFlag[31] = 1;
    second.noiseFlag[31] = second.noiseFlag[33] = 1;
    uint8_t keep[kMaxBandEntries] = {};
    noiseMismatch(first, second, longPair.ics, keep);
    for (int b = 0; b < 49; ++b) EXPECT_EQ(keep[b], b == 30 || b == 33) << b;

    longPair.set(0, kFrameLength, 10.0, 6.0);
    longPair.apply(49, keep);
    for (int b = 0; b < 49; ++b) {
        EXPECT_EQ(longPair.element.msMask[b], b == 30 || b == 33 ? 0 : 1) << b;
        const int k = longPair.ics.swbOffsets[b];
        EXPECT_EQ(longPair.left[k], b == 30 || b == 33 ? 10.0 : 8.0) << b;
        EXPECT_EQ(longPair.right[k], b == 30 || b == 33 ? 6.0 : 2.0) << b;
    }

    Pair shortPair({4, 4});
    std::fill_n(keep, kMaxBandEntries, uint8_t{0});
    keep[14 + 5] = 1;  // group 1, band 5
    shortPair.set(0, 128, 10.0, 6.0, 4);
    shortPair.apply(0, keep);
    EXPECT_EQ(shortPair.maskCount(), 2 * 14 - 1);
    EXPECT_EQ(shortPair.element.msMask[14 + 5], 0);
    const int line = 4 * kShortWindowLength + shortPair.ics.swbOffsets[5];
    EXPECT_EQ(shortPair.left[line], 10.0);
    EXPECT_EQ(shortPair.left[4 * kShortWindowLength], 8.0);  // band 0 of the same window converted
}

}  // namespace
}  // namespace varnel
