#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "analysis/block_switching.h"
#include "encoder/aac_encoder.h"
#include "records/band_tables.h"

namespace varnel {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr int kLookAhead = 1600;  // timeSamples[1600 .. 2623] feed the detectors

// One channel's detector with the encoder's initial records.
struct Channel {
    explicit Channel(int channels = 1, int32_t options = 0) {
        context.channels = channels;
        context.sampleRateIndex = 4;  // 44100 Hz
        context.bitReservoir = channels * kMaxBitsPerChannel;
        context.tnsOption = (options & kOptionTns) != 0;
        std::memset(buffer.get(), 0, sizeof *buffer);
        initIcsInfo(ics);
        initTransientDetector(detector);
    }
    void decide() { decideWindowSequence(*buffer, ics, detector, context); }
    // Shifts in one frame the way the pipeline does, then decides.
    void push(const std::vector<double>& frame) {
        double* h = buffer->timeSamples();
        for (int j = 0; j < 1024; ++j) {
            h[j] = h[1024 + j];
            h[1024 + j] = h[2048 + j];
            h[2048 + j] = frame[j];
        }
        decide();
    }
    std::unique_ptr<ChannelBuffer> buffer = std::make_unique<ChannelBuffer>();
    IcsInfo ics{};
    TransientDetector detector{};
    BlockSwitchingContext context{};
};

std::vector<double> noise(std::mt19937& rng, double amplitude, int length = 1024) {
    std::uniform_real_distribution<double> u(-amplitude, amplitude);
    std::vector<double> f(length);
    for (double& v : f) v = u(rng);
    return f;
}

std::vector<int> groupsOf(const IcsInfo& ics) {
    return std::vector<int>(ics.windowGroupLength, ics.windowGroupLength + ics.numWindowGroups);
}

TEST(BlockSwitching, HannAnalysisWindowIsRoundedToSixDecimals) {
    const double* h = hannAnalysisWindow();
    EXPECT_EQ(h[0], 0.0);
    EXPECT_EQ(h[1], 0.000246);
    EXPECT_EQ(h[128], 1.632993);
    for (int n = 1; n < 256; ++n) {
        EXPECT_EQ(h[n], h[256 - n]) << n;
        EXPECT_EQ(h[n], std::round(h[n] * 1e6) / 1e6) << n;
        EXPECT_NEAR(h[n], std::sqrt(8.0 / 3.0) * 0.5 * (1 - std::cos(2 * kPi * n / 256)), 5e-7) << n;
    }
}

TEST(BlockSwitching, SilenceStaysLongAndTheMeansDecay) {
    Channel ch;
    for (int i = 0; i < 60; ++i) {
        ch.push(std::vector<double>(1024, 0.0));
        ASSERT_EQ(ch.ics.windowSequence, ONLY_LONG_SEQUENCE);
        ASSERT_EQ(groupsOf(ch.ics), std::vector<int>{1});
        ASSERT_EQ(ch.ics.numSwb, numSwbLong[4]);
        ASSERT_EQ(ch.ics.swbOffsets, swbOffsetLong[4]);
    }
    EXPECT_NEAR(ch.detector.blockEnergyMean, 0.001, 1e-12);    // fixed point of 0.6 m + 0.0004
    for (double m : ch.detector.bandPowerMean) EXPECT_NEAR(m, 0.0001, 1e-12);  // of 0.3 m + 7e-05
    EXPECT_LT(ch.detector.frameEnergyMean, 1e-12);
    EXPECT_EQ(ch.detector.zeroCrossingCount, 1);
    EXPECT_EQ(ch.ics.attackRatio, 0.0);
}

TEST(BlockSwitching, ABurstGoesStartShortStopLong) {
    Channel ch;
    std::mt19937 rng(1);
    for (int i = 0; i < 20; ++i) ch.push(noise(rng, 30.0));
    ASSERT_EQ(ch.ics.windowSequence, ONLY_LONG_SEQUENCE);
    // New-frame samples 100..159 are look-ahead samples 548..607: short window 4.
    auto frame = noise(rng, 30.0);
    for (int i = 100; i < 160; ++i) frame[i] = (i % 2 ? 20000.0 : -20000.0);
    ch.push(frame);
    EXPECT_EQ(ch.ics.windowSequence, LONG_START_SEQUENCE);
    EXPECT_EQ(ch.ics.nextWindowSequence, EIGHT_SHORT_SEQUENCE);
    // The band detector's quarter 2 marks windows 4 and 5; the energy detector window 4.
    EXPECT_EQ(std::vector<int>(ch.ics.groupMarks, ch.ics.groupMarks + 8), (std::vector<int>{0, 0, 0, 0, 1, 1, 0, 0}));
    ch.push(noise(rng, 30.0));
    ASSERT_EQ(ch.ics.windowSequence, EIGHT_SHORT_SEQUENCE);
    EXPECT_EQ(ch.ics.numSwb, numSwbShort[4]);
    EXPECT_EQ(ch.ics.swbOffsets, swbOffsetShort[4]);
    EXPECT_EQ(groupsOf(ch.ics), (std::vector<int>{4, 1, 1, 2}));
    ch.push(noise(rng, 30.0));
    EXPECT_EQ(ch.ics.windowSequence, LONG_STOP_SEQUENCE);
    EXPECT_EQ(groupsOf(ch.ics), std::vector<int>{1});
    ch.push(noise(rng, 30.0));
    EXPECT_EQ(ch.ics.windowSequence, ONLY_LONG_SEQUENCE);
}

TEST(BlockSwitching, AZeroCrossingChangeAloneGivesOneGroupOfEight) {
    // A 200 Hz tone that turns into a 2000 Hz tone of the same level: far below the band
    // detector's bins (8.6 kHz up), no energy jump, ten times the crossings. A little noise
    // keeps the band means above what the change of frequency leaks into those bins.
    Channel ch;
    std::mt19937 rng(9);
    long t = 0;
    auto tone = [&](double hz) {
        std::vector<double> f = noise(rng, 40.0);
        for (double& v : f) v += 3000.0 * std::sin(2 * kPi * hz * static_cast<double>(t++) / 44100.0);
        return f;
    };
    for (int i = 0; i < 20; ++i) ch.push(tone(200.0));
    ASSERT_EQ(ch.ics.windowSequence, ONLY_LONG_SEQUENCE);
    ch.push(tone(2000.0));
    EXPECT_EQ(ch.ics.windowSequence, LONG_START_SEQUENCE);
    EXPECT_EQ(ch.detector.crossingOnlyAttack, 1);
    EXPECT_GT(ch.ics.attackRatio, 4.0);
    ch.push(tone(2000.0));
    ASSERT_EQ(ch.ics.windowSequence, EIGHT_SHORT_SEQUENCE);
    EXPECT_EQ(groupsOf(ch.ics), std::vector<int>{8});
    EXPECT_EQ(ch.ics.attackRatio, 0.0);
}

TEST(BlockSwitching, TheFirstLoudFrameAfterSilenceHasTheCrossingCountAsRatio) {
    Channel ch;
    std::mt19937 rng(2);
    for (int i = 0; i < 5; ++i) ch.push(std::vector<double>(1024, 0.0));
    ch.push(noise(rng, 5000.0));
    EXPECT_GT(ch.detector.zeroCrossingCount, 20);
    EXPECT_EQ(ch.ics.attackRatio, static_cast<double>(ch.detector.zeroCrossingCount));
}

TEST(BlockSwitching, GroupingExamples) {
    struct Example {
        std::vector<int> marked;
        std::vector<int> groups;
    };
    const std::vector<Example> examples = {
        {{}, {8}},
        {{0}, {1, 7}},
        {{1}, {1, 1, 6}},
        {{0, 1}, {1, 1, 6}},
        {{2, 3}, {2, 1, 1, 4}},
        {{0, 2}, {1, 1, 1, 5}},
        {{6, 7}, {6, 1, 1}},
        {{7}, {7, 1}},
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

// Crafted detector states with a look-ahead of noise, each making exactly one kind of attack
// (or none): the means decide which detector fires.
enum class Attack { None, Energy, Band, WeakBand, Crossing };

std::unique_ptr<Channel> crafted(Attack attack, int previous, int pending, int reservoir, int32_t options = kOptionTns,
                                 int channels = 1) {
    auto ch = std::make_unique<Channel>(channels, options);
    IcsInfo& ics = ch->ics;
    TransientDetector& detector = ch->detector;
    ics.windowSequence = previous;
    ics.nextWindowSequence = pending;
    ch->context.bitReservoir = reservoir;
    detector.blockEnergyMean = 1e6;  // no energy attack, and never quiet
    detector.zeroCrossingCount = 100000;
    for (double& m : detector.bandPowerMean) m = 1e12;
    std::mt19937 rng(4);
    const auto a = noise(rng, attack == Attack::Energy ? 20000.0 : 1000.0);
    if (attack != Attack::None) std::copy(a.begin(), a.end(), ch->buffer->timeSamples() + kLookAhead);
    switch (attack) {
    case Attack::Energy: detector.blockEnergyMean = detector.frameEnergyMean = 1e-6; break;
    case Attack::Band: for (double& m : detector.bandPowerMean) m = 1e-12; break;  // ten band attacks
    case Attack::WeakBand: for (int b = 0; b < 3; ++b) detector.bandPowerMean[b] = 1e-12; break;
    case Attack::Crossing: detector.zeroCrossingCount = 1; break;
    case Attack::None: break;
    }
    return ch;
}

// The window-sequence state machine, row by row: the sequence after each previous sequence
// 0..3, and the pending state it leaves.
TEST(BlockSwitching, StateMachine) {
    constexpr int kLow = 0, kFull = kMaxBitsPerChannel;
    struct Row {
        const char* what;
        Attack attack;
        int pending, reservoir;
        int32_t options;
        std::vector<int> sequence;  // for previous = 0, 1, 2, 3, fitted to the previous block
        std::vector<int> next;      // one value for all, or one per previous
        int weak;  // weakAttackPending afterwards
    };
    const std::vector<Row> rows = {
        {"no attack", Attack::None, 0, kFull, kOptionTns, {0, 3, 3, 0}, {0}, 0},
        {"energy attack", Attack::Energy, 0, kFull, kOptionTns, {1, 2, 2, 1}, {2}, 0},
        {"band attack, not strong", Attack::Band, 0, kFull, kOptionTns, {1, 2, 3, 1}, {2}, 0},
        {"energy attack, few bits, TNS", Attack::Energy, 0, kLow, kOptionTns, {1, 3, 2, 1}, {2}, 0},
        {"band attack, few bits, TNS", Attack::Band, 0, kLow, kOptionTns, {1, 3, 3, 1}, {0}, 0},
        {"band attack, few bits, no TNS", Attack::Band, 0, kLow, 0, {1, 2, 2, 1}, {2}, 1},
        {"crossings only, few bits", Attack::Crossing, 0, kLow, kOptionTns, {1, 2, 3, 1}, {2}, 0},
        {"pending, no attack", Attack::None, 2, kFull, kOptionTns, {1, 2, 3, 1}, {2, 3, 3, 3}, 0},
        {"pending, energy attack", Attack::Energy, 2, kFull, kOptionTns, {1, 2, 2, 1}, {2}, 0},
        {"pending, few bits", Attack::Energy, 2, kLow, kOptionTns, {0, 3, 3, 0}, {0}, 1},
        {"pending, few bits, crossings only", Attack::Crossing, 2, kLow, kOptionTns, {1, 2, 3, 1}, {2}, 0},
    };
    for (const Row& row : rows) {
        for (int previous = 0; previous < 4; ++previous) {
            auto ch = crafted(row.attack, previous, row.pending, row.reservoir, row.options);
            ch->decide();
            EXPECT_EQ(ch->ics.windowSequence, row.sequence[previous]) << row.what << ", after " << previous;
            EXPECT_EQ(ch->ics.nextWindowSequence, row.next[row.next.size() == 1 ? 0 : previous])
                << row.what << ", after " << previous;
            EXPECT_EQ(ch->detector.weakAttackPending, row.weak) << row.what << ", after " << previous;
            // A short block that stops for want of strength hands the attack to TNS.
            const bool stoppedShort = row.pending == 0 && previous == 2 && row.sequence[2] == 3 && row.attack != Attack::None;
            EXPECT_EQ(ch->ics.tnsWanted, stoppedShort ? 1 : 0) << row.what << ", after " << previous;
        }
    }
}

TEST(BlockSwitching, StrengthOfThePreviousCallKeepsShortBlocksShort) {
    for (int strength : {10, 11}) {
        auto ch = crafted(Attack::None, EIGHT_SHORT_SEQUENCE, EIGHT_SHORT_SEQUENCE, kMaxBitsPerChannel);
        ch->detector.attackStrength = static_cast<uint8_t>(strength);
        ch->decide();
        EXPECT_EQ(ch->ics.windowSequence, strength > 10 ? EIGHT_SHORT_SEQUENCE : LONG_STOP_SEQUENCE) << strength;
        EXPECT_EQ(ch->detector.attackStrength, 0);
    }
    auto energy = crafted(Attack::Energy, ONLY_LONG_SEQUENCE, ONLY_LONG_SEQUENCE, kMaxBitsPerChannel);
    energy->decide();
    EXPECT_EQ(energy->detector.attackStrength, 11);
    auto band = crafted(Attack::Band, ONLY_LONG_SEQUENCE, ONLY_LONG_SEQUENCE, kMaxBitsPerChannel);
    band->decide();
    EXPECT_EQ(band->detector.attackStrength, 10);
}

TEST(BlockSwitching, ReservoirFloors) {
    // A pending short block: 3072 per channel less 200 per unit of the previous strength, at
    // least 2000; at or below it the block stops, which after a LONG_STOP is an ONLY_LONG.
    struct Case {
        int channels, strength, floor;
    };
    for (const Case c : {Case{1, 0, 3072}, Case{2, 0, 6144}, Case{2, 7, 4744}, Case{1, 6, 2000}, Case{2, 30, 2000}}) {
        for (int reservoir : {c.floor, c.floor + 1}) {
            auto ch = crafted(Attack::Energy, LONG_STOP_SEQUENCE, EIGHT_SHORT_SEQUENCE, reservoir, kOptionTns, c.channels);
            ch->detector.attackStrength = static_cast<uint8_t>(c.strength);
            ch->decide();
            const bool cut = reservoir == c.floor;
            EXPECT_EQ(ch->ics.windowSequence, cut ? ONLY_LONG_SEQUENCE : LONG_START_SEQUENCE) << c.channels << " " << reservoir;
            EXPECT_EQ(ch->detector.weakAttackPending, cut ? 1 : 0);
        }
    }
    // No short block pending: the floor counts this call's band attacks (ten here), so a
    // started sequence goes short above 2000 bits in mono but only above 4144 in stereo.
    for (int channels : {1, 2}) {
        for (int reservoir : {2000, 2001, 4144, 4145}) {
            auto ch = crafted(Attack::Band, LONG_START_SEQUENCE, ONLY_LONG_SEQUENCE, reservoir, kOptionTns, channels);
            ch->decide();
            const bool enough = reservoir > (channels == 1 ? 2000 : 4144);
            EXPECT_EQ(ch->ics.windowSequence, enough ? EIGHT_SHORT_SEQUENCE : LONG_STOP_SEQUENCE)
                << channels << " " << reservoir;
        }
    }
}

TEST(BlockSwitching, AWeakAttackAsksForTnsOnTheNextCall) {
    auto ch = crafted(Attack::WeakBand, ONLY_LONG_SEQUENCE, ONLY_LONG_SEQUENCE, kMaxBitsPerChannel);
    ch->decide();
    EXPECT_EQ(ch->ics.windowSequence, ONLY_LONG_SEQUENCE);  // three band jumps are no attack
    EXPECT_EQ(ch->detector.attackStrength, 3);
    EXPECT_EQ(ch->detector.weakAttackPending, 1);
    EXPECT_EQ(ch->ics.tnsWanted, 0);
    ch->decide();  // the same look-ahead no longer jumps
    EXPECT_EQ(ch->ics.tnsWanted, 1);
    EXPECT_EQ(ch->detector.weakAttackPending, 0);
    ch->decide();
    EXPECT_EQ(ch->ics.tnsWanted, 0);

    // Without the TNS option the hint keeps its value and the memory stays set.
    auto off = crafted(Attack::WeakBand, ONLY_LONG_SEQUENCE, ONLY_LONG_SEQUENCE, kMaxBitsPerChannel, 0);
    off->decide();
    off->decide();
    EXPECT_EQ(off->ics.tnsWanted, 0);
    EXPECT_EQ(off->detector.weakAttackPending, 1);

    // Quiet input (block-energy mean at most 0.001) voids the band attacks.
    auto quiet = crafted(Attack::WeakBand, ONLY_LONG_SEQUENCE, ONLY_LONG_SEQUENCE, kMaxBitsPerChannel);
    quiet->detector.blockEnergyMean = 0.001;
    for (int i = kLookAhead; i < kLookAhead + 1024; ++i) quiet->buffer->timeSamples()[i] *= 0.01;
    quiet->decide();
    EXPECT_EQ(quiet->detector.weakAttackPending, 0);
    EXPECT_EQ(quiet->detector.attackStrength, 0);
}

TEST(BlockSwitching, GatesOfTheEnergyAndCrossingDetectors) {
    // A frame no louder than twice the running frame energy withdraws the energy attack but
    // keeps its marks for the next block's grouping.
    auto gated = crafted(Attack::Energy, ONLY_LONG_SEQUENCE, ONLY_LONG_SEQUENCE, kMaxBitsPerChannel);
    gated->detector.frameEnergyMean = 1e9;
    gated->decide();
    EXPECT_EQ(gated->ics.windowSequence, ONLY_LONG_SEQUENCE);
    EXPECT_EQ(gated->ics.groupMarks[0], 1);

    // The crossing ratio is against the previous count; a frame energy of 0.01 or less
    // (here about 0.003) makes no crossing attack.
    auto crossing = crafted(Attack::Crossing, ONLY_LONG_SEQUENCE, ONLY_LONG_SEQUENCE, kMaxBitsPerChannel);
    crossing->detector.zeroCrossingCount = 10;
    crossing->decide();
    EXPECT_EQ(crossing->ics.windowSequence, LONG_START_SEQUENCE);
    EXPECT_DOUBLE_EQ(crossing->ics.attackRatio, crossing->detector.zeroCrossingCount / 10.0);
    auto faint = crafted(Attack::Crossing, ONLY_LONG_SEQUENCE, ONLY_LONG_SEQUENCE, kMaxBitsPerChannel);
    for (int i = kLookAhead; i < kLookAhead + 1024; ++i) faint->buffer->timeSamples()[i] *= 0.1;
    faint->decide();
    EXPECT_EQ(faint->ics.windowSequence, ONLY_LONG_SEQUENCE);
    EXPECT_EQ(faint->ics.attackRatio, 0.0);
}

// The band powers by their definition: the rounded Hann window on each quarter, a direct
// DFT, |X[k]|^2 / 65536 summed over bins 50 + 6b .. 55 + 6b; the mean follows each quarter.
TEST(BlockSwitching, BandPowerMeansFollowTheirDefinition) {
    auto ch = crafted(Attack::None, ONLY_LONG_SEQUENCE, ONLY_LONG_SEQUENCE, kMaxBitsPerChannel);
    std::mt19937 rng(8);
    const auto quiet = noise(rng, 0.05, 256);  // a last quarter whose bands stay below 0.0001
    const auto loud = noise(rng, 1000.0, 768);
    double* a = ch->buffer->timeSamples() + kLookAhead;
    std::copy(loud.begin(), loud.end(), a);
    std::copy(quiet.begin(), quiet.end(), a + 768);
    for (double& m : ch->detector.bandPowerMean) m = 0.001;
    std::vector<double> mean(10, 0.001);
    for (int f = 0; f < 4; ++f) {
        for (int b = 0; b < 10; ++b) {
            double o = 0.0;
            for (int k = 50 + 6 * b; k < 56 + 6 * b; ++k) {
                double re = 0.0, im = 0.0;
                for (int j = 0; j < 256; ++j) {
                    const double x = a[256 * f + j] * hannAnalysisWindow()[j];
                    re += x * std::cos(2 * kPi * j * k / 256);
                    im += x * std::sin(2 * kPi * j * k / 256);
                }
                o += (re * re + im * im) / 65536;
            }
            ASSERT_EQ(f == 3, o < 0.0001) << f << " " << b;
            mean[b] = o < 0.0001 ? 0.3 * mean[b] + 7e-05 : 0.3 * mean[b] + 0.7 * o;
        }
    }
    ch->decide();
    for (int b = 0; b < 10; ++b) EXPECT_NEAR(ch->detector.bandPowerMean[b], mean[b], 1e-9 * mean[b]) << b;
}

TEST(BlockSwitching, ShortBlocksGroupWithTheMarksFoundOneFrameEarlier) {
    auto ch = crafted(Attack::Energy, LONG_START_SEQUENCE, EIGHT_SHORT_SEQUENCE, kMaxBitsPerChannel);
    ch->ics.groupMarks[2] = ch->ics.groupMarks[3] = 1;
    ch->decide();
    ASSERT_EQ(ch->ics.windowSequence, EIGHT_SHORT_SEQUENCE);
    EXPECT_EQ(groupsOf(ch->ics), (std::vector<int>{2, 1, 1, 4}));
    // This look-ahead's marks move on: its first block jumps over the crafted energy mean.
    EXPECT_EQ(std::vector<int>(ch->ics.groupMarks, ch->ics.groupMarks + 8), (std::vector<int>{1, 0, 0, 0, 0, 0, 0, 0}));

    // After a crossings-only attack the block is one group, whatever its marks.
    auto relaxed = crafted(Attack::Energy, LONG_START_SEQUENCE, EIGHT_SHORT_SEQUENCE, kMaxBitsPerChannel);
    relaxed->ics.groupMarks[2] = 1;
    relaxed->detector.crossingOnlyAttack = 1;
    relaxed->decide();
    EXPECT_EQ(groupsOf(relaxed->ics), std::vector<int>{8});
    EXPECT_EQ(relaxed->detector.crossingOnlyAttack, 0);
}

TEST(BlockSwitching, EveryCodedSequenceJoinsThePreviousBlock) {
    // For each previous sequence (rows) and wanted sequence (columns): what is coded.
    constexpr int32_t kCoded[4][4] = {
        {0, 1, 1, 0},  // after ONLY_LONG: LONG_STOP -> ONLY_LONG, EIGHT_SHORT -> LONG_START
        {3, 3, 2, 3},  // after LONG_START: a long block -> LONG_STOP
        {3, 3, 2, 3},  // after EIGHT_SHORT
        {0, 1, 1, 0},  // after LONG_STOP
    };
    for (int32_t previous = 0; previous < 4; ++previous) {
        for (int32_t wanted = 0; wanted < 4; ++wanted) {
            IcsInfo ics{};
            initIcsInfo(ics);
            ics.windowSequence = wanted;
            ics.swbOffsets = wanted == EIGHT_SHORT_SEQUENCE ? swbOffsetShort[4] : swbOffsetLong[4];
            ics.numSwb = wanted == EIGHT_SHORT_SEQUENCE ? numSwbShort[4] : numSwbLong[4];
            fitWindowSequence(ics, previous, 4);
            SCOPED_TRACE(::testing::Message() << "after " << previous << ", wanted " << wanted);
            EXPECT_EQ(ics.windowSequence, kCoded[previous][wanted]);
            const bool isShort = ics.windowSequence == EIGHT_SHORT_SEQUENCE;
            EXPECT_EQ(ics.swbOffsets, isShort ? swbOffsetShort[4] : swbOffsetLong[4]);
            if (!isShort) {
                EXPECT_EQ(groupsOf(ics), std::vector<int>{1});
            }
            // A short block that had to wait is still pending.
            EXPECT_EQ(ics.nextWindowSequence, wanted == EIGHT_SHORT_SEQUENCE && !isShort ? EIGHT_SHORT_SEQUENCE
                                                                                           : ONLY_LONG_SEQUENCE);
        }
    }
}

TEST(WindowSynchronisation, AShortBlockInEitherChannelMakesBothShort) {
    IcsInfo longInfo{}, shortInfo{};
    initIcsInfo(longInfo);
    initIcsInfo(shortInfo);
    longInfo.swbOffsets = swbOffsetLong[4];
    longInfo.numSwb = numSwbLong[4];
    longInfo.windowShape = WindowShape::Kbd;
    shortInfo.windowSequence = EIGHT_SHORT_SEQUENCE;
    shortInfo.swbOffsets = swbOffsetShort[4];
    shortInfo.numSwb = numSwbShort[4];
    shortInfo.numWindowGroups = 3;
    shortInfo.windowGroupLength[0] = 2;
    shortInfo.windowGroupLength[1] = 1;
    shortInfo.windowGroupLength[2] = 5;
    shortInfo.groupMarks[2] = 1;

    IcsInfo a = shortInfo, b = longInfo;  // channel 0 short: copied to channel 1
    synchroniseWindows(a, b);
    EXPECT_EQ(b.windowSequence, EIGHT_SHORT_SEQUENCE);
    EXPECT_EQ(b.nextWindowSequence, EIGHT_SHORT_SEQUENCE);
    EXPECT_EQ(groupsOf(b), (std::vector<int>{2, 1, 5}));
    EXPECT_EQ(b.swbOffsets, swbOffsetShort[4]);
    EXPECT_EQ(b.numSwb, numSwbShort[4]);
    EXPECT_EQ(b.groupMarks[2], 1);
    EXPECT_EQ(b.windowShape, WindowShape::Kbd);  // shapes are not copied

    IcsInfo c = longInfo, d = shortInfo;  // channel 1 short: copied to channel 0
    synchroniseWindows(c, d);
    EXPECT_EQ(c.windowSequence, EIGHT_SHORT_SEQUENCE);
    EXPECT_EQ(groupsOf(c), (std::vector<int>{2, 1, 5}));
    EXPECT_EQ(c.swbOffsets, swbOffsetShort[4]);
    EXPECT_EQ(c.windowShape, WindowShape::Kbd);
    EXPECT_EQ(d.nextWindowSequence, ONLY_LONG_SEQUENCE);

    IcsInfo e = longInfo, f = longInfo;  // neither short: channel 0 takes channel 1's
    f.windowSequence = LONG_STOP_SEQUENCE;
    synchroniseWindows(e, f);
    EXPECT_EQ(e.windowSequence, LONG_STOP_SEQUENCE);

    IcsInfo g = longInfo, h = longInfo;  // a short block pending in channel 0 only
    g.nextWindowSequence = EIGHT_SHORT_SEQUENCE;
    h.windowSequence = LONG_STOP_SEQUENCE;
    synchroniseWindows(g, h);
    EXPECT_EQ(h.windowSequence, ONLY_LONG_SEQUENCE);
    EXPECT_EQ(h.nextWindowSequence, EIGHT_SHORT_SEQUENCE);
}

}  // namespace
}  // namespace varnel
