#include "coding/rate_control.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <vector>

#include "bitstream/bit_writer.h"
#include "bitstream/spectral_huffman.h"
#include "bitstream/syntax_writer.h"
#include "coding/noise_substitution.h"
#include "coding/quantiser.h"
#include "coding/rate_core.h"
#include "tests/coding/coding_frame_for_test.h"

namespace varnel {
namespace {

using namespace varnel::testing;

// Long block at 44100 Hz; lines below band 15 (line 80) carry `lowShare` of the magnitude.
int bandLimitFor(int bitRate, double lowShare) {
    auto enc = makeFrame(1, k44100, bitRate);
    for (int k = 0; k < kFrameLength; ++k)
        enc->buffers[0].spectrum[k] = k < 80 ? lowShare * 944 / ((1 - lowShare) * 80) : 1.0;
    enc->limit();
    return enc->coding[0].bandLimit;
}

TEST(Bandwidth, FollowsBitRateAndLowBandShare) {
    EXPECT_EQ(bandLimitFor(64000, 80.0 / 1024), 41);  // L = 703: band 41 starts above it
    EXPECT_EQ(bandLimitFor(64000, 0.89), 44);         // k = 45, capped at 1.08 * 41
    EXPECT_EQ(bandLimitFor(20000, 80.0 / 1024), 30);  // L = 219, but never below band 30
    EXPECT_EQ(bandLimitFor(200000, 0.66), 48);        // k = 50 = numSwb + 1 -> numSwb - 1
    EXPECT_EQ(bandLimitFor(200000, 0.5), 49);         // numSwb stays

    auto pair = makeFrame(2, k44100, 64000);
    setShortBlock(pair->ics[0], k44100, {8});  // L = 87: band 12 starts at 96
    pair->buffers[0].spectrum[0] = 1.0;
    std::fill_n(pair->buffers[1].spectrum, kFrameLength, 1.0);
    pair->limit();
    EXPECT_EQ(pair->coding[0].bandLimit, 41);  // 12 and 41 both take the larger
    std::fill_n(pair->buffers[1].spectrum, kFrameLength, 0.0);
    pair->limit();
    EXPECT_EQ(pair->coding[0].bandLimit, 12);  // 12 and 0 stay
    EXPECT_EQ(pair->coding[1].bandLimit, 0);
}

TEST(ChannelDemand, MovesBitsBetweenFrameAndReservoirWithoutLosingAny) {
    // Whatever the block and the reservoir, the demand and the reservoir after it add up to
    // the mean and the reservoir before it (up to the truncation of two products), the
    // reservoir stays within its bounds, and the demand is never negative.
    struct Block { const char* what; std::vector<int> groups; double attackRatio; bool tns, flat; };
    const Block blocks[] = {{"tonal long", {}, 0, false, false}, {"flat long", {}, 0, false, true},
                            {"TNS long", {}, 0, true, false},    {"short, one group", {8}, 0, false, false},
                            {"short, one strong group", {8}, 9.0, false, false},
                            {"short, two groups", {4, 4}, 0, false, false},
                            {"short, three groups", {3, 3, 2}, 0, false, false}};
    for (const Block& block : blocks)
        for (const int bitRate : {16000, 64000, 264600})
            for (const int reservoir : {0, 1999, 2001, 4000, 6144}) {
                auto f = makeFrame(1, k44100, bitRate);
                if (!block.groups.empty()) setShortBlock(f->ics[0], k44100, block.groups);
                f->ics[0].attackRatio = block.attackRatio;
                f->frame.options = block.tns ? kOptionTns : 0;
                f->element.sideInfo[0].tnsDataPresent = block.tns;
                for (int k = 4; k < f->ics[0].swbOffsets[21]; ++k)
                    f->buffers[0].spectrum[k] = block.flat ? (k % 2 ? -150.0 : 250.0) : (k % 40 == 0 ? 1e4 : 0.0);
                f->frame.bitReservoir = BitReservoir(f->frame.bitReservoir.capacity(), reservoir);
                const int mean = meanFrameBits(f->rate);
                const int demand = f->demand(0);
                SCOPED_TRACE(::testing::Message() << block.what << ", " << bitRate << " bit/s, " << reservoir);
                EXPECT_NEAR(demand + f->frame.bitReservoir.bits(), mean + reservoir, 2);
                EXPECT_GE(demand, 0);
                EXPECT_GE(f->frame.bitReservoir.bits(), 0);
                EXPECT_LE(f->frame.bitReservoir.bits(), kMaxBitsPerChannel);
                if (!block.groups.empty()) {
                    // A short block spends from the reservoir: a fifth, less for one or two
                    // groups, never more than 1400 bits.
                    EXPECT_GE(demand, mean);
                    EXPECT_LE(demand - mean, std::min(reservoir / 5, 1400));
                } else if (block.tns && reservoir > 2000) {
                    EXPECT_EQ(demand - mean, reservoir / 20);  // 5 % of the reservoir
                }
            }
    // The share a short block takes falls as the attack gets stronger and the groups fewer.
    int extra[3];
    int n = 0;
    for (const auto& [groups, ratio] : {std::pair{std::vector<int>{3, 3, 2}, 0.0}, {{8}, 0.0}, {{8}, 9.0}}) {
        auto f = makeFrame(1, k44100, 64000);
        setShortBlock(f->ics[0], k44100, groups);
        f->ics[0].attackRatio = ratio;
        extra[n++] = f->demand(0) - meanFrameBits(f->rate);
    }
    EXPECT_GT(extra[0], extra[1]);
    EXPECT_GT(extra[1], extra[2]);
    // A flat spectrum with a full reservoir spends bits, a tonal one with a half-full one
    // saves them.
    auto flat = makeFrame(1, k44100, 64000);
    for (int k = 4; k < flat->ics[0].swbOffsets[21]; ++k) flat->buffers[0].spectrum[k] = k % 2 ? -150.0 : 250.0;
    EXPECT_NEAR(spectralFlatness(flat->buffers[0].spectrum, flat->ics[0]), 20.0 / 39, 1e-15);
    EXPECT_GT(flat->demand(0), meanFrameBits(flat->rate));
    auto tonal = makeFrame(1, k44100, 64000);
    tonal->buffers[0].spectrum[40] = 1e4;
    tonal->frame.bitReservoir = BitReservoir(kMaxBitsPerChannel, kMaxBitsPerChannel / 2);
    EXPECT_LT(tonal->demand(0), meanFrameBits(tonal->rate));
}

TEST(FrameAllocation, TotalsTargetsAndSilence) {
    // mean = 6144: TNS demands 6758 + 6727 exceed the cap; the 1197 over it are saved.
    auto enc = makeFrame(2, k44100, 264600);
    enc->frame.options = kOptionTns;
    enc->element.sideInfo[0].tnsDataPresent = enc->element.sideInfo[1].tnsDataPresent = 1;
    EXPECT_EQ(enc->total(), 12288);
    EXPECT_EQ(enc->frame.bitReservoir.bits(), 12286);

    // A silent pair: nothing coded, both targets back to the reservoir.
    auto silent = makeFrame(2, k44100, 64000);
    auto twin = makeFrame(2, k44100, 64000);
    silent->frame.bitReservoir = twin->frame.bitReservoir = BitReservoir(frameBitCap(2), 6000);
    silent->coding[0].globalGain = 77;
    const int total = twin->total();
    silent->allocate();
    for (const ChannelCoding& c : silent->coding) {
        EXPECT_EQ(c.bandLimit + c.maxSfb + c.globalGain + c.usedBits, 0);
        EXPECT_EQ(c.targetBits, total / 2);
    }
    EXPECT_EQ(silent->frame.bitReservoir.bits(), twin->frame.bitReservoir.bits() + total / 2 * 2);
    EXPECT_EQ(silent->frame.channelShare, 0.5);

    // A mono short block at the highest rate: the total is capped at 6144 and the target
    // leaves room for header 7, global_gain 8, ics_info 15, flags 3, END 3, alignment 7.
    auto mono = makeFrame(1, k44100, 264600);
    setShortBlock(mono->ics[0], k44100, {3, 3, 2});
    mono->frame.bitReservoir = BitReservoir(frameBitCap(1), 3000);
    fillSpectrum(mono->buffers[0].spectrum, true, 2);
    mono->limit();
    mono->allocate();
    EXPECT_EQ(mono->coding[0].targetBits, 6144 - 43);
    EXPECT_LE(mono->coding[0].usedBits, 6144 - 43);
}

TEST(StartGain, PeakNearTheLargestEscapeMagnitude) {
    auto gain = [](double powered) { return startGlobalGain(std::pow(powered, 4.0 / 3.0)); };
    EXPECT_EQ(gain(8191 * std::pow(2.0, 4.1)), 40);
    EXPECT_EQ(gain(8191 * std::sqrt(2.0)), 22);
    EXPECT_EQ(gain(8000), 20);
    EXPECT_EQ(startGlobalGain(1e30), kMaxGlobalGain);
}

// The search as defined, without the short cuts of searchGlobalGain (every band quantised in
// every pass, the full bisection below a fitting start gain, the final raise to it).
void referenceSearch(CodingFrame& enc) {
    ChannelCoding& coding = enc.coding[0];
    const IcsInfo& ics = enc.ics[0];
    const std::span<const double> x(enc.buffers[0].spectrum);
    const bool noise = enc.noise();
    if (!noise) std::fill(std::begin(coding.scaleOffset), std::end(coding.scaleOffset), 0);
    MagnitudePowers powers;
    computeMagnitudePowers(x, ics, powers, noise);  // the energy limit goes with noise substitution
    (noise ? computeScaleOffsetsWithNoise : computeScaleOffsets)(coding, ics, x, enc.offsets());
    int32_t base[kMaxBandEntries];
    uint8_t preserved[kMaxBandEntries];
    for (int i = 0; i < kMaxBandEntries; ++i) {
        preserved[i] = isPreservedBand(coding.codebook[i], noise);
        base[i] = coding.scaleOffset[i];
    }
    int last = 0;
    auto trial = [&](int gain) {
        coding.globalGain = last = gain;
        std::copy(base, base + kMaxBandEntries, coding.scaleOffset);
        uint8_t nonZero[kMaxBandEntries];
        std::fill(std::begin(nonZero), std::end(nonZero), uint8_t{1});
        quantiseBands(coding, x, ics, powers, 0, ics.numSwb, nonZero);
        std::fill(std::begin(nonZero), std::end(nonZero), uint8_t{0});
        for (int g = 0, w0 = 0; g < ics.numWindowGroups; w0 += ics.windowGroupLength[g++])
            for (int b = 0; b < ics.numSwb; ++b)
                for (int w = w0; w < w0 + ics.windowGroupLength[g]; ++w)
                    for (int k = ics.swbOffsets[b]; k < ics.swbOffsets[b + 1]; ++k)
                        nonZero[g * ics.numSwb + b] |= coding.quantSpectrum[128 * w + k] != 0;
        limitScalefactorRange(coding, x, ics, powers, noise ? coding.pnsBandLimit : coding.bandLimit,
                              preserved, nonZero);
        enc.count(0);
    };
    const int start = coding.globalGain;
    int gain = start, step = kFirstGainStep, counter = 0;
    do {
        counter += noise;
        trial(gain);
        step /= 2;
        if (coding.usedBits > coding.targetBits) gain += step == 0 ? (step = 1) : step;
        else gain -= step;
    } while (step != 0 && (!noise || counter < 10));
    if (std::max(gain, start) != last) trial(std::max(gain, start));
}

std::unique_ptr<CodingFrame> searchCase(bool shortBlock, bool noise, int rate, unsigned seed) {
    auto enc = makeFrame(1, rate, 96000);
    if (shortBlock) setShortBlock(enc->ics[0], rate, {2, 1, 5});
    enc->element.msUsed = seed % 3 == 0;
    enc->frame.channelShare = seed % 2 ? 1.0 : 0.5;
    fillSpectrum(enc->buffers[0].spectrum, shortBlock, seed);
    enc->limit();
    if (noise) {
        enc->frame.options = kOptionPns;
        selectNoiseBands(enc->coding[0], enc->ics[0], enc->buffers[0], enc->rate.sampleRate);
        noiseEnergies(enc->coding[0], enc->ics[0], enc->buffers[0]);
    }
    enc->coding[0].globalGain = startGlobalGain(spectrumPeak(enc->buffers[0].spectrum));
    return enc;
}

TEST(GainSearch, EqualsTheDefinedSearch) {
    for (const bool shortBlock : {false, true})
        for (const auto& [noise, rate] : {std::pair(false, k44100), {false, k16000}, {true, k48000}})
            for (unsigned seed = 1; seed <= 6; ++seed)
                for (const double fraction : {0.15, 0.4, 0.7, 0.95, 1.5}) {
                    auto fast = searchCase(shortBlock, noise, rate, seed);
                    auto ref = searchCase(shortBlock, noise, rate, seed);
                    auto probe = searchCase(shortBlock, noise, rate, seed);
                    probe->coding[0].targetBits = 1 << 20;
                    probe->quantise(0);  // the cost at the start gain
                    fast->coding[0].targetBits = ref->coding[0].targetBits =
                        std::min(static_cast<int>(probe->coding[0].usedBits * fraction),
                                 fast->bitLimit(0));
                    fast->quantise(0);
                    referenceSearch(*ref);
                    const ChannelCoding& a = fast->coding[0];
                    const ChannelCoding& b = ref->coding[0];
                    SCOPED_TRACE(::testing::Message() << shortBlock << noise << rate << seed << fraction);
                    ASSERT_EQ(a.globalGain, b.globalGain);
                    ASSERT_EQ(a.usedBits, b.usedBits);
                    ASSERT_TRUE(std::equal(a.quantSpectrum, a.quantSpectrum + kFrameLength, b.quantSpectrum));
                    ASSERT_TRUE(std::equal(a.codebook, a.codebook + kMaxBandEntries, b.codebook));
                    for (int i = 0; i < kMaxBandEntries; ++i)
                        if (a.codebook[i] != 0) {
                            ASSERT_EQ(a.scaleOffset[i], b.scaleOffset[i]);
                        }
                    EXPECT_TRUE(decodable(a, fast->ics[0], noise));
                }
}

// The bound that lets the search skip its first trial never exceeds the trial's count, and
// is only given where the range limit would leave the offsets as they are.
TEST(GainSearch, EscapeBoundStaysBelowTheCount) {
    int proved = 0;
    for (const bool shortBlock : {false, true})
        for (const auto& [noise, rate] : {std::pair(false, k44100), {false, k16000}, {true, k48000}})
            for (unsigned seed = 1; seed <= 4; ++seed) {
                auto enc = searchCase(shortBlock, noise, rate, seed);
                ChannelCoding& coding = enc->coding[0];
                const IcsInfo& ics = enc->ics[0];
                const std::span<const double> x(enc->buffers[0].spectrum);
                const int codedBands = noise ? coding.pnsBandLimit : coding.bandLimit;
                MagnitudePowers powers;
                computeMagnitudePowers(x, ics, powers, noise);
                if (!noise) std::fill(std::begin(coding.scaleOffset), std::end(coding.scaleOffset), 0);
                (noise ? computeScaleOffsetsWithNoise : computeScaleOffsets)(coding, ics, x, enc->offsets());
                int32_t base[kMaxBandEntries];
                uint8_t preserved[kMaxBandEntries], nonZero[kMaxBandEntries];
                for (int i = 0; i < kMaxBandEntries; ++i) {
                    preserved[i] = isPreservedBand(coding.codebook[i], noise);
                    base[i] = coding.scaleOffset[i];
                }
                // Offsets far apart in some cases, so that the range limit would act.
                if (seed == 4)
                    for (int i = 0; i < kMaxBandEntries; i += 2) base[i] += 70;
                const int start = coding.globalGain;
                for (int gain = start - 10; gain <= start + 60; gain += 7) {
                    std::copy(base, base + kMaxBandEntries, coding.scaleOffset);
                    coding.globalGain = gain;
                    const int bound = escapeBitsLowerBound(coding, ics, x, powers, codedBands, preserved);
                    std::fill(std::begin(nonZero), std::end(nonZero), uint8_t{1});
                    quantiseBands(coding, x, ics, powers, 0, codedBands, nonZero);
                    const bool changed = limitScalefactorRange(coding, x, ics, powers, codedBands, preserved, nonZero);
                    // What the escape sequences and their signs take in this quantisation.
                    int escape = 0;
                    for (int g = 0, w0 = 0; g < groupCount(ics); w0 += groupLength(ics, g++))
                        for (int b = 0; b < codedBands; ++b)
                            for (int w = w0; w < w0 + groupLength(ics, g) && !preserved[g * ics.numSwb + b]; ++w)
                                for (int k = ics.swbOffsets[b]; k < ics.swbOffsets[b + 1]; ++k) {
                                    const int q = std::abs(coding.quantSpectrum[kShortWindowLength * w + k]);
                                    escape += q >= 16 ? escapeSequenceBits(q) + 1 : 0;
                                }
                    const int count = enc->count(0);
                    SCOPED_TRACE(::testing::Message() << shortBlock << noise << rate << seed << " gain " << gain);
                    EXPECT_LE(escape, count);
                    if (bound < 0) continue;
                    EXPECT_FALSE(changed);
                    EXPECT_LE(bound, escape);
                    proved += bound > escape / 2;
                }
            }
    EXPECT_GT(proved, 10) << "the bound should carry weight at fine gains";
}

TEST(GainSearch, NoiseSubstitutionStopsAfterTenPasses) {
    // The loudest line still quantises to 2 some 63 steps above the start gain, so a 12-bit
    // target needs a long linear tail: with the option ten passes and one more step, without
    // it until the count fits.
    for (const int options : {0, kOptionPns}) {
        auto enc = makeFrame(1, k44100, 64000);
        enc->frame.options = options;
        enc->buffers[0].spectrum[10] = 3e6;
        enc->buffers[0].spectrum[11] = -2e6;
        enc->limit();
        selectNoiseBands(enc->coding[0], enc->ics[0], enc->buffers[0], 44100);
        noiseEnergies(enc->coding[0], enc->ics[0], enc->buffers[0]);
        ChannelCoding& coding = enc->coding[0];
        const int start = coding.globalGain = startGlobalGain(3e6);
        coding.targetBits = 12;
        enc->quantise(0);
        EXPECT_EQ(coding.globalGain == start + 63 + 4, options != 0);
        EXPECT_EQ(coding.usedBits > 12, options != 0);
    }
}

TEST(GainBound, EverySearchEndsWithACodableFrame) {
    // Targets below the all-zero cost, a peak beyond the gain range, one huge line, and short
    // windows whose quiet lowest band gets an offset of 74 beside a loud one.
    struct Case { bool shortBlock; int target; double peak, huge, quiet; };
    for (const Case t : {Case{false, -3000, 2e5, 0, 0}, Case{true, 0, 2e5, 0, 0}, Case{true, 5, 2e5, 0, 0},
                         Case{false, 2000, 1e30, 0, 0}, Case{false, 1500, 1.0, 1e15, 0},
                         Case{true, 5000, 0, 0, 0.1}}) {
        auto enc = makeFrame(1, k44100, 64000);  // short windows: 12 bands
        if (t.shortBlock) setShortBlock(enc->ics[0], k44100, {1, 1, 1, 1, 1, 1, 1, 1});
        double* x = enc->buffers[0].spectrum;
        if (t.peak > 0) fillSpectrum(x, t.shortBlock, 3, t.peak);
        x[300] += t.huge;
        for (int w = 0; t.quiet > 0 && w < 8; ++w)
            for (int k = 0; k < 12; ++k) x[128 * w + k] = k < 4 ? t.quiet : (k < 8 ? 3e7 : 0);
        enc->limit();
        ChannelCoding& coding = enc->coding[0];
        coding.globalGain = startGlobalGain(spectrumPeak(enc->buffers[0].spectrum));
        coding.targetBits = t.target;
        enc->quantise(0);
        SCOPED_TRACE(t.target);
        EXPECT_LE(coding.globalGain, kMaxGlobalGain);
        EXPECT_LE(coding.usedBits, enc->bitLimit(0));
        EXPECT_TRUE(decodable(coding, enc->ics[0], false));
        if (t.target <= 5) {  // nothing fits: all zero at the bound; short windows pay sections
            EXPECT_EQ(coding.usedBits, t.shortBlock ? 8 * 10 : 0);
        }
        if (t.quiet > 0) {
            EXPECT_NE(coding.codebook[0], 0);
        }
    }
}

// Whole frames at the highest rate (6 bit/s per Hz), with TNS data and mid/side masks: the
// count plus the side-information bound covers what the writer puts, within 6144 per channel.
TEST(WholeFrame, WrittenBitsStayWithinTheCountedBound) {
    for (const int channels : {1, 2})
        for (const bool shortBlock : {false, true}) {
            auto enc = makeFrame(channels, k44100, 264600);
            enc->frame.options = kOptionTns;
            enc->element.msUsed = channels == 2;
            std::fill(std::begin(enc->element.msMask), std::end(enc->element.msMask), 1);
            for (int c = 0; c < channels; ++c) {
                if (shortBlock) setShortBlock(enc->ics[c], k44100, {1, 1, 2, 4});
                fillSpectrum(enc->buffers[c].spectrum, shortBlock, 7 + c, 3e5, 0.0);
                ChannelSideInfo& side = enc->element.sideInfo[c];
                side.tnsDataPresent = 1;
                for (int w = 0; w < 8; ++w) {
                    side.tnsNumFilters[w] = side.tnsCoefRes[w] = 1;
                    side.tnsOrder[w] = shortBlock ? 7 : 12;
                    std::fill(side.tnsCoef[w], side.tnsCoef[w] + 12, 9);
                }
            }
            enc->limit();
            enc->allocate();
            int bound = 0;
            for (int c = 0; c < channels; ++c)
                bound += enc->coding[c].usedBits + enc->sideInfoBits(c);
            std::vector<uint8_t> buffer(16384);
            BitWriter writer;
            writer.setOutput(buffer.data(), 16384);
            enc->write(writer);
            if (channels == 1) {  // all but END and the alignment are exact in the bound
                EXPECT_EQ(writer.bitCount(), bound - 3 - 7);
            }
            writeEnd(writer);
            writer.byteAlign();
            EXPECT_LE(writer.bitCount(), bound);
            EXPECT_LE(bound, channels * 6144);
        }
}

// A kept trial taken back leaves the channel exactly as repeating that trial would, after a
// trial at another gain in between (long and grouped short blocks, with and without noise
// substitution and the energy limit).
TEST(GainTrial, RecallLeavesWhatARepeatedTrialLeaves) {
    for (const bool shortBlock : {false, true})
        for (const bool noise : {false, true}) {
            auto enc = makeFrame(1, k44100, 64000);
            if (shortBlock) setShortBlock(enc->ics[0], k44100, {3, 1, 4});
            fillSpectrum(enc->buffers[0].spectrum, shortBlock, 11);
            enc->limit();
            ChannelCoding& start = enc->coding[0];
            start.pnsBandLimit = start.bandLimit;
            for (int i = 0; i < kMaxBandEntries; ++i) start.scaleOffset[i] = (i * 5) % 23;
            const ChannelCoding initial = start;
            ChannelCoding repeated = initial, recalled = initial;
            GainTrial a(repeated, enc->ics[0], enc->buffers[0].spectrum, noise, noise);
            GainTrial b(recalled, enc->ics[0], enc->buffers[0].spectrum, noise, noise);
            for (GainTrial* t : {&a, &b}) {
                std::fill(std::begin(t->nonZero), std::end(t->nonZero), uint8_t{1});  // as the searches start
                std::fill(std::begin(t->largest), std::end(t->largest), 0);
                std::fill(std::begin(t->preserved), std::end(t->preserved), uint8_t{0});
                std::copy(initial.scaleOffset, initial.scaleOffset + kMaxBandEntries, t->coding.scaleOffset);
                t->trial(60);
            }
            b.keep();
            for (GainTrial* t : {&a, &b})
                for (const int gain : {75, 45}) {
                    std::copy(initial.scaleOffset, initial.scaleOffset + kMaxBandEntries, t->coding.scaleOffset);
                    t->trial(gain, gain == 75 ? 10 : INT_MAX);  // one stops early, as over-budget trials do
                }
            std::copy(initial.scaleOffset, initial.scaleOffset + kMaxBandEntries, repeated.scaleOffset);
            a.trial(60);
            ASSERT_FALSE(b.recall(59));
            ASSERT_TRUE(b.recall(60));
            EXPECT_EQ(std::memcmp(&repeated, &recalled, sizeof repeated), 0) << shortBlock << noise;
            EXPECT_EQ(std::memcmp(a.nonZero, b.nonZero, sizeof a.nonZero), 0);
            EXPECT_EQ(std::memcmp(a.largest, b.largest, sizeof a.largest), 0);
            EXPECT_EQ(a.lastGain, b.lastGain);
        }
}

}  // namespace
}  // namespace varnel
