// The perceptual rate control's invariants: a channel's count fits its target and is what the
// writer would count, its scalefactors are codable, with bits to spare every coded band's
// noise lies under its threshold; the frame's bits never borrow more than the reservoir holds
// and keep the rate; mid/side goes only to balanced, related bands.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "bitstream/codebooks.h"
#include "coding/perceptual_bands.h"
#include "coding/perceptual_rate_control.h"
#include "coding/rate_control.h"
#include "records/aac_syntax.h"
#include "records/band_tables.h"

namespace varnel {
namespace {

constexpr int kRate = 44100;
constexpr int kBitLimit = kMaxBitsPerChannel - 200;

IcsInfo longIcs() {
    IcsInfo ics{};
    int index = 0;
    while (sampleRateTable[index] != kRate) ++index;
    ics.windowSequence = ONLY_LONG_SEQUENCE;
    ics.swbOffsets = swbOffsetLong[index];
    ics.numSwb = numSwbLong[index];
    ics.numWindowGroups = 1;
    ics.windowGroupLength[0] = 1;
    return ics;
}

// MDCT-like lines: a tone as a peak with decaying neighbours, noise as Gaussian lines, a chord
// as three tones over faint noise.
std::vector<double> spectrum(const std::string& kind) {
    std::mt19937 rng(11);
    std::normal_distribution<double> normal(0.0, 1.0);
    std::vector<double> x(kFrameLength, 0.0);
    auto tone = [&](int line, double peak) {
        for (int d = -12; d <= 12; ++d)
            if (line + d >= 0 && line + d < kFrameLength) x[line + d] += peak / (1.0 + d * d) * (d % 2 ? -1 : 1);
    };
    if (kind != "noise") tone(46, 4e6);
    if (kind == "chord") {
        tone(15, 2e6);
        tone(115, 1e6);
    }
    if (kind != "tone")
        for (int k = 0; k < 700; ++k) x[k] += (kind == "noise" ? 3e4 : 2e3) * normal(rng) / (1.0 + k / 200.0);
    return x;
}

// Thresholds as a model might give them: per band its energy less an SMR between 8 and 30 dB
// (tonal bands the most), never below a floor; tonality from the peak-to-mean ratio.
MaskingResult thresholds(const IcsInfo& ics, const std::vector<double>& x) {
    MaskingResult m{};
    for (int b = 0; b < ics.numSwb; ++b) {
        double e = 0.0, peak = 0.0;
        for (int k = ics.swbOffsets[b]; k < ics.swbOffsets[b + 1]; ++k) {
            e += x[k] * x[k];
            peak = std::max(peak, x[k] * x[k]);
        }
        const int n = ics.swbOffsets[b + 1] - ics.swbOffsets[b];
        m.energy[b] = e;
        m.tonality[b] = e > 0.0 ? std::min(1.0, (peak * n / e - 1.0) / (n - 1.0 + 1e-9) * 2.0) : 0.0;
        m.threshold[b] = std::max(e * std::pow(10.0, -(8.0 + 22.0 * m.tonality[b]) / 10.0), 1e4);
    }
    return m;
}

struct Coded {
    IcsInfo ics;
    std::vector<double> x;
    MaskingResult masking;
    ChannelCoding coding;
};

// A channel of `kind` quantised to `target` bits, with noise bands (at 32 kbit/s) or without.
Coded code(const std::string& kind, int target, bool noise) {
    Coded c{};
    c.ics = longIcs();
    c.x = spectrum(kind);
    c.masking = thresholds(c.ics, c.x);
    choosePerceptualBands(c.coding, c.ics, c.masking, kRate, noise ? 32000 : 64000, noise);
    BandStats stats;
    measureBands(c.x, c.ics, stats);
    setNoiseEnergies(c.coding, c.ics, stats);
    c.coding.targetBits = target;
    int32_t gainAbove = 0;
    quantisePerceptual(c.coding, c.ics, c.x, stats, c.masking, noise, 0.0, kBitLimit, gainAbove);
    return c;
}

// Transmitted scalefactors of the coded ordinary bands, in stream order.
std::vector<int> scalefactors(const Coded& c) {
    std::vector<int> sf;
    for (int b = 0; b < c.coding.maxSfb; ++b) {
        const int cb = c.coding.codebook[b];
        if (cb != ZERO_HCB && cb != NOISE_HCB) sf.push_back(c.coding.globalGain + kGlobalGainOffset - c.coding.scaleOffset[b]);
    }
    return sf;
}

struct Case {
    const char* kind;
    bool noise;
};

class PerceptualChannel : public ::testing::TestWithParam<Case> {};

TEST_P(PerceptualChannel, CountFitsTargetIsExactAndScalefactorsAreCodable) {
    const auto [kind, noise] = GetParam();
    for (int target : {60, 300, 900, 2500, 5500}) {
        SCOPED_TRACE(::testing::Message() << kind << ", target " << target);
        Coded c = code(kind, target, noise);
        // Noise energies may add to the target (the reservoir pays), never past the limit.
        EXPECT_LE(c.coding.usedBits, noise ? kBitLimit : target);
        const int counted = c.coding.usedBits;
        EXPECT_EQ(countChannelBits(c.coding, c.ics, noise), counted);
        int previous = c.coding.globalGain + kGlobalGainOffset;
        for (int sf : scalefactors(c)) {
            EXPECT_GE(sf, 0);
            EXPECT_LE(sf, 255);
            EXPECT_LE(std::abs(sf - previous), kScalefactorIndexOffset);
            previous = sf;
        }
    }
}

TEST_P(PerceptualChannel, WithBitsToSpareNoiseStaysUnderTheThresholds) {
    const auto [kind, noise] = GetParam();
    Coded c = code(kind, 5500, noise);
    ASSERT_LT(c.coding.usedBits, 5500) << "the thresholds must be met with bits left";
    for (int b = 0; b < c.coding.bandLimit; ++b) {
        if (c.coding.codebook[b] == NOISE_HCB) continue;
        const double scale = std::exp2(0.25 * (c.coding.globalGain - c.coding.scaleOffset[b]));
        double error = 0.0;
        for (int k = c.ics.swbOffsets[b]; k < c.ics.swbOffsets[b + 1]; ++k) {
            const double q = std::abs(c.coding.quantSpectrum[k]);
            const double d = std::fabs(c.x[k]) - scale * q * std::cbrt(q);
            error += d * d;
        }
        EXPECT_LE(error, c.masking.threshold[b]) << "band " << b;
    }
}

INSTANTIATE_TEST_SUITE_P(Signals, PerceptualChannel,
                         ::testing::Values(Case{"tone", false}, Case{"chord", false}, Case{"noise", false},
                                           Case{"noise", true}, Case{"chord", true}));

// Over a run of easy, hard and silent frames the frame total stays within its bounds, never
// borrows what the reservoir does not hold, and the spent total keeps the mean rate.
TEST(PerceptualFrameBits, BorrowOnlyWhatTheReservoirHoldsAndKeepTheRate) {
    for (const int channels : {1, 2}) {
        PerceptualState state;
        const int32_t mean = 1486;
        const int32_t cap = channels * kMaxBitsPerChannel;
        const int32_t limit = cap - 300;
        BitReservoir reservoir(cap, cap);
        std::mt19937 rng(channels);
        std::uniform_real_distribution<double> u(0.0, 1.0);
        long spent = 0;
        const int frames = 2000;
        for (int f = 0; f < frames; ++f) {
            const double entropy = u(rng) < 0.1 ? 0.0 : (u(rng) < 0.1 ? 20000.0 : 1500.0 * (0.5 + u(rng)));
            const int32_t before = reservoir.bits();
            const int total = perceptualFrameBits(state, entropy, mean, channels, reservoir, limit);
            ASSERT_GE(total, 0);
            ASSERT_LE(total, limit);
            ASSERT_LE(total, channels * mean + std::max(before, 0));
            ASSERT_EQ(reservoir.bits(), before - (total - channels * mean));
            ASSERT_LE(reservoir.bits(), cap);
            const int used = static_cast<int>(total * (0.8 + 0.2 * u(rng)));
            reservoir.charge(total - used);
            reservoir.cap();
            spent += used;
        }
        EXPECT_LE(spent, static_cast<long>(frames) * channels * mean + cap);
        EXPECT_GE(spent, static_cast<long>(frames) * channels * mean * 0.8);
    }
}

TEST(PerceptualMidSide, OnlyBalancedRelatedBandsThatAreNotNoise) {
    const IcsInfo ics = longIcs();
    const std::vector<double> left = spectrum("chord");
    const MaskingResult masking = thresholds(ics, left);
    const uint8_t none[kMaxBandEntries] = {};
    uint8_t keep[kMaxBandEntries];
    const int bands = 40;

    // Identical channels: side is zero, every band with content is cheaper as mid/side.
    const int same = chooseMidSideBands(ics, bands, left, left, masking, masking, none, none, keep);
    EXPECT_GT(same, bands / 2);
    for (int b = bands; b < ics.numSwb; ++b) EXPECT_EQ(keep[b], 1);

    // One channel silent: unbalanced everywhere, no band converts.
    const double silence[kFrameLength] = {};
    EXPECT_EQ(chooseMidSideBands(ics, bands, left, silence, masking, masking, none, none, keep), 0);

    // Noise bands stay left/right.
    uint8_t noiseBands[kMaxBandEntries] = {};
    for (int b = 0; b < bands; b += 2) noiseBands[b] = 1;
    chooseMidSideBands(ics, bands, left, left, masking, masking, noiseBands, none, keep);
    for (int b = 0; b < bands; b += 2) EXPECT_EQ(keep[b], 1) << "band " << b;
}

TEST(PerceptualBandwidth, GrowsWithTheBitRateUpToNyquist) {
    const IcsInfo ics = longIcs();
    int previous = 0;
    for (int rate = 8000; rate <= 256000; rate += 8000) {
        const int limit = perceptualBandLimit(ics, kRate, rate);
        EXPECT_GE(limit, previous);
        EXPECT_LE(perceptualCutoffHz(rate, kRate), kRate / 2.0);
        previous = limit;
    }
    EXPECT_EQ(previous, ics.numSwb);
}

// Inside the coded bandwidth noise goes only to a long block's noise-like audible bands from
// 4 kHz up, below 42 kbit/s and where the bandwidth (or the crossover that will end it) reaches 8 kHz.
TEST(PerceptualNoiseBands, InsideTheBandwidthOnlyFrom4kHzInWideLongBlocks) {
    // bit rate, short block, crossover line, noise inside
    const std::tuple<int32_t, bool, int, bool> cases[] = {
        {32000, false, 0, true}, {40000, false, 0, true},    {24000, false, 0, true},   {20000, false, 0, false},
        {44000, false, 0, false}, {32000, true, 0, false}, {32000, false, 300, false}, {20000, false, 500, true}};
    for (const auto& [bitRate, shortBlock, crossover, inside] : cases) {
        SCOPED_TRACE(::testing::Message() << bitRate << (shortBlock ? " short" : " long") << ", " << crossover);
        IcsInfo ics = longIcs();
        if (shortBlock) {
            ics.windowSequence = EIGHT_SHORT_SEQUENCE;
            ics.swbOffsets = swbOffsetShort[4];  // 44.1 kHz
            ics.numSwb = numSwbShort[4];
            ics.windowGroupLength[0] = 8;
        }
        MaskingResult m{};
        for (int b = 0; b < ics.numSwb; ++b) {
            m.energy[b] = 1e9;
            m.threshold[b] = b % 3 == 2 ? 2e9 : 1e7;  // every third band inaudible
            m.tonality[b] = b % 4 == 1 ? 0.9 : 0.1;   // every fourth band tonal
        }
        auto coding = std::make_unique<ChannelCoding>();
        choosePerceptualBands(*coding, ics, m, kRate, bitRate, true, 0.0, crossover);
        for (int b = 0; b < coding->bandLimit && (crossover == 0 || ics.swbOffsets[b] < crossover); ++b) {
            const double hz = ics.swbOffsets[b] * 0.5 * kRate / windowLines(ics);
            const bool wanted = inside && hz >= 4000.0 && b % 3 != 2 && b % 4 != 1;
            EXPECT_EQ(coding->noiseFlag[b], wanted ? 1 : 0) << "band " << b;
        }
    }
}

}  // namespace
}  // namespace varnel
