#include "bitstream/sectioning.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <span>
#include <vector>

#include "bitstream/bit_writer.h"
#include "bitstream/codebooks.h"
#include "bitstream/spectral_huffman.h"
#include "bitstream/syntax_writer.h"
#include "tests/bitstream/channel_fixture_for_test.h"

namespace varnel {
namespace {

using test::fillBand;
using test::setLine;

constexpr int kRate44100 = 4;  // 49 long bands, 14 short bands
constexpr int kRate8000 = 11;  // 15 short bands

// Lines of band b in a long block.
std::span<const int32_t> longBand(const IcsInfo& ics, const ChannelCoding& coding, int b) {
    return std::span<const int32_t>(coding.quantSpectrum)
        .subspan(ics.swbOffsets[b], ics.swbOffsets[b + 1] - ics.swbOffsets[b]);
}

TEST(Sectioning, AllZeroLongChannelCostsNothing) {
    const IcsInfo ics = test::makeLongIcs(kRate44100);
    auto coding = test::makeCoding();
    coding->bandLimit = ics.numSwb;
    coding->maxSfb = 40;
    EXPECT_EQ(buildSections(ics, *coding), 0);
    EXPECT_EQ(coding->maxSfb, 0);
}

TEST(Sectioning, TrailingZeroBandsAreTrimmedForLongBlocksOnly) {
    const IcsInfo longIcs = test::makeLongIcs(kRate44100);
    auto coding = test::makeCoding();
    coding->bandLimit = 20;
    setLine(longIcs, *coding, 0, 3, 0, 1, 1);
    const int bits = buildSections(longIcs, *coding);
    EXPECT_EQ(coding->maxSfb, 4);
    // One zero section over bands 0..2, one section for band 3.
    EXPECT_EQ(coding->sectionLength[0], 3);
    EXPECT_EQ(coding->sectionLength[3], 1);
    EXPECT_EQ(bits, 9 + 9 + countSpectralBits(longBand(longIcs, *coding, 3), coding->codebook[3]));

    // Eight short windows in two groups: every group is sectioned up to bandLimit.
    const IcsInfo shortIcs = test::makeShortIcs(kRate8000, {3, 5});
    auto shortCoding = test::makeCoding();
    shortCoding->bandLimit = 14;
    EXPECT_EQ(buildSections(shortIcs, *shortCoding), 2 * 13);  // one zero section of 14 per group
    EXPECT_EQ(shortCoding->maxSfb, 14);
    EXPECT_EQ(shortCoding->sectionLength[0], 14);
    EXPECT_EQ(shortCoding->sectionLength[shortIcs.numSwb], 14);
}

TEST(Sectioning, MagnitudeTwoNeverUsesTheTernaryCodebooks) {
    const IcsInfo ics = test::makeLongIcs(kRate44100);
    std::mt19937 rng(5);
    for (int trial = 0; trial < 200; ++trial) {
        auto coding = test::makeCoding();
        coding->bandLimit = 1;
        const int width = ics.swbOffsets[1];
        for (int k = 0; k < width; ++k) {
            // Mostly ones, where codebooks 1 and 2 would be cheapest.
            const int m = (rng() % 8 == 0) ? 0 : 1;
            setLine(ics, *coding, 0, 0, 0, k, (rng() & 1) ? -m : m);
        }
        setLine(ics, *coding, 0, 0, 0, static_cast<int>(rng() % width), -2);
        const int bits = buildSections(ics, *coding);
        const int chosen = coding->codebook[0];
        ASSERT_GE(chosen, 3);
        ASSERT_LE(chosen, kLastUnescapedCodebook);
        int cheapest = countSpectralBits(longBand(ics, *coding, 0), 3);
        for (int k = 4; k <= kLastUnescapedCodebook; ++k)
            cheapest = std::min(cheapest, countSpectralBits(longBand(ics, *coding, 0), k));
        EXPECT_EQ(bits, cheapest + 9);
    }
}

TEST(Sectioning, EscapeValuesCostCodewordSignAndEscapeSequence) {
    const IcsInfo ics = test::makeLongIcs(kRate44100);
    const CodebookInfo& book = codebookTable[ESC_HCB];
    const int zeroPair = book.codeLengths[0];
    const int width = ics.swbOffsets[1];  // 4 lines: two pairs
    for (int magnitude : {16, 31, 32, 8191}) {
        SCOPED_TRACE(magnitude);
        auto coding = test::makeCoding();
        coding->bandLimit = 1;
        setLine(ics, *coding, 0, 0, 0, 0, magnitude);
        const int escape = magnitude < 32 ? 5 : (magnitude < 64 ? 7 : 21);
        EXPECT_EQ(buildSections(ics, *coding),
                  9 + book.codeLengths[16 * 17] + 1 + escape + (width / 2 - 1) * zeroPair);
        EXPECT_EQ(coding->codebook[0], ESC_HCB);
    }
}

// Identical bands always merge into one section, whose header grows by one length field where
// the writer escapes the length: at 31 bands for long blocks, at 7 and 14 for short windows.
TEST(Sectioning, HeaderGrowsWhereTheSectionLengthEscapes) {
    struct Case {
        bool shortBlock;
        int bands;
        int headerBits;
    };
    for (const Case& c : {Case{false, 30, 9}, Case{false, 31, 14}, Case{false, 32, 14},
                          Case{true, 6, 7}, Case{true, 7, 10}, Case{true, 8, 10},
                          Case{true, 13, 10}, Case{true, 14, 13}}) {
        SCOPED_TRACE(::testing::Message() << "short " << c.shortBlock << " bands " << c.bands);
        const IcsInfo ics = c.shortBlock ? test::makeShortIcs(kRate8000, {8}) : test::makeLongIcs(kRate44100);
        auto coding = test::makeCoding();
        coding->bandLimit = c.bands;
        for (int b = 0; b < c.bands; ++b) setLine(ics, *coding, 0, b, 0, 0, 1);
        const int bits = buildSections(ics, *coding);
        ASSERT_EQ(coding->sectionLength[0], c.bands);
        int spectral = 0;
        for (int b = 0; b < c.bands; ++b) {
            ASSERT_EQ(coding->codebook[b], coding->codebook[0]);
            const int width = ics.swbOffsets[b + 1] - ics.swbOffsets[b];
            for (int w = 0; w < (c.shortBlock ? 8 : 1); ++w)
                spectral += countSpectralBits(std::span<const int32_t>(coding->quantSpectrum)
                                                  .subspan(128 * w + ics.swbOffsets[b], width),
                                              coding->codebook[0]);
        }
        EXPECT_EQ(bits, spectral + c.headerBits);
    }
}

// Two adjacent bands whose own codebooks are 5 or 6 and 7 or 8 merge into one section exactly
// when the merged bits, in the best common codebook (7 or higher), are below the separate bits
// plus the 9 header bits saved. (With own codebooks exactly 5 and 7 a merge nearly always pays.)
TEST(Sectioning, BandsMergeOnlyWhenItPays) {
    // Bands 45 and 46 of the 44.1 kHz table (32 lines each) after a zero section over 0..44.
    const IcsInfo ics = test::makeLongIcs(kRate44100);
    constexpr int kFirst = 45;
    const int zeroSection = sectionHeaderBits(kFirst, false);
    std::mt19937 rng(17);
    int merged = 0, separate = 0, fiveAndSeven = 0;
    for (int trial = 0; trial < 5000 && (merged < 20 || separate < 20 || fiveAndSeven < 5); ++trial) {
        auto coding = test::makeCoding();
        coding->bandLimit = kFirst + 2;
        const int largest[2] = {4, 7};
        for (int i = 0; i < 2; ++i) {
            const int b = kFirst + i;
            const int width = ics.swbOffsets[b + 1] - ics.swbOffsets[b];
            const int density = 1 + static_cast<int>(rng() % 8);
            for (int k = 0; k < width; ++k) {
                const int m = static_cast<int>(rng() % 8) < density
                                  ? static_cast<int>(rng() % (largest[i] + 1)) : 0;
                setLine(ics, *coding, 0, b, 0, k, (rng() & 1) ? -m : m);
            }
            setLine(ics, *coding, 0, b, 0, static_cast<int>(rng() % width), largest[i]);
        }
        auto cost = [&](int i, int k) { return countSpectralBits(longBand(ics, *coding, kFirst + i), k); };
        auto own = [&](int i, int from) {
            int best = from;
            for (int k = from + 1; k <= kLastUnescapedCodebook; ++k)
                if (cost(i, k) < cost(i, best)) best = k;
            return best;
        };
        const int own0 = own(0, 5), own1 = own(1, 7);
        if (own0 > 6 || own1 > 8) continue;
        fiveAndSeven += own0 == 5 && own1 == 7;
        int together = 1 << 30, togetherBook = 0;
        for (int k = 7; k <= kLastUnescapedCodebook; ++k) {
            if (cost(0, k) + cost(1, k) < together) {
                together = cost(0, k) + cost(1, k);
                togetherBook = k;
            }
        }
        const int bits = buildSections(ics, *coding);
        ASSERT_EQ(coding->sectionLength[0], kFirst);
        if (together < cost(0, own0) + cost(1, own1) + 9) {
            ++merged;
            EXPECT_EQ(bits, zeroSection + together + 9);
            EXPECT_EQ(coding->sectionLength[kFirst], 2);
            EXPECT_EQ(coding->codebook[kFirst], togetherBook);
            EXPECT_EQ(coding->codebook[kFirst + 1], togetherBook);
        } else {
            ++separate;
            EXPECT_EQ(bits, zeroSection + cost(0, own0) + 9 + cost(1, own1) + 9);
            EXPECT_EQ(coding->sectionLength[kFirst], 1);
            EXPECT_EQ(coding->codebook[kFirst], own0);
            EXPECT_EQ(coding->codebook[kFirst + 1], own1);
        }
    }
    EXPECT_GT(merged, 0);
    EXPECT_GT(separate, 0);
    EXPECT_GT(fiveAndSeven, 0);
}

TEST(Sectioning, NoiseAndIntensityBandsAreKeptAsTheirOwnSections) {
    const IcsInfo ics = test::makeLongIcs(kRate44100);
    auto coding = test::makeCoding();
    coding->pnsBandLimit = 8;
    coding->bandLimit = 8;
    for (int b : {0, 1, 3, 4}) setLine(ics, *coding, 0, b, 0, 0, 1);
    coding->codebook[2] = NOISE_HCB;
    coding->codebook[5] = INTENSITY_HCB;
    coding->codebook[6] = INTENSITY_HCB;
    coding->codebook[7] = 9;  // stale
    resetCodebooks(ics, *coding, true);
    EXPECT_EQ(coding->codebook[7], ZERO_HCB);
    EXPECT_EQ(coding->codebook[2], NOISE_HCB);
    const int bits = buildSectionsWithNoise(ics, *coding);
    EXPECT_EQ(coding->maxSfb, 8);  // no trimming with noise substitution
    // Sections: 0..1, 2 (noise), 3..4, 5..6 (intensity), 7 (zero).
    const int expectedLengths[][2] = {{0, 2}, {2, 1}, {3, 2}, {5, 2}, {7, 1}};
    for (const auto& [start, length] : expectedLengths)
        EXPECT_EQ(coding->sectionLength[start], length) << "section at " << start;
    EXPECT_EQ(coding->codebook[2], NOISE_HCB);
    EXPECT_EQ(coding->codebook[5], INTENSITY_HCB);
    int spectral = 0;
    for (int b : {0, 1, 3, 4}) spectral += countSpectralBits(longBand(ics, *coding, b), coding->codebook[b]);
    EXPECT_EQ(bits, spectral + 5 * 9);

    // Without noise substitution the reset clears 13, and the band is sectioned as zero.
    coding->codebook[2] = NOISE_HCB;
    resetCodebooks(ics, *coding, false);
    EXPECT_EQ(coding->codebook[2], ZERO_HCB);
    EXPECT_EQ(coding->codebook[5], INTENSITY_HCB);
}

TEST(Sectioning, AStoppedCountStillTellsWhetherTheTargetIsExceeded) {
    // Random long and short channels with magnitudes up to 40 (escape bands included). For
    // every limit around the full count: a count allowed to stop exceeds the limit exactly when
    // the full count does, and one that does not exceed it is the full count with the same
    // codebooks, sections and maxSfb.
    std::mt19937 rng(5);
    int stopped = 0;
    for (int trial = 0; trial < 40; ++trial) {
        const bool shortBlock = trial % 2 == 1;
        const IcsInfo ics = shortBlock ? test::makeShortIcs(kRate44100, {1, 3, 4})
                                       : test::makeLongIcs(kRate44100);
        auto fill = [&](ChannelCoding& coding, unsigned seed) {
            std::mt19937 r(seed);
            coding.bandLimit = ics.numSwb;
            const int largest = 1 + static_cast<int>(r() % 40);
            for (int k = 0; k < kFrameLength; ++k) {
                const int m = r() % 3 == 0 ? static_cast<int>(r() % (largest + 1)) : 0;
                coding.quantSpectrum[k] = (r() & 1) ? -m : m;
            }
        };
        const unsigned seed = static_cast<unsigned>(rng());
        auto full = test::makeCoding();
        fill(*full, seed);
        const int total = buildSections(ics, *full);
        for (const int limit : {0, total / 4, total / 2, total - 1, total, total + 1}) {
            auto part = test::makeCoding();
            fill(*part, seed);
            const int bits = buildSections(ics, *part, nullptr, limit);
            SCOPED_TRACE(::testing::Message() << trial << " limit " << limit);
            ASSERT_EQ(bits > limit, total > limit);
            if (bits < total) ++stopped;
            if (bits <= limit) {
                ASSERT_EQ(bits, total);
                ASSERT_EQ(part->maxSfb, full->maxSfb);
                ASSERT_TRUE(std::equal(part->codebook, part->codebook + kMaxBandEntries, full->codebook));
                ASSERT_TRUE(std::equal(part->sectionLength, part->sectionLength + kMaxBandEntries,
                                       full->sectionLength));
            }
        }
    }
    EXPECT_GT(stopped, 0);  // the early stop was exercised
}

TEST(ScalefactorCount, MirrorsTheDifferentialCoding) {
    const IcsInfo ics = test::makeLongIcs(kRate44100);
    auto coding = test::makeCoding();
    coding->globalGain = 40;
    coding->maxSfb = 6;
    const int codebook[6] = {1, 0, NOISE_HCB, 5, NOISE_HCB, INTENSITY_HCB};
    const int offset[6] = {-10, 99, 300, 5, 100, 7};
    for (int b = 0; b < 6; ++b) {
        coding->codebook[b] = codebook[b];
        coding->scaleOffset[b] = offset[b];
    }
    const auto& length = codebookTable[0].codeLengths;
    // Ordinary bands: 60 - v + previous (70, then 45); the first noise band, lowered to 160 so
    // that the drop to 100 fits, a 9-bit field; the second noise difference -60, index 0;
    // intensity 7 - 0 + 60.
    EXPECT_EQ(countScalefactorBits(ics, *coding, true), length[70] + 9 + length[45] + length[0] + length[67]);
    // Without noise substitution 13 is an ordinary band: 60 - 300 - 10 clips to index 0 and
    // the count goes on from the scalefactor the decoder holds (offset 50, not 300).
    EXPECT_EQ(countScalefactorBits(ics, *coding, false),
              length[70] + length[0] + length[60 - 5 + 50] + length[0] + length[67]);
}

}  // namespace
}  // namespace varnel
