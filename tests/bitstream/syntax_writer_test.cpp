#include "bitstream/syntax_writer.h"

#include <gtest/gtest.h>

#include <algorithm>
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

Frame writeFrame(test::ElementRecords& records) {
    Frame frame;
    frame.bytes.assign(16384 + 4, 0);
    BitWriter writer;
    writer.setOutput(frame.bytes.data(), static_cast<int>(frame.bytes.size()));
    writeElement(writer, records.ics, records.coding, records.element, records.noiseSubstitution);
    writeEnd(writer);
    writer.byteAlign();
    writer.takeOutput(&frame.bits);
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
    auto longEncoder = test::makeElement({test::makeLongIcs(kRate44100)}, {coding.get()}, false);
    EXPECT_EQ(frameBits(writeFrame(*longEncoder)),
              std::string("000") + "0011" + bitString(100, 8) +  // SCE, tag 3, global_gain
                  "0" "00" "0" "000000" "0" +                    // ics_info: long, max_sfb 0
                  "000" + "111");                                 // tool flags, END: 32 bits

    // Eight short windows in groups 3 + 5, global gain 55: 36 bits, then 4 alignment bits.
    coding->globalGain = 55;
    auto shortEncoder = test::makeElement({test::makeShortIcs(kRate44100, {3, 5})}, {coding.get()}, false);
    EXPECT_EQ(frameBits(writeFrame(*shortEncoder)),
              std::string("000") + "0011" + bitString(155, 8) +
                  "0" "10" "0" "0000" "1101111" +  // ics_info: eight short, max_sfb 0, grouping
                  "000" + "111" + "0000");
}

TEST(SyntaxWriter, DifferentWindowShapesGiveTwoIcsInfos) {
    IcsInfo left = test::makeShortIcs(kRate44100, {4, 4});
    IcsInfo right = left;
    right.windowShape = WindowShape::Kbd;
    auto a = test::makeCoding();
    auto b = test::makeCoding();
    a->maxSfb = 3;  // all-zero sections
    a->sectionLength[0] = a->sectionLength[14] = 3;
    b->maxSfb = 0;
    auto encoder = test::makeElement({left, right}, {a.get(), b.get()}, false);
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
    auto encoder = test::makeElement({ics, ics}, {a.get(), b.get()}, false);
    encoder->element.msUsed = 1;
    for (int band = 0; band < 40; ++band) encoder->element.msMask[band] = band % 3 == 0;
    const Frame frame = writeFrame(*encoder);
    const test::DecodedBlock block =
        test::parseRawDataBlock(frame.bytes.data(), frame.bits, test::bandLayoutForRate(kRate44100), false);
    ASSERT_TRUE(block.wellFormed);
    EXPECT_TRUE(block.commonWindow);
    EXPECT_EQ(block.msMaskPresent, 1);
    for (int band = 0; band < 40; ++band) EXPECT_EQ(block.msUsed[band], band % 3 == 0);
    EXPECT_EQ(block.channel[0].maxSfb, 40);
    EXPECT_EQ(block.channel[1].maxSfb, 40);
    EXPECT_EQ(encoder->coding[0].maxSfb, 40);
    const auto& sections = block.channel[0].sections[0];
    ASSERT_FALSE(sections.empty());
    EXPECT_EQ(sections.back().start, 30);
    EXPECT_EQ(sections.back().length, 10);
    EXPECT_EQ(sections.back().codebook, ZERO_HCB);
    for (int band = 0; band < 30; ++band)
        EXPECT_EQ(block.channel[0].quant[ics.swbOffsets[band]], a->quantSpectrum[ics.swbOffsets[band]]);
    EXPECT_EQ(block.endId, 7);
}

// tns_data in its long form (two filters, one of order 0) and its short form (per window), read
// back by the reference reader; the spectral data after it must still decode in place.
TEST(SyntaxWriter, TnsDataLongAndShortForms) {
    for (bool shortBlock : {false, true}) {
        SCOPED_TRACE(shortBlock);
        const IcsInfo ics = shortBlock ? test::makeShortIcs(kRate44100, {2, 6}) : test::makeLongIcs(kRate44100);
        auto coding = test::makeCoding();
        coding->bandLimit = 4;
        test::fillBand(ics, *coding, 0, 2, -3);
        buildSections(ics, *coding);
        auto encoder = test::makeElement({ics}, {coding.get()}, false);
        ChannelSideInfo& side = encoder->element.sideInfo[0];
        side.tnsDataPresent = 1;
        // Long: n_filt 2, coef_res 1; filter 0 order 4 with 3-bit coefficients (compressed),
        // filter 1 order 0. Short: window 3 only, order 2 with 3-bit coefficients.
        const int slot = shortBlock ? 3 : 0;
        side.tnsNumFilters[slot] = shortBlock ? 1 : 2;
        side.tnsCoefRes[slot] = shortBlock ? 0 : 1;
        side.tnsLength[slot] = shortBlock ? 11 : 39;
        side.tnsOrder[slot] = shortBlock ? 2 : 4;
        side.tnsDirection[slot] = 1;
        side.tnsCoefCompress[slot] = shortBlock ? 0 : 1;
        const uint8_t coef[4] = {7, 0, 5, 2};
        std::copy(coef, coef + 4, side.tnsCoef[slot]);
        if (!shortBlock) side.tnsLength[1] = 12;
        const Frame frame = writeFrame(*encoder);
        const test::DecodedBlock block = test::parseRawDataBlock(
            frame.bytes.data(), frame.bits, test::bandLayoutForRate(kRate44100), false);
        ASSERT_TRUE(block.wellFormed);
        EXPECT_EQ(block.endId, 7);
        const test::DecodedChannel& ch = block.channel[0];
        ASSERT_TRUE(ch.tnsPresent);
        for (int w = 0; w < (shortBlock ? 8 : 1); ++w)
            EXPECT_EQ(ch.tns.numFilters[w], side.tnsNumFilters[w]) << "window " << w;
        EXPECT_EQ(ch.tns.coefRes[slot], side.tnsCoefRes[slot]);
        EXPECT_EQ(ch.tns.length[slot], side.tnsLength[slot]);
        EXPECT_EQ(ch.tns.direction[slot], 1);
        EXPECT_EQ(ch.tns.coefCompress[slot], side.tnsCoefCompress[slot]);
        ASSERT_EQ(ch.tns.order[slot], side.tnsOrder[slot]);
        for (int k = 0; k < side.tnsOrder[slot]; ++k) EXPECT_EQ(ch.tns.coef[slot][k], coef[k]);
        if (!shortBlock) {
            EXPECT_EQ(ch.tns.length[1], 12);
            EXPECT_EQ(ch.tns.order[1], 0);
        }
        EXPECT_EQ(ch.quant[ics.swbOffsets[2]], -3);
    }
}

}  // namespace
}  // namespace varnel
