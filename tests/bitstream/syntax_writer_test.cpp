#include "bitstream/syntax_writer.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "bitstream/bit_writer.h"
#include "bitstream/codebooks.h"
#include "bitstream/sectioning.h"
#include "tests/bitstream/bitstream_reader_for_test.h"
#include "tests/bitstream/channel_fixture_for_test.h"

namespace varnel {
namespace {

constexpr int kRate44100 = 4;

std::string bitString(uint32_t value, int bits) {
    std::string s;
    for (int i = bits - 1; i >= 0; --i) s += ((value >> i) & 1u) ? '1' : '0';
    return s;
}

// Runs `write` on a fresh writer and returns the bits it put, as '0'/'1' characters.
template <class Write>
std::string writtenBits(Write&& write) {
    std::vector<uint8_t> buffer(16384 + 4);
    BitWriter w;
    w.setOutput(buffer.data(), static_cast<int>(buffer.size()));
    write(w);
    int bits = 0;
    const uint8_t* data = w.takeOutput(&bits);
    test::TestBitReader r(data, bits);
    std::string s;
    for (int i = 0; i < bits; ++i) s += r.read(1) ? '1' : '0';
    return s;
}

struct Frame {
    std::vector<uint8_t> bytes;
    int bits = 0;
};

Frame writeFrame(AacEncoder& encoder) {
    Frame frame;
    frame.bytes.assign(16384 + 4, 0);
    encoder.bitWriter->setOutput(frame.bytes.data(), static_cast<int>(frame.bytes.size()));
    writeElement(encoder, encoder.channels != 1);
    writeEnd(encoder);
    encoder.bitWriter->byteAlign();
    encoder.bitWriter->takeOutput(&frame.bits);
    return frame;
}

std::string frameBits(const Frame& frame) {
    test::TestBitReader r(frame.bytes.data(), frame.bits);
    std::string s;
    for (int i = 0; i < frame.bits; ++i) s += r.read(1) ? '1' : '0';
    return s;
}

TEST(SyntaxWriter, SilentMonoFrameLayout) {
    auto coding = test::makeCoding();
    coding->globalGain = 0;
    coding->maxSfb = 0;
    auto longEncoder = test::makeEncoder({test::makeLongIcs(kRate44100)}, {coding.get()}, 0);
    EXPECT_EQ(frameBits(writeFrame(*longEncoder)),
              std::string("000") + "0011" + bitString(100, 8) +  // SCE, tag 3, global_gain
                  "0" "00" "0" "000000" "0" +                    // ics_info: long, max_sfb 0
                  "000" + "111");                                 // tool flags, END: 32 bits

    // Eight short windows in groups 3 + 5, global gain 55: 36 bits, then 4 alignment bits.
    coding->globalGain = 55;
    auto shortEncoder = test::makeEncoder({test::makeShortIcs(kRate44100, {3, 5})}, {coding.get()}, 0);
    EXPECT_EQ(frameBits(writeFrame(*shortEncoder)),
              std::string("000") + "0011" + bitString(155, 8) +
                  "0" "10" "0" "0000" "1101111" +  // ics_info: eight short, max_sfb 0, grouping
                  "000" + "111" + "0000");
}

TEST(SyntaxWriter, DifferentWindowShapesGiveTwoIcsInfos) {
    IcsInfo left = test::makeShortIcs(kRate44100, {4, 4});
    IcsInfo right = left;
    right.windowShape = 1;
    auto a = test::makeCoding();
    auto b = test::makeCoding();
    a->maxSfb = 3;  // all-zero sections
    a->sectionLength[0] = a->sectionLength[14] = 3;
    b->maxSfb = 0;
    auto encoder = test::makeEncoder({left, right}, {a.get(), b.get()}, 0);
    const Frame frame = writeFrame(*encoder);
    const test::DecodedBlock block =
        test::parseRawDataBlock(frame.bytes.data(), frame.bits, test::bandLayoutForRate(kRate44100), false);
    ASSERT_TRUE(block.wellFormed);
    EXPECT_EQ(block.elementId, 1);
    EXPECT_EQ(block.elementTag, 3);
    EXPECT_FALSE(block.commonWindow);
    EXPECT_EQ(block.channel[0].windowShape, 0);
    EXPECT_EQ(block.channel[1].windowShape, 1);
    for (const auto& ch : block.channel) {
        EXPECT_EQ(ch.windowSequence, EIGHT_SHORT_SEQUENCE);
        EXPECT_EQ(ch.numWindowGroups, 2);
        EXPECT_EQ(ch.windowGroupLength[0], 4);
        EXPECT_EQ(ch.windowGroupLength[1], 4);
    }
    EXPECT_EQ(block.channel[0].maxSfb, 3);  // not raised: no common window
    EXPECT_EQ(block.channel[1].maxSfb, 0);
    EXPECT_EQ(block.endId, 7);
}

TEST(SyntaxWriter, SectionLengthsAreEscaped) {
    auto coding = test::makeCoding();
    coding->codebook[0] = 1;
    coding->sectionLength[0] = 31;
    coding->maxSfb = 31;
    const IcsInfo longIcs = test::makeLongIcs(kRate44100);
    EXPECT_EQ(writtenBits([&](BitWriter& w) { writeSectionData(w, longIcs, *coding); }),
              "0001" "11111" "00000");
    const IcsInfo shortIcs = test::makeShortIcs(kRate44100, {8});
    coding->sectionLength[0] = 7;
    coding->maxSfb = 7;
    EXPECT_EQ(writtenBits([&](BitWriter& w) { writeSectionData(w, shortIcs, *coding); }),
              "0001" "111" "000");
    coding->sectionLength[0] = 14;
    coding->maxSfb = 14;
    EXPECT_EQ(writtenBits([&](BitWriter& w) { writeSectionData(w, shortIcs, *coding); }),
              "0001" "111" "111" "000");
}

TEST(SyntaxWriter, EscapeCodebookPairs) {
    // (16, 0): codeword of 16 * 17 + 0, one sign bit, escape 0 0000.
    // (-40, 3): codeword of 16 * 17 + 3, sign bits 1 0, escape 1 0 01000.
    const IcsInfo ics = test::makeLongIcs(kRate44100);
    auto coding = test::makeCoding();
    const int values[4] = {16, 0, -40, 3};
    for (int k = 0; k < 4; ++k) coding->quantSpectrum[k] = values[k];
    coding->codebook[0] = ESC_HCB;
    coding->maxSfb = 1;
    const CodebookInfo& book = codebookTable[ESC_HCB];
    EXPECT_EQ(writtenBits([&](BitWriter& w) { writeSpectralData(w, ics, *coding); }),
              bitString(book.codewords[272], book.codeLengths[272]) + "0" + "00000" +
                  bitString(book.codewords[275], book.codeLengths[275]) + "10" + "1001000");
}

TEST(SyntaxWriter, CommonWindowRaisesMaxSfbWithZeroSections) {
    const IcsInfo ics = test::makeLongIcs(kRate44100);
    std::mt19937 rng(3);
    auto a = test::makeCoding();
    auto b = test::makeCoding();
    for (auto* c : {a.get(), b.get()}) {
        for (int band = 0; band < 40; ++band) {
            const int value = static_cast<int>(rng() % 5) - 2;
            test::setLine(ics, *c, 0, band, 0, 0, value == 0 ? 1 : value);
        }
    }
    a->bandLimit = 30;
    b->bandLimit = 40;
    buildSections(ics, *a);
    buildSections(ics, *b);
    ASSERT_EQ(a->maxSfb, 30);
    ASSERT_EQ(b->maxSfb, 40);
    // Stale state above channel 0's own max_sfb must not leak into the stream.
    for (int band = 30; band < 40; ++band) {
        a->codebook[band] = 7;
        a->sectionLength[band] = 200;
    }
    auto encoder = test::makeEncoder({ics, ics}, {a.get(), b.get()}, 0);
    encoder->elementInfo.msUsed = 1;
    for (int band = 0; band < 40; ++band) encoder->elementInfo.msMask[band] = band % 3 == 0;
    const Frame frame = writeFrame(*encoder);
    const test::DecodedBlock block =
        test::parseRawDataBlock(frame.bytes.data(), frame.bits, test::bandLayoutForRate(kRate44100), false);
    ASSERT_TRUE(block.wellFormed);
    EXPECT_TRUE(block.commonWindow);
    EXPECT_EQ(block.msMaskPresent, 1);
    for (int band = 0; band < 40; ++band) EXPECT_EQ(block.msUsed[band], band % 3 == 0);
    EXPECT_EQ(block.channel[0].maxSfb, 40);
    EXPECT_EQ(block.channel[1].maxSfb, 40);
    EXPECT_EQ(encoder->channelCoding[0].maxSfb, 40);
    const auto& sections = block.channel[0].sections[0];
    ASSERT_FALSE(sections.empty());
    EXPECT_EQ(sections.back().start, 30);
    EXPECT_EQ(sections.back().length, 10);
    EXPECT_EQ(sections.back().codebook, ZERO_HCB);
    for (int band = 0; band < 30; ++band)
        EXPECT_EQ(block.channel[0].quant[ics.swbOffsets[band]], a->quantSpectrum[ics.swbOffsets[band]]);
    EXPECT_EQ(block.endId, 7);
}

// A whole frame of random content through the reference reader: every field comes back.
TEST(SyntaxWriter, RandomFramesParseBackCompletely) {
    std::mt19937 rng(11);
    auto uniform = [&rng](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    for (int trial = 0; trial < 200; ++trial) {
        SCOPED_TRACE(trial);
        const int rate = uniform(0, 11);
        const bool pair = uniform(0, 1) == 1;
        const bool noise = uniform(0, 2) == 0;
        const bool shortBlock = uniform(0, 1) == 1;
        const std::vector<int> grouping = test::randomGrouping(rng);
        std::vector<IcsInfo> ics;
        std::vector<std::unique_ptr<ChannelCoding>> coding;
        for (int c = 0; c < (pair ? 2 : 1); ++c) {
            ics.push_back(shortBlock ? test::makeShortIcs(rate, grouping) : test::makeLongIcs(rate));
            ics.back().windowShape = uniform(0, 4) == 0 ? 1 : 0;
            coding.push_back(test::makeCoding());
            test::RandomChannelOptions options;
            options.noiseBands = noise;
            options.classPersistence = uniform(0, 1) ? 90 : 0;
            test::fillRandomChannel(rng, ics.back(), *coding.back(), options);
            resetCodebooks(ics.back(), *coding.back(), noise);
            if (noise) buildSectionsWithNoise(ics.back(), *coding.back());
            else buildSections(ics.back(), *coding.back());
        }
        std::vector<const ChannelCoding*> raw;
        for (auto& c : coding) raw.push_back(c.get());
        auto encoder = test::makeEncoder(ics, raw, noise ? kOptionPns : 0);
        ElementInfo& element = encoder->elementInfo;
        element.msUsed = pair && uniform(0, 1);
        for (auto& m : element.msMask) m = static_cast<uint8_t>(uniform(0, 1));
        for (int c = 0; c < encoder->channels; ++c) {
            ChannelSideInfo& side = element.sideInfo[c];
            side.tnsDataPresent = static_cast<uint8_t>(uniform(0, 1));
            const int windows = shortBlock ? 8 : 1;
            for (int w = 0; w < windows; ++w) {
                side.tnsNumFilters[w] = static_cast<uint8_t>(uniform(0, shortBlock ? 1 : 3));
                side.tnsCoefRes[w] = static_cast<uint8_t>(uniform(0, 1));
                for (int f = 0; f < side.tnsNumFilters[w]; ++f) {
                    const int slot = shortBlock ? w : f;
                    side.tnsLength[slot] = static_cast<uint8_t>(uniform(0, shortBlock ? 15 : 63));
                    side.tnsOrder[slot] = static_cast<uint8_t>(uniform(0, shortBlock ? 7 : 12));
                    side.tnsDirection[slot] = static_cast<uint8_t>(uniform(0, 1));
                    side.tnsCoefCompress[slot] = static_cast<uint8_t>(uniform(0, 1));
                    const int bits = 3 + side.tnsCoefRes[w] - side.tnsCoefCompress[slot];
                    for (int k = 0; k < side.tnsOrder[slot]; ++k)
                        side.tnsCoef[slot][k] = static_cast<uint8_t>(uniform(0, (1 << bits) - 1));
                }
            }
        }
        const Frame frame = writeFrame(*encoder);
        ASSERT_EQ(frame.bits % 8, 0);
        const test::DecodedBlock block = test::parseRawDataBlock(
            frame.bytes.data(), frame.bits, test::bandLayoutForRate(rate), noise);
        ASSERT_TRUE(block.wellFormed);
        ASSERT_FALSE(block.overrun);
        EXPECT_EQ(block.endId, 7);
        EXPECT_LT(frame.bits - block.bitsRead, 8);  // only the alignment bits follow END
        EXPECT_EQ(block.elementId, pair ? 1 : 0);
        if (pair) {
            EXPECT_EQ(block.commonWindow, hasCommonWindow(ics[0], ics[1]));
        }
        for (int c = 0; c < encoder->channels; ++c) {
            const ChannelCoding& written = encoder->channelCoding[c];
            const test::DecodedChannel& got = block.channel[c];
            EXPECT_EQ(got.globalGain, written.globalGain + 100);
            EXPECT_EQ(got.windowShape, ics[c].windowShape);
            EXPECT_EQ(got.maxSfb, written.maxSfb);
            for (int g = 0; g < ics[c].numWindowGroups; ++g)
                for (int band = 0; band < written.maxSfb; ++band)
                    ASSERT_EQ(got.codebook[g * ics[c].numSwb + band], written.codebook[g * ics[c].numSwb + band]);
            const ChannelSideInfo& side = element.sideInfo[c];
            ASSERT_EQ(got.tnsPresent, side.tnsDataPresent != 0);
            if (!side.tnsDataPresent) continue;
            for (int w = 0; w < (shortBlock ? 8 : 1); ++w) {
                ASSERT_EQ(got.tns.numFilters[w], side.tnsNumFilters[w]);
                if (side.tnsNumFilters[w]) {
                    EXPECT_EQ(got.tns.coefRes[w], side.tnsCoefRes[w]);
                }
                for (int f = 0; f < side.tnsNumFilters[w]; ++f) {
                    const int slot = shortBlock ? w : f;
                    EXPECT_EQ(got.tns.length[slot], side.tnsLength[slot]);
                    ASSERT_EQ(got.tns.order[slot], side.tnsOrder[slot]);
                    if (side.tnsOrder[slot] == 0) continue;
                    EXPECT_EQ(got.tns.direction[slot], side.tnsDirection[slot]);
                    EXPECT_EQ(got.tns.coefCompress[slot], side.tnsCoefCompress[slot]);
                    for (int k = 0; k < side.tnsOrder[slot]; ++k)
                        EXPECT_EQ(got.tns.coef[slot][k], side.tnsCoef[slot][k]);
                }
            }
        }
        if (block.msMaskPresent == 1) {
            const IcsInfo& shared = ics[0];
            for (int g = 0; g < shared.numWindowGroups; ++g)
                for (int band = 0; band < block.channel[0].maxSfb; ++band)
                    EXPECT_EQ(block.msUsed[g * shared.numSwb + band], element.msMask[g * shared.numSwb + band]);
        }
    }
}

}  // namespace
}  // namespace varnel
