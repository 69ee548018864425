// The sectioning's counts against the writer, and the writer against an independent reader:
// for random quantised channels over every band table, long and short blocks with random
// groupings, with and without noise and intensity bands and with magnitudes up to 8191,
//   buildSections (or buildSectionsWithNoise) + countScalefactorBits
// must equal the bits written for section_data + scale_factor_data + spectral_data, and the
// reader must recover the sections, the scalefactors and every quantised value.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <random>
#include <vector>

#include "bitstream/bit_writer.h"
#include "bitstream/codebooks.h"
#include "bitstream/sectioning.h"
#include "bitstream/syntax_writer.h"
#include "records/band_tables.h"
#include "tests/bitstream/bitstream_reader_for_test.h"
#include "tests/bitstream/channel_fixture_for_test.h"

namespace varnel {
namespace {

using test::DecodedChannel;

struct Trial {
    int sampleRateIndex;
    bool shortBlock;
    bool noiseSubstitution;
    bool intensityBands;
    int maxMagnitude;
    int classPersistence;
};

// The noise energy a decoder holds in each noise band: the highest chain whose steps are at
// most 60 and that exceeds no band's own energy, the first value within the 9-bit field (at
// most globalGain + 265), which is the lower envelope min_j (v_j + 60 |i - j|). A first value
// below the field (L = globalGain - 246) is raised to it: then v_0 counts as L, and band i
// holds at least L - 60 i.
std::vector<int> expectedNoiseEnergies(const IcsInfo& ics, const ChannelCoding& coding) {
    std::vector<int> bands, wanted;
    for (int g = 0; g < ics.numWindowGroups; ++g)
        for (int b = 0; b < coding.maxSfb; ++b)
            if (coding.codebook[g * ics.numSwb + b] == NOISE_HCB) {
                bands.push_back(g * ics.numSwb + b);
                wanted.push_back(bands.size() == 1 ? std::min(coding.scaleOffset[bands.back()], coding.globalGain + 265)
                                                   : coding.scaleOffset[bands.back()]);
            }
    const int n = static_cast<int>(bands.size()), low = coding.globalGain - 246;
    const bool raised = n > 0 && wanted[0] < low;
    if (raised) wanted[0] = low;
    std::vector<int> sent(n);
    for (int i = 0; i < n; ++i) {
        sent[i] = raised ? low - 60 * i : INT_MIN;
        int envelope = INT_MAX;
        for (int j = 0; j < n; ++j) envelope = std::min(envelope, wanted[j] + 60 * std::abs(i - j));
        sent[i] = std::max(sent[i], envelope);
    }
    std::vector<int> energy(kMaxBandEntries, 0);
    for (int i = 0; i < n; ++i) energy[bands[i]] = sent[i];
    return energy;
}

void checkDecoded(const IcsInfo& ics, const ChannelCoding& coding, bool noiseSubstitution,
                  const DecodedChannel& decoded) {
    const std::vector<int> noiseEnergy = expectedNoiseEnergies(ics, coding);
    for (int g = 0; g < ics.numWindowGroups; ++g) {
        const int firstWindow = test::firstWindowOfGroup(ics, g);
        for (int b = 0; b < coding.maxSfb; ++b) {
            const int band = g * ics.numSwb + b;
            const int codebook = coding.codebook[band];
            ASSERT_EQ(decoded.codebook[band], codebook) << "group " << g << " band " << b;
            const int v = coding.scaleOffset[band];
            if (codebook == INTENSITY_HCB || codebook == INTENSITY_HCB2) {
                EXPECT_EQ(decoded.scalefactor[band], v) << "is_position, band " << b;
            } else if (codebook == NOISE_HCB && noiseSubstitution) {
                EXPECT_EQ(decoded.scalefactor[band], noiseEnergy[band]) << "noise, band " << b;
            } else if (codebook != ZERO_HCB) {
                EXPECT_EQ(decoded.scalefactor[band], coding.globalGain + 100 - v) << "band " << b;
            }
            const bool spectral = codebook >= 1 && codebook <= ESC_HCB;
            int largest = 0;
            for (int w = firstWindow; w < firstWindow + test::windowsOfGroup(ics, g); ++w) {
                for (int k = ics.swbOffsets[b]; k < ics.swbOffsets[b + 1]; ++k) {
                    const int line = kShortWindowLength * w + k;
                    const int original = coding.quantSpectrum[line];
                    largest = std::max(largest, std::abs(original));
                    if (spectral) {
                        ASSERT_EQ(decoded.quant[line], original) << "band " << b << " line " << line;
                    } else if (codebook == ZERO_HCB) {
                        ASSERT_EQ(original, 0) << "a band with values was given codebook 0";
                    }
                }
            }
            if (spectral && codebook < ESC_HCB) {
                EXPECT_LE(largest, codebookTable[codebook].largestValue) << "band " << b;
            }
        }
    }
}

void runTrial(const Trial& trial, std::mt19937& rng) {
    std::vector<int> grouping;
    if (trial.shortBlock) grouping = test::randomGrouping(rng);
    const IcsInfo ics = trial.shortBlock ? test::makeShortIcs(trial.sampleRateIndex, grouping)
                                         : test::makeLongIcs(trial.sampleRateIndex);
    auto coding = test::makeCoding();
    test::RandomChannelOptions options;
    options.maxMagnitude = trial.maxMagnitude;
    options.noiseBands = trial.noiseSubstitution;
    options.intensityBands = trial.intensityBands;
    options.classPersistence = trial.classPersistence;
    test::fillRandomChannel(rng, ics, *coding, options);

    resetCodebooks(ics, *coding, trial.noiseSubstitution);
    const int sectionAndSpectralBits = trial.noiseSubstitution
                                           ? buildSectionsWithNoise(ics, *coding)
                                           : buildSections(ics, *coding);
    const int scalefactorBits = countScalefactorBits(ics, *coding, trial.noiseSubstitution);

    const int expectedMaxSfb = trial.noiseSubstitution ? coding->pnsBandLimit : coding->bandLimit;
    if (trial.shortBlock || trial.noiseSubstitution) {
        EXPECT_EQ(coding->maxSfb, expectedMaxSfb);
    } else {
        EXPECT_LE(coding->maxSfb, expectedMaxSfb);
    }

    std::vector<uint8_t> buffer(16384 + 4);
    BitWriter w;
    w.setOutput(buffer.data(), static_cast<int>(buffer.size()));
    const int64_t start = w.bitCount();
    writeSectionData(w, ics, *coding);
    const int64_t afterSections = w.bitCount();
    writeScaleFactorData(w, ics, *coding, trial.noiseSubstitution);
    const int64_t afterScalefactors = w.bitCount();
    writeSpectralData(w, ics, *coding);
    const int64_t end = w.bitCount();

    EXPECT_EQ(scalefactorBits, afterScalefactors - afterSections);
    EXPECT_EQ(sectionAndSpectralBits, (afterSections - start) + (end - afterScalefactors));

    int bits = 0;
    const uint8_t* data = w.takeOutput(&bits);
    ASSERT_EQ(bits, end - start);
    ASSERT_FALSE(w.overflowed());
    DecodedChannel decoded;
    decoded.globalGain = coding->globalGain + 100;
    decoded.windowSequence = ics.windowSequence;
    decoded.maxSfb = coding->maxSfb;
    decoded.numWindowGroups = ics.numWindowGroups;
    for (int g = 0; g < ics.numWindowGroups; ++g) decoded.windowGroupLength[g] = ics.windowGroupLength[g];
    test::TestBitReader reader(data, bits);
    ASSERT_TRUE(test::parseSectionScalefactorSpectral(
        reader, test::bandLayoutForRate(trial.sampleRateIndex), trial.noiseSubstitution, decoded));
    EXPECT_EQ(reader.remaining(), 0);
    checkDecoded(ics, *coding, trial.noiseSubstitution, decoded);
}

class RoundTrip : public ::testing::TestWithParam<int> {};

TEST_P(RoundTrip, CountedBitsEqualWrittenBitsAndReaderRecoversTheChannel) {
    const int sampleRateIndex = GetParam();
    std::mt19937 rng(1234u + static_cast<unsigned>(sampleRateIndex));
    const int magnitudes[] = {1, 2, 4, 7, 12, 16, 100, 8191};
    // The sectioning reports an internal fault on standard output; none may occur.
    ::testing::internal::CaptureStdout();
    for (int iteration = 0; iteration < 60 && !HasFatalFailure(); ++iteration) {
        for (bool shortBlock : {false, true}) {
            for (bool noise : {false, true}) {
                const Trial trial{sampleRateIndex, shortBlock, noise, iteration % 3 == 0,
                                  magnitudes[iteration % 8], iteration % 2 ? 97 : 0};
                SCOPED_TRACE(::testing::Message() << "iteration " << iteration << " short "
                                                  << shortBlock << " noise " << noise);
                if (!HasFatalFailure()) runTrial(trial, rng);
            }
        }
    }
    const std::string output = ::testing::internal::GetCapturedStdout();
    std::fputs(output.c_str(), stdout);  // gtest's own failure messages went there too
    EXPECT_EQ(output.find("bug in sectioning"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(EveryBandTable, RoundTrip, ::testing::Range(0, kNumSampleRates));

}  // namespace
}  // namespace varnel
