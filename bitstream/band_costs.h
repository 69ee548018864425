// The sectioning's band counter: the bits of one band in every codebook that can code it, in
// one pass over its values. It lives in a header so that the sectioning, which asks for it for
// every band of every trial quantisation, gets it inlined; the index rules it shares with the
// single-codebook counters and the writers of spectral_huffman.cpp sit here too.
#pragma once

#include <algorithm>
#include <array>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <span>

#include "bitstream/codebooks.h"
#include "bitstream/spectral_huffman.h"

namespace varnel {
namespace spectral_detail {

constexpr int magnitudeOf(int32_t v) { return v < 0 ? -v : v; }

constexpr int quadIndex(const CodebookInfo& book, const int32_t* v) {
    const int b = indexBase(book);
    return ((indexDigit(book, v[0]) * b + indexDigit(book, v[1])) * b + indexDigit(book, v[2])) *
               b + indexDigit(book, v[3]);
}

constexpr int pairIndex(const CodebookInfo& book, const int32_t* v) {
    return indexDigit(book, v[0]) * indexBase(book) + indexDigit(book, v[1]);
}

constexpr int nonzeroCount(const int32_t* v, int n) {
    int count = 0;
    for (int i = 0; i < n; ++i) count += v[i] != 0;
    return count;
}

// ---- Packed cost tables of the multi-codebook counter ----------------------------------------
//
// Each entry holds the codeword lengths (without sign bits, except in the all-codebook rows)
// of one index in up to four codebooks, one 16-bit field per codebook, so that summing entries sums all four codebooks at
// once. A call covers at most 1024 values: at most 512 codewords of at most 16 bits, so no
// field can reach 2^16 and carry into its neighbour.

inline constexpr int kFieldBits = 16;

constexpr uint64_t packField(int field, int length) {
    return static_cast<uint64_t>(length) << (kFieldBits * field);
}

constexpr int unpackField(uint64_t sum, int field) {
    return static_cast<int>((sum >> (kFieldBits * field)) & 0xFFFF);
}

struct PackedCostTables {
    // Pairs with |v| <= 4, signed index (digits v + 4, base 9): books 5, 6 in fields 0, 1.
    uint64_t pairSigned[81];
    // Pairs with |v| <= 12, magnitude index (base 13): books 7, 8 (only where both magnitudes
    // are <= 7, else 0), 9, 10 in fields 0..3.
    uint64_t pairUnsigned[169];
    // Quads with |v| <= 1, signed index (digits v + 1, base 3), every codebook 1..10 with the
    // sign bits of the unsigned ones included: books 1..4 in [0], 5..8 in [1], 9, 10 in [2]
    // (fields 0..3). A band whose largest magnitude is 1 then costs three additions per quad.
    uint64_t quadAllLav1[81][3];
    // Quads with |v| <= 2, signed index (digits v + 2, base 5), codebooks 3..10 with signs:
    // books 3..6 in [0], 7..10 in [1].
    uint64_t quadAllLav2[625][2];
};

constexpr PackedCostTables makePackedCostTables() {
    PackedCostTables t{};
    for (int i = 0; i < 81; ++i)
        for (int k = 5; k <= 6; ++k) t.pairSigned[i] += packField(k - 5, codebookTable[k].codeLengths[i]);
    for (int y = 0; y <= 12; ++y) {
        for (int z = 0; z <= 12; ++z) {
            const int32_t v[2] = {y, z};
            uint64_t& entry = t.pairUnsigned[y * 13 + z];
            for (int k = 7; k <= 10; ++k)
                if (k >= 9 || (y <= 7 && z <= 7))
                    entry += packField(k - 7, codebookTable[k].codeLengths[pairIndex(codebookTable[k], v)]);
        }
    }
    // Every quad of magnitudes up to `lav` (1 or 2) in every codebook from `first` to 10, signs
    // included; a pair codebook codes the quad as two pairs.
    auto fillQuads = [](auto& row, int lav, int first) {
        const int span = 2 * lav + 1;
        for (int i = 0; i < span * span * span * span; ++i) {
            const int32_t v[4] = {i / (span * span * span) - lav, i / (span * span) % span - lav,
                                  i / span % span - lav, i % span - lav};
            for (int k = first; k <= 10; ++k) {
                const CodebookInfo& book = codebookTable[k];
                int bits = k <= 4 ? book.codeLengths[quadIndex(book, v)]
                                  : book.codeLengths[pairIndex(book, v)] + book.codeLengths[pairIndex(book, v + 2)];
                if (book.isUnsigned) bits += nonzeroCount(v, 4);
                row[i][(k - first) / 4] += packField((k - first) % 4, bits);
            }
        }
    };
    fillQuads(t.quadAllLav1, 1, 1);
    fillQuads(t.quadAllLav2, 2, 3);
    return t;
}

inline constexpr PackedCostTables kPacked = makePackedCostTables();

// The all-codebook rows carry signs as well, up to a codeword pair and four sign bits per
// field; 256 quads (1024 values) of the largest must still fit a field.
template <std::size_t N, std::size_t M>
constexpr bool rowsFit(const uint64_t (&rows)[N][M]) {
    for (const auto& row : rows)
        for (const uint64_t entry : row)
            for (int f = 0; f < 4; ++f)
                if (unpackField(entry, f) * (kFrameLength / 4) >= (1 << kFieldBits)) return false;
    return true;
}
static_assert(rowsFit(kPacked.quadAllLav1) && rowsFit(kPacked.quadAllLav2));

static_assert(indexBase(codebookTable[1]) == 3 && indexBase(codebookTable[3]) == 3 &&
              indexBase(codebookTable[5]) == 9 && indexBase(codebookTable[9]) == 13,
              "the packed tables assume the standard's index radices");

// One band's values: `windows` runs of `width` values, `stride` apart.
struct BandValues {
    const int32_t* first;
    int width;
    int windows;
    int stride;
};

// All codebooks 1..10 for values of magnitude at most 1: one table row per quad.
inline void costsMagnitudeOne(const BandValues& band, int unusable, int costs[kNumCodebooks]) {
    uint64_t sums[3] = {0, 0, 0};
    for (int w = 0; w < band.windows; ++w) {
        const int32_t* v = band.first + w * band.stride;
        for (int i = 0; i < band.width; i += 4, v += 4) {
            // The base-3 index of digits v + 1, as independent products rather than a chain.
            const uint64_t* row = kPacked.quadAllLav1[27 * v[0] + 9 * v[1] + (3 * v[2] + v[3]) + 40];
            sums[0] += row[0];
            sums[1] += row[1];
            sums[2] += row[2];
        }
    }
    for (int k = 1; k <= 10; ++k) costs[k] = unpackField(sums[(k - 1) / 4], (k - 1) % 4);
    costs[ESC_HCB] = unusable;
}

// Codebooks 3..10 for values of magnitude at most 2: one table row per quad.
inline void costsMagnitudeTwo(const BandValues& band, int unusable, int costs[kNumCodebooks]) {
    uint64_t sums[2] = {0, 0};
    for (int w = 0; w < band.windows; ++w) {
        const int32_t* v = band.first + w * band.stride;
        for (int i = 0; i < band.width; i += 4, v += 4) {
            const uint64_t* row = kPacked.quadAllLav2[125 * v[0] + 25 * v[1] + (5 * v[2] + v[3]) + 312];
            sums[0] += row[0];
            sums[1] += row[1];
        }
    }
    costs[1] = costs[2] = costs[ESC_HCB] = unusable;
    for (int k = 3; k <= 10; ++k) costs[k] = unpackField(sums[(k - 3) / 4], (k - 3) % 4);
}

// One pass over the values for all codebooks from Smallest (5, 7 or 9) to 10.
template <int Smallest>
inline void costsUpToTen(const BandValues& band, int unusable, int costs[kNumCodebooks]) {
    uint64_t signedPairs = 0, unsignedPairs = 0;
    int signs = 0;
    for (int w = 0; w < band.windows; ++w) {
        const int32_t* v = band.first + w * band.stride;
        for (int i = 0; i < band.width; i += 4, v += 4) {
            const int m0 = magnitudeOf(v[0]), m1 = magnitudeOf(v[1]);
            const int m2 = magnitudeOf(v[2]), m3 = magnitudeOf(v[3]);
            signs += (m0 != 0) + (m1 != 0) + (m2 != 0) + (m3 != 0);
            if constexpr (Smallest <= 5)
                signedPairs += kPacked.pairSigned[9 * v[0] + v[1] + 40] + kPacked.pairSigned[9 * v[2] + v[3] + 40];
            unsignedPairs += kPacked.pairUnsigned[m0 * 13 + m1] + kPacked.pairUnsigned[m2 * 13 + m3];
        }
    }
    for (int k = 1; k < Smallest; ++k) costs[k] = unusable;
    if constexpr (Smallest <= 5) {
        costs[5] = unpackField(signedPairs, 0);
        costs[6] = unpackField(signedPairs, 1);
    }
    if constexpr (Smallest <= 7) {
        costs[7] = unpackField(unsignedPairs, 0) + signs;
        costs[8] = unpackField(unsignedPairs, 1) + signs;
    }
    costs[9] = unpackField(unsignedPairs, 2) + signs;
    costs[10] = unpackField(unsignedPairs, 3) + signs;
    costs[ESC_HCB] = unusable;
}

// Codebook 11's codeword length plus its sign bits, per pair of index digits.
constexpr std::array<uint8_t, 17 * 17> makeEscapePairBits() {
    std::array<uint8_t, 17 * 17> t{};
    const CodebookInfo& book = codebookTable[ESC_HCB];
    for (int i = 0; i < 17 * 17; ++i)
        t[i] = static_cast<uint8_t>(book.codeLengths[i] + (i / 17 != 0) + (i % 17 != 0));
    return t;
}
inline constexpr std::array<uint8_t, 17 * 17> kEscapePairBits = makeEscapePairBits();
static_assert(indexBase(codebookTable[ESC_HCB]) == 17);

// Bits of `count` values (even) in codebook 11, signs and escape sequences included.
inline int escapeBits(const int32_t* values, int count) {
    int bits = 0;
    for (int i = 0; i < count; i += 2) {
        const int m0 = magnitudeOf(values[i]), m1 = magnitudeOf(values[i + 1]);
        const int d0 = std::min(m0, kEscapeMarker), d1 = std::min(m1, kEscapeMarker);
        // The escape sequences' bits without a branch on the magnitudes: a magnitude below the
        // marker is counted as the marker and its bits masked off.
        const int e0 = escapeSequenceBits(std::max(m0, kEscapeMarker)) & -(m0 >= kEscapeMarker);
        const int e1 = escapeSequenceBits(std::max(m1, kEscapeMarker)) & -(m1 >= kEscapeMarker);
        bits += kEscapePairBits[d0 * 17 + d1] + e0 + e1;
    }
    return bits;
}

}  // namespace spectral_detail

// The sectioning's fast path: the bits of one band, `windows` runs of `width` values (a
// multiple of 4) starting `stride` values apart, at most 1024 values in all, in every codebook
// that can code them, in one pass: costs[k] for k from `Smallest` to 10 (or 11 alone when
// Smallest is 11), and `unusable` in the other entries 1..11. `Smallest` must be
// smallestUsableCodebook of the values' largest magnitude. Agrees exactly with countQuadBits /
// countPairBits / countEscapeBits.
template <int Smallest>
inline void bandCostsOf(const int32_t* values, int width, int windows, int stride, int unusable,
                        int costs[kNumCodebooks]) {
    assert(width % 4 == 0 && width * windows <= kFrameLength);
    using namespace spectral_detail;
    const BandValues band{values, width, windows, stride};
    if constexpr (Smallest == 1) {
        costsMagnitudeOne(band, unusable, costs);
    } else if constexpr (Smallest == 3) {
        costsMagnitudeTwo(band, unusable, costs);
    } else if constexpr (Smallest == 5 || Smallest == 7 || Smallest == 9) {
        costsUpToTen<Smallest>(band, unusable, costs);
    } else {
        static_assert(Smallest == ESC_HCB);
        int bits = 0;
        for (int w = 0; w < windows; ++w) bits += escapeBits(values + w * stride, width);
        for (int k = 1; k <= kLastUnescapedCodebook; ++k) costs[k] = unusable;
        costs[ESC_HCB] = bits;
    }
}

// The same with the smallest codebook given at run time.
inline void bandCosts(const int32_t* values, int width, int windows, int stride, int smallest, int unusable,
                      int costs[kNumCodebooks]) {
    switch (smallest) {
    case 1: bandCostsOf<1>(values, width, windows, stride, unusable, costs); break;
    case 3: bandCostsOf<3>(values, width, windows, stride, unusable, costs); break;
    case 5: bandCostsOf<5>(values, width, windows, stride, unusable, costs); break;
    case 7: bandCostsOf<7>(values, width, windows, stride, unusable, costs); break;
    case 9: bandCostsOf<9>(values, width, windows, stride, unusable, costs); break;
    default:
        assert(smallest == ESC_HCB);
        bandCostsOf<ESC_HCB>(values, width, windows, stride, unusable, costs);
        break;
    }
}

}  // namespace varnel
