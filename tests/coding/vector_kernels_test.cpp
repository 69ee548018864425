// The vector build of every hot kernel gives exactly the baseline build's results (the default
// mode's output depends on it byte for byte), on random input with the values that tell
// rounding and signed zeros apart.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "analysis/block_switching.h"
#include "analysis/filterbank.h"
#include "analysis/mdct.h"
#include "analysis/psychoacoustic_model.h"
#include "analysis/real_fft.h"
#include "coding/band_statistics.h"
#include "coding/quantiser.h"
#include "coding/rate_control.h"
#include "records/instruction_set.h"
#include "tests/coding/coding_frame_for_test.h"

namespace varnel {
namespace {

using namespace varnel::testing;

// Gaussian values of a wide range of scales, with exact zeros of both signs and runs of zeros;
// every fourth seed gives zeros of random signs only (a silent block).
std::vector<double> awkwardValues(int n, unsigned seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<double> gauss;
    std::uniform_int_distribution<int> pick(0, 15), scale(-30, 40);
    std::vector<double> v(n);
    for (double& x : v) {
        const int kind = pick(rng);
        x = kind == 0 ? 0.0 : kind == 1 ? -0.0 : gauss(rng) * std::ldexp(1.0, scale(rng));
        if (seed % 4 == 3) x = std::copysign(0.0, x);
    }
    for (int i = n / 3; i < n / 3 + n / 8; ++i) v[i] = (i & 1) ? -0.0 : 0.0;
    return v;
}

// One channel's records at a sampling rate, long or with the given window groups, with band
// offsets that vary from band to band.
struct Channel {
    Channel(int rateIndex, const std::vector<int>& groups) : frame(makeFrame(1, rateIndex, 64000)) {
        if (!groups.empty()) setShortBlock(ics, rateIndex, groups);
        for (int i = 0; i < kMaxBandEntries; ++i) coding.scaleOffset[i] = (i * 7) % 40;
    }
    std::unique_ptr<CodingFrame> frame;
    ChannelCoding& coding = frame->coding[0];
    IcsInfo& ics = frame->ics[0];
    double* x = frame->buffers[0].spectrum;
    const std::span<const double> spectrum{x, kFrameLength};
};

bool sameBits(const double* a, const double* b, int n) { return std::memcmp(a, b, sizeof(double) * n) == 0; }

TEST(VectorKernels, TransformsMatchTheBaselineBitForBit) {
    if (!useVectorKernels()) GTEST_SKIP() << "no vector build for this CPU";
    // Every transform length the stage structure can take: a last radix-4 stage, a last
    // radix-2 stage, one stage or several.
    for (int half = 8; half <= Mdct::kMaxHalfLength; half *= 2) {
        const Mdct mdct(half);
        for (unsigned seed = 0; seed < 4; ++seed) {
            const std::vector<double> z = awkwardValues(2 * half, seed);
            std::vector<double> scalar(half), vector(half);
            mdct.forwardWith(false, z, scalar);
            mdct.forwardWith(true, z, vector);
            EXPECT_TRUE(sameBits(scalar.data(), vector.data(), half)) << "MDCT of " << 2 * half << ", seed " << seed;
        }
    }
    // The filterbank's windowing for every sequence and pair of shapes.
    auto scalarBuffer = std::make_unique<ChannelBuffer>(), vectorBuffer = std::make_unique<ChannelBuffer>();
    const std::vector<double> samples = awkwardValues(kHistoryLength, 5);
    std::copy(samples.begin(), samples.end(), scalarBuffer->timeSamples());
    std::copy(samples.begin(), samples.end(), vectorBuffer->timeSamples());
    for (const int sequence : {ONLY_LONG_SEQUENCE, LONG_START_SEQUENCE, LONG_STOP_SEQUENCE, EIGHT_SHORT_SEQUENCE})
        for (const WindowShape rise : {WindowShape::Sine, WindowShape::Kbd})
            for (const WindowShape fall : {WindowShape::Sine, WindowShape::Kbd}) {
                IcsInfo ics{};
                ics.windowSequence = sequence;
                ics.previousWindowShape = rise;
                ics.windowShape = fall;
                analysisFilterbankWith(false, *scalarBuffer, ics);
                analysisFilterbankWith(true, *vectorBuffer, ics);
                EXPECT_TRUE(sameBits(scalarBuffer->spectrum, vectorBuffer->spectrum, kFrameLength))
                    << "filterbank, sequence " << sequence;
            }
    for (int n = 8; n <= 2048; n *= 2) {
        const RealFftPlan plan(n);
        for (unsigned seed = 0; seed < 4; ++seed) {
            std::vector<double> scalar = awkwardValues(n, seed + 10), vector = scalar;
            plan.forwardWith(false, scalar.data());
            plan.forwardWith(true, vector.data());
            EXPECT_TRUE(sameBits(scalar.data(), vector.data(), n)) << "real FFT of " << n << ", seed " << seed;
        }
    }
}

TEST(VectorKernels, TransientDetectorsDecideAsTheBaseline) {
    if (!useVectorKernels()) GTEST_SKIP() << "no vector build for this CPU";
    // Quiet noise with loud bursts and silent stretches, frame after frame, through two
    // detectors that must keep the same memory and decide the same blocks.
    auto buffer = std::make_unique<ChannelBuffer>();
    IcsInfo ics[2]{};
    TransientDetector detector[2]{};
    for (int i = 0; i < 2; ++i) {
        ics[i].windowSequence = ics[i].nextWindowSequence = ONLY_LONG_SEQUENCE;
        ics[i].swbOffsets = swbOffsetLong[k44100];
        ics[i].numSwb = numSwbLong[k44100];
        ics[i].numWindowGroups = ics[i].windowGroupLength[0] = 1;
        initTransientDetector(detector[i]);
    }
    const BlockSwitchingContext context{4, 1, kMaxBitsPerChannel, true};
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> level(0.0, 1.0);
    for (int frame = 0; frame < 60; ++frame) {
        double* newest = buffer->advanceHistory();
        const double scale = frame % 7 == 3 ? 30000.0 : frame % 11 == 5 ? 0.0 : 300.0 * level(rng);
        const std::vector<double> noise = awkwardValues(kFrameLength, frame);
        for (int k = 0; k < kFrameLength; ++k)
            newest[k] = std::round(std::clamp(noise[k], -1.0, 1.0) * scale);
        for (int i = 0; i < 2; ++i) decideWindowSequenceWith(i == 1, *buffer, ics[i], detector[i], context);
        ASSERT_EQ(ics[0].windowSequence, ics[1].windowSequence) << "frame " << frame;
        ASSERT_EQ(ics[0].numWindowGroups, ics[1].numWindowGroups) << "frame " << frame;
        ASSERT_EQ(std::memcmp(ics[0].groupMarks, ics[1].groupMarks, sizeof ics[0].groupMarks), 0);
        ASSERT_EQ(std::memcmp(&ics[0].attackRatio, &ics[1].attackRatio, sizeof(double)), 0);
        ASSERT_EQ(std::memcmp(&detector[0], &detector[1], sizeof detector[0]), 0) << "frame " << frame;
    }
}

TEST(VectorKernels, MaskingModelMatchesTheBaselineBitForBit) {
    if (!useVectorKernels()) GTEST_SKIP() << "no vector build for this CPU";
    // Long and grouped short blocks in turn, so that each model's pre-echo memory carries over.
    auto states = std::make_unique<MaskingState[]>(2);
    for (int frame = 0; frame < 6; ++frame) {
        Channel ch(k48000, frame % 2 ? std::vector<int>{3, 2, 3} : std::vector<int>{});
        std::vector<double> samples = awkwardValues(kHistoryLength, 40 + frame);
        for (double& x : samples) x = std::round(std::clamp(x, -1.0, 1.0) * 20000.0);
        MaskingResult results[2];
        for (int i = 0; i < 2; ++i)
            computeMaskingThresholdsWith(i == 1, samples, ch.ics, 48000, states[i], results[i]);
        const int entries = ch.ics.numSwb * ch.ics.numWindowGroups;
        EXPECT_TRUE(sameBits(results[0].energy, results[1].energy, entries)) << "frame " << frame;
        EXPECT_TRUE(sameBits(results[0].tonality, results[1].tonality, entries)) << "frame " << frame;
        EXPECT_TRUE(sameBits(results[0].threshold, results[1].threshold, entries)) << "frame " << frame;
    }
}

TEST(VectorKernels, QuantiserAndBandMeasuresMatchTheBaselineBitForBit) {
    if (!useVectorKernels()) GTEST_SKIP() << "no vector build for this CPU";
    const QuantiserKernels& scalar = quantiserKernels(false);
    const QuantiserKernels& vector = quantiserKernels(true);
    struct Layout {
        int rateIndex;
        std::vector<int> groups;  // empty: a long block
    };
    const Layout layouts[] = {{k44100, {}}, {k16000, {}}, {k48000, {2, 3, 3}}, {k32000, {1, 1, 1, 1, 1, 1, 1, 1}}};
    for (const Layout& layout : layouts) {
        for (unsigned seed = 0; seed < 6; ++seed) {
            Channel ch(layout.rateIndex, layout.groups);
            const std::vector<double> lines = awkwardValues(kFrameLength, seed + 100);
            std::copy(lines.begin(), lines.end(), ch.x);
            const bool limit = seed % 2 == 1;
            MagnitudePowers scalarPowers, vectorPowers;
            scalar.magnitudePowers(ch.spectrum, ch.ics, scalarPowers, limit, nullptr, ch.ics.numSwb);
            vector.magnitudePowers(ch.spectrum, ch.ics, vectorPowers, limit, nullptr, ch.ics.numSwb);
            const int entries = ch.ics.numSwb * ch.ics.numWindowGroups;
            ASSERT_TRUE(sameBits(scalarPowers.line, vectorPowers.line, kFrameLength));
            ASSERT_TRUE(sameBits(scalarPowers.bandPeak, vectorPowers.bandPeak, entries));
            ASSERT_TRUE(sameBits(scalarPowers.bandEnergy, vectorPowers.bandEnergy, entries));
            if (layout.groups.empty()) {
                EXPECT_EQ(spectralFlatnessWith(false, ch.spectrum, ch.ics),
                          spectralFlatnessWith(true, ch.spectrum, ch.ics));
                std::vector<double> music(kFrameLength);
                fillSpectrum(music.data(), false, seed, 2e5, 20.0 * seed);
                EXPECT_EQ(spectralFlatnessWith(false, music, ch.ics), spectralFlatnessWith(true, music, ch.ics));
            }
            BandStats scalarStats, vectorStats;
            measureBandsWith(false, ch.spectrum, ch.ics, scalarStats);
            measureBandsWith(true, ch.spectrum, ch.ics, vectorStats);
            ASSERT_TRUE(sameBits(scalarStats.energy, vectorStats.energy, entries));
            ASSERT_TRUE(sameBits(scalarStats.form, vectorStats.form, entries));
            for (int gain = 20; gain <= 255; gain += 47) {
                ChannelCoding a = ch.coding, b = ch.coding;
                a.globalGain = b.globalGain = gain;
                uint8_t nonZeroA[kMaxBandEntries], nonZeroB[kMaxBandEntries];
                int32_t largestA[kMaxBandEntries], largestB[kMaxBandEntries];
                std::fill(std::begin(nonZeroA), std::end(nonZeroA), uint8_t{1});
                std::fill(std::begin(nonZeroB), std::end(nonZeroB), uint8_t{1});
                scalar.quantiseBands(a, ch.spectrum, ch.ics, scalarPowers, 0, ch.ics.numSwb, nonZeroA, largestA);
                vector.quantiseBands(b, ch.spectrum, ch.ics, vectorPowers, 0, ch.ics.numSwb, nonZeroB, largestB);
                EXPECT_EQ(std::memcmp(a.quantSpectrum, b.quantSpectrum, sizeof a.quantSpectrum), 0) << "gain " << gain;
                if (!limit) {
                    // Both builds (one run per block for long blocks) agree with the formula band by band.
                    ChannelCoding reference = ch.coding;
                    reference.globalGain = gain;
                    quantiseSpectrum(reference, ch.spectrum, ch.ics, scalarPowers.line);
                    EXPECT_EQ(std::memcmp(a.quantSpectrum, reference.quantSpectrum, sizeof a.quantSpectrum), 0)
                        << "gain " << gain;
                }
                EXPECT_EQ(std::memcmp(nonZeroA, nonZeroB, entries), 0) << "gain " << gain;
                EXPECT_EQ(std::memcmp(largestA, largestB, sizeof(int32_t) * entries), 0) << "gain " << gain;
                // Offsets far apart, so that the range limit lowers some and quantises them again.
                for (int i = 0; i < entries; ++i) a.scaleOffset[i] = b.scaleOffset[i] = (i % 3) * 70 + i % 5;
                const uint8_t preserved[kMaxBandEntries] = {};
                const bool changedA = scalar.limitScalefactorRange(a, ch.spectrum, ch.ics, scalarPowers, ch.ics.numSwb,
                                                                   preserved, nonZeroA, largestA);
                const bool changedB = vector.limitScalefactorRange(b, ch.spectrum, ch.ics, vectorPowers, ch.ics.numSwb,
                                                                   preserved, nonZeroB, largestB);
                EXPECT_EQ(changedA, changedB);
                EXPECT_EQ(std::memcmp(a.scaleOffset, b.scaleOffset, sizeof(int32_t) * entries), 0) << "gain " << gain;
                EXPECT_EQ(std::memcmp(a.quantSpectrum, b.quantSpectrum, sizeof a.quantSpectrum), 0) << "gain " << gain;
            }
        }
    }
}

}  // namespace
}  // namespace varnel
