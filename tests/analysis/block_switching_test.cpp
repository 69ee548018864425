#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "analysis/block_switching.h"
#include "encoder/band_tables.h"

namespace varnel {
namespace {

constexpr double kPi = 3.14159265358979323846;

// One channel's detector fed frame by frame the way the pipeline shifts its history.
struct Channel {
    explicit Channel(int channels = 1, int32_t options = 0) {
        encoder.channels = channels;
        encoder.sampleRateIndex = 4;  // 44100 Hz
        encoder.bitReservoir = channels * kMaxBitsPerChannel;
        encoder.options = options;
        std::memset(buffer.get(), 0, sizeof *buffer);
        initIcsInfo(ics);
    }
    // Shifts in one frame of new samples and decides.
    void push(const std::vector<double>& frame) {
        double* h = buffer->timeSamples;
        std::memmove(h, h + 1024, 2048 * sizeof(double));
        std::copy(frame.begin(), frame.end(), h + 2048);
        decideWindowSequence(*buffer, ics, encoder);
    }
    std::unique_ptr<ChannelBuffer> buffer = std::make_unique<ChannelBuffer>();
    IcsInfo ics{};
    AacEncoder encoder;
};

std::vector<double> quietNoise(std::mt19937& rng, double amplitude = 30.0) {
    std::uniform_real_distribution<double> u(-amplitude, amplitude);
    std::vector<double> f(1024);
    for (double& v : f) v = u(rng);
    return f;
}

// A tone over a little noise; the noise keeps the band detector's means above what the
// tone's change of frequency leaks into its bins.
std::vector<double> tone(double freq, long& phase, double amplitude = 3000.0) {
    static std::mt19937 rng(9);
    std::uniform_real_distribution<double> u(-40.0, 40.0);
    std::vector<double> f(1024);
    for (double& v : f) v = amplitude * std::sin(2 * kPi * freq * static_cast<double>(phase++) / 44100.0) + u(rng);
    return f;
}

std::vector<int> groupsOf(const IcsInfo& ics) {
    return std::vector<int>(ics.windowGroupLength, ics.windowGroupLength + ics.numWindowGroups);
}

TEST(BlockSwitching, SilenceStaysLongAndTheMeansDecay) {
    Channel ch;
    for (int i = 0; i < 60; ++i) {
        ch.push(std::vector<double>(1024, 0.0));
        ASSERT_EQ(ch.ics.windowSequence, ONLY_LONG_SEQUENCE);
        ASSERT_EQ(ch.ics.numWindowGroups, 1);
        ASSERT_EQ(ch.ics.windowGroupLength[0], 1);
        ASSERT_EQ(ch.ics.numSwb, numSwbLong[4]);
        ASSERT_EQ(ch.ics.swbOffsets, swbOffsetLong[4]);
    }
    EXPECT_NEAR(ch.ics.blockEnergyMean, 0.001, 1e-9);  // fixed point of 0.6 m + 0.0004
    EXPECT_NEAR(ch.ics.bandPowerMean[3], 0.0001, 1e-9);  // fixed point of 0.3 m + 7e-05
    EXPECT_LT(ch.ics.frameEnergyMean, 1e-12);
    EXPECT_EQ(ch.ics.zeroCrossingCount, 1);
    EXPECT_EQ(ch.ics.attackRatio, 0.0);
}

TEST(BlockSwitching, ABurstGoesStartShortStopLong) {
    Channel ch;
    std::mt19937 rng(1);
    for (int i = 0; i < 20; ++i) ch.push(quietNoise(rng));
    ASSERT_EQ(ch.ics.windowSequence, ONLY_LONG_SEQUENCE);
    auto frame = quietNoise(rng);
    for (int i = 100; i < 160; ++i) frame[i] = 20000.0 * ((i % 2) ? 1 : -1);  // look-ahead index 548..607
    ch.push(frame);
    EXPECT_EQ(ch.ics.windowSequence, LONG_START_SEQUENCE);
    EXPECT_EQ(ch.ics.nextWindowSequence, EIGHT_SHORT_SEQUENCE);
    ch.push(quietNoise(rng));
    ASSERT_EQ(ch.ics.windowSequence, EIGHT_SHORT_SEQUENCE);
    EXPECT_EQ(ch.ics.numSwb, numSwbShort[4]);
    EXPECT_EQ(ch.ics.swbOffsets, swbOffsetShort[4]);
    // Window 4 holds the burst: it stands alone.
    EXPECT_GT(ch.ics.numWindowGroups, 1);
    int start = 0;
    bool alone = false;
    for (int g = 0; g < ch.ics.numWindowGroups; ++g) {
        if (start == 4 && ch.ics.windowGroupLength[g] == 1) alone = true;
        start += ch.ics.windowGroupLength[g];
    }
    EXPECT_EQ(start, 8);
    EXPECT_TRUE(alone);
    ch.push(quietNoise(rng));
    EXPECT_EQ(ch.ics.windowSequence, LONG_STOP_SEQUENCE);
    ch.push(quietNoise(rng));
    EXPECT_EQ(ch.ics.windowSequence, ONLY_LONG_SEQUENCE);
    EXPECT_EQ(ch.ics.numWindowGroups, 1);
}

TEST(BlockSwitching, AZeroCrossingChangeAloneGivesOneGroupOfEight) {
    Channel ch;
    long phase = 0;
    for (int i = 0; i < 20; ++i) ch.push(tone(200.0, phase));
    ASSERT_EQ(ch.ics.windowSequence, ONLY_LONG_SEQUENCE);
    // Same level, ten times the crossings, far below the band detector's bins (8.6 kHz up).
    int seen = 0;
    for (int i = 0; i < 4 && ch.ics.windowSequence != EIGHT_SHORT_SEQUENCE; ++i, ++seen) ch.push(tone(2000.0, phase));
    ASSERT_EQ(ch.ics.windowSequence, EIGHT_SHORT_SEQUENCE) << seen;
    EXPECT_EQ(groupsOf(ch.ics), std::vector<int>{8});
}

TEST(BlockSwitching, GroupingExamples) {
    struct Example {
        std::vector<int> marked;
        std::vector<int> groups;
    };
    const std::vector<Example> examples = {
        {{}, {8}},           {{0}, {1, 7}},          {{1}, {1, 1, 6}},    {{0, 1}, {1, 1, 6}},
        {{2, 3}, {2, 1, 1, 4}}, {{0, 2}, {1, 1, 1, 5}}, {{6, 7}, {6, 1, 1}}, {{7}, {7, 1}},
        {{0, 1, 2, 3, 4, 5, 6, 7}, {1, 1, 1, 1, 1, 1, 1, 1}},
    };
    for (const Example& e : examples) {
        int32_t marks[8] = {};
        for (int w : e.marked) marks[w] = 1;
        int32_t lengths[8] = {};
        const int n = groupShortWindows(marks, lengths);
        EXPECT_EQ(std::vector<int>(lengths, lengths + n), e.groups);
    }
}

// A crafted state: the block about to be decided follows `previous`, with a pending short
// block or not, and a look-ahead that holds a loud burst (or silence).
std::unique_ptr<Channel> crafted(int channels, int32_t options, int previous, int pending, int reservoir,
                                 bool burst) {
    auto owned = std::make_unique<Channel>(channels, options);
    Channel& ch = *owned;
    ch.ics.windowSequence = previous;
    ch.ics.nextWindowSequence = pending;
    ch.ics.blockEnergyMean = 0.0005;
    ch.ics.frameEnergyMean = 0.001;
    ch.encoder.bitReservoir = reservoir;
    if (burst)
        for (int i = 1700; i < 1760; ++i) ch.buffer->timeSamples[i] = 20000.0 * ((i % 2) ? 1 : -1);
    return owned;
}

void decide(Channel& ch) { decideWindowSequence(*ch.buffer, ch.ics, ch.encoder); }

TEST(BlockSwitching, ALowReservoirCutsAPendingShortBlockToAStop) {
    for (int previous : {ONLY_LONG_SEQUENCE, LONG_START_SEQUENCE, EIGHT_SHORT_SEQUENCE, LONG_STOP_SEQUENCE}) {
        auto ch = crafted(1, 0, previous, EIGHT_SHORT_SEQUENCE, 3072, true);
        decide(*ch);
        EXPECT_EQ(ch->ics.windowSequence, LONG_STOP_SEQUENCE) << previous;
        EXPECT_EQ(ch->ics.nextWindowSequence, ONLY_LONG_SEQUENCE);
        EXPECT_EQ(ch->ics.weakAttackPending, 1);
    }
    // Just above the floor the pending short block goes ahead.
    auto ch = crafted(1, 0, LONG_START_SEQUENCE, EIGHT_SHORT_SEQUENCE, 3073, true);
    decide(*ch);
    EXPECT_EQ(ch->ics.windowSequence, EIGHT_SHORT_SEQUENCE);
}

TEST(BlockSwitching, TheReservoirFloorScalesWithTheChannels) {
    // 4000 bits: above the mono floor (3072), below the stereo floor (6144).
    auto mono = crafted(1, kOptionTns, LONG_START_SEQUENCE, ONLY_LONG_SEQUENCE, 4000, true);
    auto stereo = crafted(2, kOptionTns, LONG_START_SEQUENCE, ONLY_LONG_SEQUENCE, 4000, true);
    decide(*mono);
    decide(*stereo);
    EXPECT_EQ(mono->ics.windowSequence, EIGHT_SHORT_SEQUENCE);
    EXPECT_EQ(stereo->ics.windowSequence, LONG_STOP_SEQUENCE);  // the started sequence stays long
    EXPECT_EQ(stereo->ics.nextWindowSequence, EIGHT_SHORT_SEQUENCE);  // an energy attack
    // Without the TNS option a started sequence goes short anyway and the attack is remembered.
    auto plain = crafted(2, 0, LONG_START_SEQUENCE, ONLY_LONG_SEQUENCE, 4000, true);
    decide(*plain);
    EXPECT_EQ(plain->ics.windowSequence, EIGHT_SHORT_SEQUENCE);
    EXPECT_EQ(plain->ics.weakAttackPending, 1);
}

TEST(BlockSwitching, AWeakAttackAsksForTnsOnTheNextCall) {
    auto ch = crafted(1, kOptionTns, ONLY_LONG_SEQUENCE, ONLY_LONG_SEQUENCE, 6144, false);
    ch->ics.weakAttackPending = 1;
    decide(*ch);
    EXPECT_EQ(ch->ics.tnsWanted, 1);
    EXPECT_EQ(ch->ics.weakAttackPending, 0);
    decide(*ch);
    EXPECT_EQ(ch->ics.tnsWanted, 0);
    // Without the option the hint is left alone.
    auto off = crafted(1, 0, ONLY_LONG_SEQUENCE, ONLY_LONG_SEQUENCE, 6144, false);
    off->ics.weakAttackPending = 1;
    off->ics.tnsWanted = 1;
    decide(*off);
    EXPECT_EQ(off->ics.tnsWanted, 1);
    EXPECT_EQ(off->ics.weakAttackPending, 1);
}

TEST(WindowSynchronisation, AShortBlockInEitherChannelMakesBothShort) {
    IcsInfo longInfo{}, shortInfo{};
    initIcsInfo(longInfo);
    initIcsInfo(shortInfo);
    longInfo.windowSequence = ONLY_LONG_SEQUENCE;
    longInfo.swbOffsets = swbOffsetLong[4];
    longInfo.numSwb = numSwbLong[4];
    longInfo.windowShape = 1;
    shortInfo.windowSequence = EIGHT_SHORT_SEQUENCE;
    shortInfo.swbOffsets = swbOffsetShort[4];
    shortInfo.numSwb = numSwbShort[4];
    shortInfo.numWindowGroups = 3;
    shortInfo.windowGroupLength[0] = 2;
    shortInfo.windowGroupLength[1] = 1;
    shortInfo.windowGroupLength[2] = 5;
    shortInfo.groupMarks[2] = 1;

    IcsInfo a = shortInfo, b = longInfo;
    synchroniseWindows(a, b);
    EXPECT_EQ(b.windowSequence, EIGHT_SHORT_SEQUENCE);
    EXPECT_EQ(b.nextWindowSequence, EIGHT_SHORT_SEQUENCE);
    EXPECT_EQ(groupsOf(b), (std::vector<int>{2, 1, 5}));
    EXPECT_EQ(b.swbOffsets, swbOffsetShort[4]);
    EXPECT_EQ(b.groupMarks[2], 1);
    EXPECT_EQ(b.windowShape, 1);  // shapes are not copied

    IcsInfo c = longInfo, d = shortInfo;
    synchroniseWindows(c, d);
    EXPECT_EQ(c.windowSequence, EIGHT_SHORT_SEQUENCE);
    EXPECT_EQ(groupsOf(c), (std::vector<int>{2, 1, 5}));
    EXPECT_EQ(c.windowShape, 1);

    IcsInfo e = longInfo, f = longInfo;
    f.windowSequence = LONG_STOP_SEQUENCE;
    synchroniseWindows(e, f);
    EXPECT_EQ(e.windowSequence, LONG_STOP_SEQUENCE);

    IcsInfo g = longInfo, h = longInfo;
    g.nextWindowSequence = EIGHT_SHORT_SEQUENCE;  // pending in channel 0 only
    h.windowSequence = LONG_STOP_SEQUENCE;
    synchroniseWindows(g, h);
    EXPECT_EQ(h.windowSequence, ONLY_LONG_SEQUENCE);
    EXPECT_EQ(h.nextWindowSequence, EIGHT_SHORT_SEQUENCE);
}

}  // namespace
}  // namespace varnel
