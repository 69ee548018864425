#include "bitstream/codebooks.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <vector>

#include "bitstream/bit_writer.h"
#include "bitstream/band_costs.h"
#include "bitstream/spectral_huffman.h"
#include "tests/bitstream/bitstream_reader_for_test.h"

namespace varnel {
namespace {

TEST(Codebooks, DescriptionsMatchTheStandardsTables) {
    struct Expected {
        int isUnsigned, dimension, lav, maxLength, size;
    };
    const Expected expected[kNumCodebooks] = {
        {1, 1, 0, 19, 121}, {0, 4, 1, 11, 81},  {0, 4, 1, 9, 81},   {1, 4, 2, 16, 81},
        {1, 4, 2, 12, 81},  {0, 2, 4, 13, 81},  {0, 2, 4, 11, 81},  {1, 2, 7, 12, 64},
        {1, 2, 7, 10, 64},  {1, 2, 12, 15, 169}, {1, 2, 12, 12, 169}, {1, 2, 16, 12, 289},
    };
    for (int k = 0; k < kNumCodebooks; ++k) {
        SCOPED_TRACE(k);
        const CodebookInfo& book = codebookTable[k];
        EXPECT_EQ(book.isUnsigned, expected[k].isUnsigned);
        EXPECT_EQ(book.dimension, expected[k].dimension);
        EXPECT_EQ(book.largestValue, expected[k].lav);
        EXPECT_EQ(book.maxCodeLength, expected[k].maxLength);
        EXPECT_EQ(static_cast<int>(book.codewords.size()), expected[k].size);
        EXPECT_EQ(book.codeLengths.size(), book.codewords.size());
    }
}

TEST(Codebooks, EveryCodebookIsAPrefixCode) {
    for (int k = 0; k < kNumCodebooks; ++k) {
        const CodebookInfo& book = codebookTable[k];
        const std::size_t n = book.codewords.size();
        for (std::size_t i = 0; i < n; ++i) {
            for (std::size_t j = 0; j < n; ++j) {
                if (i == j || book.codeLengths[i] > book.codeLengths[j]) continue;
                const int shift = book.codeLengths[j] - book.codeLengths[i];
                ASSERT_NE(book.codewords[j] >> shift, book.codewords[i])
                    << "codebook " << k << ": codeword " << i << " is a prefix of " << j;
            }
        }
    }
}

TEST(SpectralHuffman, CodewordThenSignsThenEscapes) {
    // Codebook 3 quad (1, -2, 0, 0): index (1 * 3 + 2) * 9 = 45, then sign bits 0 1.
    // Codebook 11 pair (-40, 3): index 16 * 17 + 3, sign bits 1 0, escape 1 0 01000.
    const int32_t quad[4] = {1, -2, 0, 0};
    const int32_t pair[2] = {-40, 3};
    uint8_t buffer[32] = {};
    BitWriter w;
    w.setOutput(buffer, sizeof buffer);
    writeQuads(w, 0, 4, quad, 3);
    writeEscapePairs(w, 0, 2, pair);
    int bits = 0;
    const uint8_t* data = w.takeOutput(&bits);
    const CodebookInfo& b3 = codebookTable[3];
    const CodebookInfo& b11 = codebookTable[11];
    ASSERT_EQ(bits, b3.codeLengths[45] + 2 + b11.codeLengths[275] + 2 + 7);
    EXPECT_EQ(countQuadBits(0, 4, quad, 3) + countEscapeBits(0, 2, pair), bits);
    test::TestBitReader r(data, bits);
    EXPECT_EQ(r.read(b3.codeLengths[45]), b3.codewords[45]);
    EXPECT_EQ(r.read(2), 0b01u);
    EXPECT_EQ(r.read(b11.codeLengths[275]), b11.codewords[275]);
    EXPECT_EQ(r.read(2), 0b10u);
    EXPECT_EQ(r.read(7), 0b1001000u);
}

// The one-pass counter of the sectioning against the single-codebook counters.
TEST(SpectralHuffman, MultiCodebookCountAgreesWithEachCodebooksCount) {
    std::mt19937 rng(99);
    for (int largest : {1, 2, 3, 4, 5, 7, 8, 12, 13, 16, 17, 500, 8191}) {
        for (int trial = 0; trial < 50; ++trial) {
            const int count = 4 * std::uniform_int_distribution<int>(1, 24)(rng);
            std::vector<int32_t> values(count);
            for (auto& v : values) {
                const int m = std::uniform_int_distribution<int>(0, largest)(rng);
                v = (rng() & 1) ? -m : m;
            }
            values[rng() % count] = (rng() & 1) ? largest : -largest;
            const int smallest = smallestUsableCodebook(largest);
            // As one run, and as two windows' runs of half the values each.
            for (const int windows : {1, 2}) {
                if (count % (4 * windows) != 0) continue;
                int costs[kNumCodebooks] = {};
                const int width = count / windows;
                bandCosts(values.data(), width, windows, width, smallest, -1, costs);
                const int last = smallest == ESC_HCB ? ESC_HCB : kLastUnescapedCodebook;
                for (int k = 1; k <= ESC_HCB; ++k)
                    ASSERT_EQ(costs[k], k >= smallest && k <= last ? countSpectralBits(values, k) : -1)
                        << "largest " << largest << " codebook " << k << " windows " << windows;
            }
        }
    }
}

}  // namespace
}  // namespace varnel
