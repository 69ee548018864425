#include "coding/quantiser.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>

#include "coding/truncation.h"
#include "tests/coding/coding_frame_for_test.h"

namespace varnel {
namespace {

using namespace varnel::testing;

TEST(TruncToInt, TowardZeroAndNonFiniteToZero) {
    EXPECT_EQ(truncToInt(-2.9), -2);
    EXPECT_EQ(truncToInt(-std::numeric_limits<double>::infinity()), 0);
    EXPECT_EQ(truncToInt(std::nan("")), 0);
    EXPECT_EQ(truncToInt(1e300), std::numeric_limits<int32_t>::max());
}

struct Channel {
    std::unique_ptr<CodingFrame> frame = makeFrame(1, k44100, 64000);
    ChannelCoding& coding = frame->coding[0];
    IcsInfo& ics = frame->ics[0];
    double* x = frame->buffers[0].spectrum;
    const std::span<const double> spectrum{x, kFrameLength};
    MagnitudePowers powers;
    void quantise() {
        computeMagnitudePowers(spectrum, ics, powers, false);
        quantiseSpectrum(coding, spectrum, ics, powers.line);
    }
};

TEST(Quantiser, FormulaRoundingClipAndGroups) {
    Channel ch;
    ch.coding.globalGain = 20;
    ch.coding.scaleOffset[0] = 4;    // factor 2^(0.1875 * -16) = 1/8
    ch.coding.scaleOffset[1] = 20;   // factor 1
    ch.coding.scaleOffset[2] = 120;  // factor 2^18.75
    ch.x[0] = -1000.0;               // 1000^0.75 / 8 = 22.2
    ch.x[4] = std::pow(0.59465, 4.0 / 3.0);  // u + 0.4054 reaches 1 at u = 0.5946
    ch.x[5] = std::pow(0.59455, 4.0 / 3.0);
    ch.x[8] = -1e12;
    ch.quantise();
    EXPECT_EQ(ch.coding.quantSpectrum[0], -22);
    EXPECT_EQ(ch.coding.quantSpectrum[4], 1);
    EXPECT_EQ(ch.coding.quantSpectrum[5], 0);
    EXPECT_EQ(ch.coding.quantSpectrum[8], -8191);

    setShortBlock(ch.ics, k44100, {2, 3, 3});
    ch.coding.globalGain = 0;
    std::fill_n(ch.coding.scaleOffset, kMaxBandEntries, 0);
    ch.coding.scaleOffset[ch.ics.numSwb + 1] = 16;  // group 1 (windows 2..4), band 1: factor 8
    for (int w = 0; w < 8; ++w) ch.x[128 * w + 5] = 1.0;
    ch.quantise();
    for (int w = 0; w < 8; ++w) EXPECT_EQ(ch.coding.quantSpectrum[128 * w + 5], w >= 2 && w <= 4 ? 8 : 1);
}

// Bands 0..5 (4 lines) with magnitudes 1000, 1000, 10, 1000, 0, 100: levels 60, 60, 20, 60,
// -inf, 40 dB; mean level 20 log10(12440 / 24) = 54.29 dB.
void sixBands(Channel& ch) {
    const double magnitude[6] = {1000, 1000, 10, 1000, 0, 100};
    for (int k = 0; k < 24; ++k) ch.x[k] = k % 2 ? -magnitude[k / 4] : magnitude[k / 4];
    ch.coding.bandLimit = ch.coding.pnsBandLimit = 6;
    std::fill_n(ch.coding.scaleOffset, kMaxBandEntries, 99);
}

TEST(ScaleOffsets, LongBlocksLiftQuietBandsAndSmoothTriples) {
    // Below the mean: lowered by (1 - 0.05 b) * 0.2 of the distance, offset 0.4 * (60 - l):
    // band 2 -> 18, the zero band (clamped to 0 dB) -> 24, band 5 -> 8; triples average.
    Channel ch;
    sixBands(ch);
    computeScaleOffsets(ch.coding, ch.ics, ch.spectrum, ch.frame->offsets());
    EXPECT_EQ(std::vector<int>(ch.coding.scaleOffset, ch.coding.scaleOffset + 7),
              (std::vector<int>{6, 6, 6, 10, 10, 10, 99}));
    // Mid/side at a share up to 0.6: (60 - level) / 3, the infinite distance giving 0.
    ch.frame->element.msUsed = 1;
    ch.frame->frame.channelShare = 0.6;
    computeScaleOffsets(ch.coding, ch.ics, ch.spectrum, ch.frame->offsets());
    EXPECT_EQ(std::vector<int>(ch.coding.scaleOffset, ch.coding.scaleOffset + 6),
              (std::vector<int>{4, 4, 4, 2, 2, 2}));
    // A noise band keeps its energy and its triple is not smoothed.
    sixBands(ch);
    ch.frame->element.msUsed = 0;
    ch.coding.noiseFlag[4] = 1;
    ch.coding.scaleOffset[4] = 33;
    computeScaleOffsetsWithNoise(ch.coding, ch.ics, ch.spectrum, ch.frame->offsets());
    EXPECT_EQ(std::vector<int>(ch.coding.scaleOffset, ch.coding.scaleOffset + 6),
              (std::vector<int>{6, 6, 6, 0, 33, 8}));
}

TEST(ScaleOffsets, ShortWindowsMeasureEachGroupsFirstWindow) {
    Channel ch;
    setShortBlock(ch.ics, k44100, {2, 6});
    ch.coding.bandLimit = 4;
    const double group0[4] = {10, 1000, 1000, 1000}, group1[4] = {1000, 1000, 0, 1};
    for (int k = 0; k < 16; ++k) {
        ch.x[k] = group0[k / 4];
        ch.x[128 + k] = 1e5;  // second window of group 0: not measured
        ch.x[256 + k] = -group1[k / 4];
    }
    computeScaleOffsets(ch.coding, ch.ics, ch.spectrum, ch.frame->offsets());
    // Group 0 band 0: 20 dB lowered by 0.4 of its distance to the mean (57.53) to 4.99,
    // offset (60 - 4.99) / 2 = 27. Group 1: band 3 at 0 dB gets 60 / 3, the zero band 0.
    const int n = ch.ics.numSwb;
    EXPECT_EQ(ch.coding.scaleOffset[0], 27);
    EXPECT_EQ(ch.coding.scaleOffset[1], 0);
    EXPECT_EQ(ch.coding.scaleOffset[n + 2], 0);
    EXPECT_EQ(ch.coding.scaleOffset[n + 3], 20);
}

TEST(ScalefactorRange, LargestCodableOffsetsAndDropOuts) {
    // Magnitudes 1 at gain 0 stay coded at every offset used here; 1e-5^(4/3) quantises to 4
    // at offset 100 and to 0 at 60, so band 7 drops out and band 8 must come within 60 of
    // band 6.
    const double faint = std::pow(1e-5, 4.0 / 3.0);
    const std::vector<double> magnitude = {1, 1, 1, 1, 1, 1, 1, faint, 1};
    const std::vector<int> offset = {90, 100, 0, 100, 130, 0, 0, 100, 120};
    Channel ch;
    for (int b = 0; b < 9; ++b) {
        std::fill(ch.x + ch.ics.swbOffsets[b], ch.x + ch.ics.swbOffsets[b + 1], magnitude[b]);
        ch.coding.scaleOffset[b] = offset[b];
    }
    ch.coding.scaleOffset[9] = 200;  // not sectioned
    ch.quantise();
    uint8_t nonZero[kMaxBandEntries] = {}, preserved[kMaxBandEntries] = {};
    std::fill_n(nonZero, 10, uint8_t{1});
    preserved[3] = 1;  // a noise band's energy is no scalefactor
    const std::span<const double> x = ch.spectrum;
    EXPECT_TRUE(limitScalefactorRange(ch.coding, x, ch.ics, ch.powers, 9, preserved, nonZero));
    EXPECT_EQ(std::vector<int>(ch.coding.scaleOffset, ch.coding.scaleOffset + 10),
              (std::vector<int>{60, 60, 0, 100, 60, 0, 0, 60, 60, 200}));
    EXPECT_FALSE(nonZero[7]);
    Channel again;  // the quantisation is the one of the final offsets
    std::copy(ch.x, ch.x + kFrameLength, again.x);
    std::copy_n(ch.coding.scaleOffset, kMaxBandEntries, again.coding.scaleOffset);
    again.quantise();
    EXPECT_TRUE(std::equal(ch.coding.quantSpectrum, ch.coding.quantSpectrum + kFrameLength,
                           again.coding.quantSpectrum));
    EXPECT_FALSE(limitScalefactorRange(ch.coding, x, ch.ics, ch.powers, 9, preserved, nonZero));
}

// With the energy limit every band of sparse tones over noise, at steps from fine to coarser
// than its lines, decodes at most 1 dB above its energy, each line at most one below its plain
// quantisation, and the largest magnitude reported is the one left.
TEST(Quantiser, EnergyLimitHoldsEveryBandAtItsEnergy) {
    std::mt19937 rng(3);
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    int lowered = 0;
    for (int gain = 20; gain < 80; ++gain) {
        Channel plain, limited;
        for (int k = 0; k < kFrameLength; ++k)
            plain.x[k] = limited.x[k] = (uniform(rng) < 0.1 ? 1e5 : 300.0) * (uniform(rng) - 0.5);
        uint8_t nonZero[2][kMaxBandEntries];
        int32_t largest[2][kMaxBandEntries];
        for (Channel* ch : {&plain, &limited}) {
            const int c = ch == &limited;
            ch->coding.globalGain = gain;
            computeMagnitudePowers(ch->spectrum, ch->ics, ch->powers, c == 1);
            std::fill_n(nonZero[c], kMaxBandEntries, uint8_t{1});
            quantiseBands(ch->coding, ch->spectrum, ch->ics, ch->powers, 0, ch->ics.numSwb, nonZero[c], largest[c]);
        }
        for (int b = 0; b < limited.ics.numSwb; ++b) {
            double energy = 0.0, decoded = 0.0;
            int32_t top = 0;
            for (int k = limited.ics.swbOffsets[b]; k < limited.ics.swbOffsets[b + 1]; ++k) {
                const int32_t p = std::abs(plain.coding.quantSpectrum[k]), q = std::abs(limited.coding.quantSpectrum[k]);
                ASSERT_TRUE(q == p || q == p - 1);
                lowered += q != p;
                top = std::max(top, q);
                energy += limited.x[k] * limited.x[k];
                decoded += std::pow(std::exp2(0.25 * gain) * std::pow(q, 4.0 / 3.0), 2.0);
            }
            ASSERT_LE(decoded, kMaxCodedEnergyRatio * energy * (1 + 1e-9)) << gain << " " << b;
            ASSERT_EQ(largest[1][b], top);
            ASSERT_EQ(nonZero[1][b], top != 0);
        }
    }
    EXPECT_GT(lowered, 100);
}

}  // namespace
}  // namespace varnel
