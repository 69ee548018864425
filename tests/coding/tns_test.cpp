#include "coding/tns.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <random>
#include <utility>
#include <vector>

#include "coding/tns_tables.h"
#include "records/band_tables.h"
#include "tests/coding/coding_frame_for_test.h"
#include "tests/coding/tns_decoder_for_test.h"

namespace varnel {
namespace {

constexpr int k96000 = 0, k48000 = 3, k44100 = 4, k8000 = 11;

IcsInfo longBlock(int rateIndex) {
    IcsInfo ics{};
    ics.windowSequence = ONLY_LONG_SEQUENCE;
    ics.swbOffsets = swbOffsetLong[rateIndex];
    ics.numSwb = numSwbLong[rateIndex];
    ics.numWindowGroups = 1;
    ics.windowGroupLength[0] = 1;
    return ics;
}

// Runs the search with scripted gains per start band; records the calls.
struct ScriptedSearch {
    std::map<int, double> gains;
    std::vector<bool> applyResults;  // per apply call; true when exhausted
    std::vector<std::pair<int, int>> analysed, applied;
    std::vector<int> analysisBeforeApply;  // start band of the analysis each apply used

    void run(int rateIndex, int bandLimit) {
        const IcsInfo ics = longBlock(rateIndex);
        const TnsBandRange range = tnsBandRange(ics, bandLimit, bandLimit, rateIndex, ics.numSwb);
        TnsSearchSteps steps;
        steps.analyse = [&](int s, int top) {
            analysed.emplace_back(s, top);
            return gains.count(s) ? gains.at(s) : 1.0;
        };
        steps.apply = [&](int s, int top) {
            applied.emplace_back(s, top);
            analysisBeforeApply.push_back(analysed.back().first);
            const size_t n = applied.size() - 1;
            return n < applyResults.size() ? applyResults[n] : true;
        };
        searchTnsFilters({ics.swbOffsets, ics.numSwb + 1u}, range.lowestBand, range.topBand, steps);
    }
};

using Calls = std::vector<std::pair<int, int>>;

TEST(TnsSearch, FirstGainBelowTwoSetsNoFilter) {
    ScriptedSearch s;
    s.gains = {{26, 1.99}, {24, 9.0}};
    s.run(k44100, 49);
    EXPECT_EQ(s.analysed, (Calls{{26, 42}}));
    EXPECT_TRUE(s.applied.empty());
}

TEST(TnsSearch, AGainDropAppliesTheNarrowerRangeWithTheWiderAnalysis) {
    ScriptedSearch s;
    s.gains = {{26, 3.0}, {24, 2.5}};  // 2.5 < 0.9 x 3.0
    s.run(k44100, 49);
    ASSERT_FALSE(s.applied.empty());
    EXPECT_EQ(s.applied[0], std::make_pair(26, 42));
    EXPECT_EQ(s.analysisBeforeApply[0], 24);
    // The next search runs below the filter: [24, 26) is 44 lines and skipped, [22, 26) is
    // analysed, gain 1 stops.
    EXPECT_EQ(s.analysed, (Calls{{26, 42}, {24, 42}, {22, 26}}));
}

TEST(TnsSearch, AGainFallingBelowTwoAfterAGoodRangeAppliesTheGoodRange) {
    ScriptedSearch s;
    s.gains = {{26, 3.0}, {24, 2.9}, {22, 1.5}};
    s.run(k44100, 49);
    EXPECT_EQ(s.applied, (Calls{{24, 42}}));
}

TEST(TnsSearch, HoldingGainsApplyAtTheLowestBandOnlyAtAnEvenDistance) {
    ScriptedSearch even;  // 44100 Hz: 26 - 20 is even
    even.gains = {{26, 3.0}, {24, 3.0}, {22, 3.0}, {20, 3.0}};
    even.run(k44100, 49);
    EXPECT_EQ(even.applied, (Calls{{20, 42}}));

    ScriptedSearch odd;  // 96000 Hz: 26 - 9 is odd, s passes 10 and 8
    for (int b = 10; b <= 26; b += 2) odd.gains[b] = 3.0;
    odd.run(k96000, 41);
    EXPECT_TRUE(odd.applied.empty());
    EXPECT_EQ(odd.analysed.back(), std::make_pair(10, 31));
}

TEST(TnsSearch, AFallAtTheLowestBandAppliesTheLowestRange) {
    ScriptedSearch s;
    s.gains = {{26, 3.0}, {24, 3.0}, {22, 3.0}, {20, 1.0}};
    s.run(k44100, 49);
    EXPECT_EQ(s.applied, (Calls{{20, 42}}));
}

TEST(TnsSearch, ADiscardedFilterKeepsSearchingDownward) {
    ScriptedSearch s;
    s.gains = {{26, 3.0}, {24, 2.6}, {22, 2.6}};
    s.applyResults = {false};
    s.run(k44100, 49);
    // After the discarded filter at 26 the previous gain 3.0 still counts: 2.6 < 2.7 again.
    EXPECT_EQ(s.applied, (Calls{{26, 42}, {24, 42}}));
}

TEST(TnsSearch, StopsAfterTwoFilters) {
    ScriptedSearch s;  // 48000 Hz: the lowest band is 18
    s.gains = {{26, 3.0}, {24, 2.0}, {22, 3.0}, {20, 2.0}, {18, 3.0}};
    s.run(k48000, 49);
    EXPECT_EQ(s.applied, (Calls{{26, 40}, {22, 26}}));
    EXPECT_EQ(s.analysed.back(), std::make_pair(20, 26));
}

TEST(TnsSearch, NeverStartsAt8000HzOrBelowTheLowestBand) {
    ScriptedSearch at8000;  // s is at most 26, the lowest band 27
    at8000.run(k8000, 40);
    EXPECT_TRUE(at8000.analysed.empty());
    ScriptedSearch narrow;  // top 21: s = 19 < 20
    narrow.run(k44100, 21);
    EXPECT_TRUE(narrow.analysed.empty());
}

TEST(TnsLpcAnalysis, SolvesTheNormalEquationsAndHonoursTheEnergyFloor) {
    std::mt19937 rng(3);
    std::normal_distribution<double> noise(0.0, 40.0);
    std::vector<double> x(300);
    for (size_t n = 0; n < x.size(); ++n) {
        x[n] = noise(rng) + (n > 0 ? 1.2 * x[n - 1] : 0.0) - (n > 1 ? 0.6 * x[n - 2] : 0.0);
    }
    std::vector<double> k(kTnsCoefArraySize, 0.0);
    const double gain = tnsLpcAnalysis(kTnsMaxOrder, x, k);

    auto r = [&](int i) {
        double sum = 0.0;
        for (size_t n = 0; n + i < x.size(); ++n) sum += x[n] * x[n + i];
        return sum;
    };
    // Predictor a from the reflection coefficients (step-up), then r(i) + sum a_j r(i - j) = 0.
    std::vector<double> a(kTnsCoefArraySize, 0.0), b = a;
    a[0] = 1.0;
    for (int m = 1; m <= kTnsMaxOrder; ++m, a = b) {
        b = a;
        for (int i = 1; i < m; ++i) b[i] = a[i] + k[m] * a[m - i];
        b[m] = k[m];
    }
    double error = 0.0;
    for (int j = 0; j <= kTnsMaxOrder; ++j) error += a[j] * r(j);
    for (int i = 1; i <= kTnsMaxOrder; ++i) {
        double sum = 0.0;
        for (int j = 0; j <= kTnsMaxOrder; ++j) sum += a[j] * r(std::abs(i - j));
        EXPECT_NEAR(sum / r(0), 0.0, 1e-12) << i;
    }
    EXPECT_NEAR(gain, r(0) / error, 1e-9 * gain);
    EXPECT_GT(gain, 2.0);

    std::vector<double> quiet(100, std::sqrt(49999.0 / 100));  // r[0] = 49999
    std::vector<double> untouched(kTnsCoefArraySize, 0.25);
    EXPECT_EQ(tnsLpcAnalysis(kTnsMaxOrder, quiet, untouched), 0.0);
    EXPECT_EQ(untouched, std::vector<double>(kTnsCoefArraySize, 0.25));
}

TEST(TnsCoefficients, QuantiseToFourBitTwosComplementAndDequantise) {
    const double step = 7.5 * 0.6366197723675814, stepM = 8.5 * 0.6366197723675814;
    std::vector<double> k = {0.0, 0.0, std::sin(3 / step), std::sin(-3 / stepM), 0.999, -0.999,
                             1.0, 0.05};
    std::vector<uint8_t> idx(7, 0xFF);
    tnsQuantiseCoefficients(7, kTnsCoefBits, k, idx);
    // -3 is stored as 13, -8 as 8; k = 1 (rounding only) is held at the largest index 7.
    EXPECT_EQ(idx, (std::vector<uint8_t>{0, 3, 13, 7, 8, 7, 0}));
    EXPECT_NEAR(k[3], std::sin(-3 / stepM), 1e-15);
    EXPECT_NEAR(k[5], std::sin(-8 / stepM), 1e-15);
    EXPECT_EQ(k[7], 0.0);
}

TEST(TnsCoefficients, TruncationKeepsTheOrderUpToTheLastLargeCoefficient) {
    // Order 12 whose coefficients 9 to 12 quantise to index 0: order 8.
    std::vector<double> k = {0, 0.5, -0.4, 0.3, 0.2, -0.2, 0.15, 0.3, -0.6, 0.05, -0.04, 0.09, 0.1};
    std::vector<uint8_t> idx(12);
    tnsQuantiseCoefficients(12, kTnsCoefBits, k, idx);
    EXPECT_EQ(tnsTruncateOrder(12, kTnsTruncation, k), 8);
    EXPECT_EQ(std::count(idx.begin() + 8, idx.end(), 0), 4);

    std::vector<double> small = {0, 0.1, -0.1, 0.05};  // |k| = 0.1 is dropped too
    EXPECT_EQ(tnsTruncateOrder(3, 0.1, small), 0);
    EXPECT_EQ(small, (std::vector<double>{0, 0, 0, 0}));
}

// The encoder's filter from given indices, inverted by the reference decoder, for every
// coefficient width a decoder reads (coef_res 0 and 1, coef_compress 0 and 1) and both
// directions.
TEST(TnsRoundTrip, ReferenceDecoderInvertsTheFilterForEveryCoefficientFormat) {
    // Unit-scale lines: random indices near the ends of the range put poles of the decoder's
    // filter close to the unit circle, whose gain scales the rounding error with the signal.
    std::mt19937 rng(11);
    std::uniform_real_distribution<double> value(-1.0, 1.0);
    for (int coefRes = 0; coefRes <= 1; ++coefRes) {
        for (int compress = 0; compress <= 1; ++compress) {
            for (int direction = 0; direction <= 1; ++direction) {
                const int bits = coefRes + 3, width = bits - compress;
                std::uniform_int_distribution<int> index(-(1 << (width - 1)), (1 << (width - 1)) - 1);
                for (int order = 1; order <= kTnsMaxOrder; ++order) {
                    uint8_t coef[kMaxTnsFilterSlots] = {};
                    for (int i = 0; i < order; ++i) {
                        coef[i] = static_cast<uint8_t>(index(rng) & ((1 << width) - 1));
                    }
                    std::vector<double> lines(300), lpc(kTnsCoefArraySize);
                    for (double& x : lines) x = value(rng);
                    const std::vector<double> original = lines;
                    tnsDirectForm(order, bits, compress, coef, lpc);
                    tnsAnalysisFilter(lines, direction ? -1 : 1, lpc, order);

                    double decoderLpc[32];
                    reference::tnsDecodeCoef(order, bits, compress, coef, decoderLpc);
                    const int n = static_cast<int>(lines.size());
                    reference::tnsArFilter(direction ? &lines[n - 1] : &lines[0], n,
                                           direction ? -1 : 1, decoderLpc, order);
                    for (int k = 0; k < n; ++k) {
                        ASSERT_NEAR(lines[k], original[k], 1e-9)
                            << "res " << coefRes << " compress " << compress << " dir " << direction
                            << " order " << order << " line " << k;
                    }
                }
            }
        }
    }
}

// Spectra with an AR(2) structure along frequency that changes at a random band, so that
// predictable ranges of different widths and one or two filters occur.
std::vector<double> predictableSpectrum(std::mt19937& rng, const IcsInfo& ics) {
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    std::normal_distribution<double> noise(0.0, 1.0);
    const int change = ics.swbOffsets[20 + static_cast<int>(uniform(rng) * 8)];
    const double amplitude = 5.0 + 300.0 * uniform(rng);
    std::vector<double> x(kFrameLength);
    double rho = 0.6 + 0.39 * uniform(rng), theta = 3.1 * uniform(rng);
    for (int k = 0; k < kFrameLength; ++k) {
        if (k == change) rho = 0.6 + 0.39 * uniform(rng), theta = 3.1 * uniform(rng);
        const double x1 = k > 0 ? x[k - 1] : 0.0, x2 = k > 1 ? x[k - 2] : 0.0;
        x[k] = amplitude * noise(rng) + 2.0 * rho * std::cos(theta) * x1 - rho * rho * x2;
    }
    return x;
}

TEST(TnsRoundTrip, ReferenceDecoderUndoesRunTnsFromTheWrittenSideInformation) {
    const IcsInfo ics = longBlock(k44100);
    const int bandLimit = 47;  // top = 42 (TNS_MAX_BANDS) < numSwb = 49
    const TnsBandRange range = tnsBandRange(ics, bandLimit, bandLimit, k44100, ics.numSwb);
    std::mt19937 rng(5);
    int filterCounts[3] = {};
    int widerAnalyses = 0;
    for (int trial = 0; trial < 200; ++trial) {
        std::vector<double> spectrum = predictableSpectrum(rng, ics);
        const std::vector<double> original = spectrum;
        ChannelSideInfo side{};
        runTnsChannel(ics, range, spectrum, side);
        const int filters = side.tnsNumFilters[0];
        ASSERT_LE(filters, kTnsMaxFilters);
        ++filterCounts[filters];
        EXPECT_EQ(side.tnsDataPresent, filters > 0 ? 1 : 0);
        if (filters == 0) {
            EXPECT_EQ(spectrum, original);
            continue;
        }
        EXPECT_EQ(side.tnsCoefRes[0], kTnsCoefRes);
        int top = range.topBand, previousStart = ics.numSwb;
        for (int f = 0; f < filters; ++f) {
            const int start = previousStart - side.tnsLength[f];
            EXPECT_GE(start, range.lowestBand);
            EXPECT_EQ(side.tnsDirection[f], 0);
            EXPECT_EQ(side.tnsCoefCompress[f], 0);
            for (int i = 0; i < kTnsMaxOrder; ++i) ASSERT_LT(side.tnsCoef[f][i], 16);
            // The coefficients come from the analysis of [start - 2, top) unless the filter
            // starts at the lowest band.
            const int analysed = start == range.lowestBand ? start : start - 2;
            widerAnalyses += analysed != start;
            std::vector<double> k(kTnsCoefArraySize);
            const int lo = ics.swbOffsets[analysed];
            tnsLpcAnalysis(kTnsMaxOrder, {original.data() + lo, size_t(ics.swbOffsets[top] - lo)}, k);
            std::vector<uint8_t> expected(kTnsMaxOrder);
            tnsQuantiseCoefficients(kTnsMaxOrder, kTnsCoefBits, k, expected);
            EXPECT_TRUE(std::equal(expected.begin(), expected.end(), side.tnsCoef[f])) << trial;
            top = previousStart = start;
        }
        reference::tnsDecodeLong(side, ics.numSwb, ics.swbOffsets, tnsBandLimits[k44100].topLong,
                                 bandLimit, spectrum);
        double peak = 0.0, error = 0.0;
        for (int k = 0; k < kFrameLength; ++k) {
            peak = std::max(peak, std::fabs(original[k]));
            error = std::max(error, std::fabs(spectrum[k] - original[k]));
        }
        ASSERT_LE(error, 1e-12 * peak) << "trial " << trial;
    }
    // The trials cover no filter, one and two filters, and the wider-analysis case.
    EXPECT_GT(filterCounts[0], 0);
    EXPECT_GT(filterCounts[1], 0);
    EXPECT_GT(filterCounts[2], 0);
    EXPECT_GT(widerAnalyses, 0);
}

// With bands from 30 up that may be noise (max_sfb 47 above them) no filter runs there: not in
// the encoder, and not in the decoder, which an order-0 first filter over them holds off
// whatever it filled them with, while it still undoes the filters below exactly.
TEST(TnsRoundTrip, NoFilterRunsOverBandsThatMayBeNoise) {
    const IcsInfo ics = longBlock(k44100);
    const TnsBandRange range = tnsBandRange(ics, 47, 47, k44100, 30);
    const int noiseLines = ics.swbOffsets[30];
    std::mt19937 rng(5);
    int filtered = 0;
    for (int trial = 0; trial < 100; ++trial) {
        std::vector<double> spectrum = predictableSpectrum(rng, ics);
        const std::vector<double> original = spectrum;
        ChannelSideInfo side{};
        runTnsChannel(ics, range, spectrum, side);
        ASSERT_TRUE(std::equal(spectrum.begin() + noiseLines, spectrum.end(), original.begin() + noiseLines));
        if (!side.tnsDataPresent) continue;
        ++filtered;
        ASSERT_EQ(side.tnsOrder[0], 0);
        ASSERT_EQ(side.tnsLength[0], ics.numSwb - 30);
        for (int k = noiseLines; k < kFrameLength; ++k) spectrum[k] = -3.0 * original[k];  // the decoder's noise
        reference::tnsDecodeLong(side, ics.numSwb, ics.swbOffsets, tnsBandLimits[k44100].topLong, 47, spectrum);
        for (int k = 0; k < kFrameLength; ++k)
            ASSERT_NEAR(spectrum[k], k < noiseLines ? original[k] : -3.0 * original[k], 1e-9 * (1 + std::fabs(original[k])));
    }
    EXPECT_GT(filtered, 20);
}

TEST(TnsChannel, ShortWindowsAndTheLowestRatesAreLeftAlone) {
    std::mt19937 rng(9);
    IcsInfo shortBlock = longBlock(k44100);
    shortBlock.windowSequence = EIGHT_SHORT_SEQUENCE;
    for (const auto& [ics, rateIndex] : {std::pair{shortBlock, k44100}, std::pair{longBlock(k8000), k8000}}) {
        std::vector<double> spectrum = predictableSpectrum(rng, longBlock(k44100));
        const std::vector<double> original = spectrum;
        ChannelSideInfo side{};
        std::memset(&side, 0xAB, sizeof(side));
        const ChannelSideInfo before = side;
        runTnsChannel(ics, tnsBandRange(ics, ics.numSwb, ics.numSwb, rateIndex, ics.numSwb), spectrum, side);
        EXPECT_EQ(spectrum, original);
        EXPECT_EQ(side.tnsDataPresent, before.tnsDataPresent);
        if (ics.windowSequence == EIGHT_SHORT_SEQUENCE) {
            EXPECT_EQ(std::memcmp(&side, &before, sizeof(side)), 0);  // record untouched
        } else {
            EXPECT_EQ(side.tnsNumFilters[0], 0);
        }
    }
}

// With noise substitution the bands from bandLimit up to pnsBandLimit are coded as well and
// max_sfb is written as pnsBandLimit (for a common-window pair the larger of the two), so a
// decoder's inverse filter runs past bandLimit. The encoder's filter must stop at the same band,
// or the coded lines above bandLimit come out of the decoder coloured by the all-pole filter.
// Where bands from pnsStartBand up may be noise, no filter runs there at all (see the round trip).
TEST(TnsChannel, WithNoiseSubstitutionFiltersReachTheMaxSfbADecoderReads) {
    using testing::k32000;  // TNS_MAX_BANDS = numSwb = 51: the top is max_sfb alone
    constexpr int bandLimit = 40;
    std::mt19937 rng(11);
    int filtersAboveBandLimit = 0;
    for (int channels : {1, 2}) {
        for (int trial = 0; trial < 40; ++trial) {
            auto enc = testing::makeFrame(channels, k32000, 32000);
            const int numSwb = enc->ics[0].numSwb;
            std::vector<std::vector<double>> original;
            for (int c = 0; c < channels; ++c) {
                enc->coding[c].bandLimit = bandLimit;
                // Channel 1 of the pair as one whose bandLimit reached numSwb.
                enc->coding[c].pnsBandLimit = c == 1 ? numSwb : numSwb - 1;
                enc->coding[c].pnsStartBand = enc->coding[c].pnsBandLimit;  // no band may be noise
                const std::vector<double> x = predictableSpectrum(rng, enc->ics[c]);
                std::copy(x.begin(), x.end(), enc->buffers[c].spectrum);
                original.push_back(x);
            }
            runTns(enc->ics, enc->coding, enc->buffers, enc->element, true, k32000);
            const int maxSfb = channels == 2 ? numSwb : numSwb - 1;
            for (int c = 0; c < channels; ++c) {
                const ChannelSideInfo& side = enc->element.sideInfo[c];
                std::span<double> spectrum(enc->buffers[c].spectrum, kFrameLength);
                const uint16_t* offsets = enc->ics[c].swbOffsets;
                bool changedAbove = false;
                for (int k = offsets[bandLimit]; k < kFrameLength; ++k)
                    changedAbove |= spectrum[k] != original[c][k];
                filtersAboveBandLimit += changedAbove;
                reference::tnsDecodeLong(side, numSwb, offsets, tnsBandLimits[k32000].topLong, maxSfb,
                                         spectrum);
                double peak = 0.0, error = 0.0;
                for (int k = 0; k < kFrameLength; ++k) {
                    peak = std::max(peak, std::fabs(original[c][k]));
                    error = std::max(error, std::fabs(spectrum[k] - original[c][k]));
                }
                ASSERT_LE(error, 1e-12 * peak) << "channels " << channels << " trial " << trial << " channel " << c;
            }
        }
    }
    EXPECT_GT(filtersAboveBandLimit, 10);
}

}  // namespace
}  // namespace varnel
