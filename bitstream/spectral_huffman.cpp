#include "bitstream/spectral_huffman.h"

#include <algorithm>
#include <array>
#include <cassert>

#include "bitstream/band_costs.h"
#include "bitstream/bit_writer.h"

namespace varnel {
namespace {

using spectral_detail::magnitudeOf;
using spectral_detail::nonzeroCount;
using spectral_detail::pairIndex;
using spectral_detail::quadIndex;

// The value's magnitude fits the codebook: the caller chose a usable codebook.
[[maybe_unused]] bool fitsCodebook(const CodebookInfo& book, const int32_t* v, int n) {
    const int limit = book.largestValue == kEscapeMarker ? kMaxQuantMagnitude : book.largestValue;
    for (int i = 0; i < n; ++i)
        if (magnitudeOf(v[i]) > limit) return false;
    return true;
}

constexpr bool codewordsWithSignsFitOneField() {
    for (int k = 1; k < kNumCodebooks; ++k)
        if (codebookTable[k].maxCodeLength + codebookTable[k].dimension > 32) return false;
    return true;
}
static_assert(codewordsWithSignsFitOneField());

// Appends the sign bits of the nonzero values of v[0..n) (1 = negative) to a codeword of
// `length` bits, so that codeword and signs go out in one putBits: at most 16 + 4 bits.
constexpr void appendSigns(uint32_t& code, int& length, const int32_t* v, int n) {
    for (int i = 0; i < n; ++i)
        if (v[i] != 0) {
            code = (code << 1) | (v[i] < 0 ? 1u : 0u);
            ++length;
        }
}

// The escape sequence of one magnitude as a single field of at most 21 bits: N ones, a zero,
// then the N + 4 low bits of the magnitude.
void writeEscapeSequence(BitWriter& writer, int magnitude) {
    assert(magnitude >= kEscapeMarker && magnitude <= kMaxQuantMagnitude);
    const int n = std::bit_width(static_cast<unsigned>(magnitude)) - 5;  // floor(log2 m) - 4
    const uint32_t prefix = ((1u << n) - 1) << 1;                         // N ones, then a zero
    const uint32_t low = static_cast<uint32_t>(magnitude) & ((1u << (n + 4)) - 1);
    writer.putBits(2 * n + 5, (prefix << (n + 4)) | low);
}

// Codebook index of the N values at v (quads for codebooks 1..4, pairs for 5..10).
template <int N>
int tupleIndex(const CodebookInfo& book, const int32_t* v) {
    static_assert(N == 2 || N == 4);
    if constexpr (N == 4)
        return quadIndex(book, v);
    else
        return pairIndex(book, v);
}

// Bits of values [start, end) in a quad (N = 4) or pair (N = 2) codebook, sign bits included.
template <int N>
int countTupleBits(int start, int end, std::span<const int32_t> values, const CodebookInfo& book) {
    assert(start >= 0 && start <= end && static_cast<std::size_t>(end) <= values.size());
    assert((end - start) % N == 0);
    int bits = 0;
    for (int i = start; i < end; i += N) {
        const int32_t* v = &values[i];
        assert(fitsCodebook(book, v, N));
        bits += book.codeLengths[tupleIndex<N>(book, v)];
        if (book.isUnsigned) bits += nonzeroCount(v, N);
    }
    return bits;
}

// ---- Codewords with their signs, for the writer ------------------------------------------------
//
// For codebooks 1..10, one entry per tuple of signed values (digits v + LAV, base 2 LAV + 1): the
// codeword followed by the tuple's sign bits (none for the signed codebooks) in its low 24 bits
// and their count above, so that writing a tuple is one lookup and one putBits.

// Where each codebook's row starts; entry 11 is the rows' total length.
constexpr std::array<int, kLastUnescapedCodebook + 2> makeSignedRowOffsets() {
    std::array<int, kLastUnescapedCodebook + 2> offset{};
    for (int k = 1; k <= kLastUnescapedCodebook; ++k) {
        const int base = 2 * codebookTable[k].largestValue + 1;
        offset[k + 1] = offset[k] + (codebookTable[k].dimension == 4 ? base * base * base * base : base * base);
    }
    return offset;
}
constexpr std::array<int, kLastUnescapedCodebook + 2> kSignedRowOffset = makeSignedRowOffsets();
constexpr int kSignedRowsLength = kSignedRowOffset[kLastUnescapedCodebook + 1];

constexpr std::array<uint32_t, kSignedRowsLength> makeCodewordsWithSigns() {
    std::array<uint32_t, kSignedRowsLength> t{};
    for (int k = 1; k <= kLastUnescapedCodebook; ++k) {
        const CodebookInfo& book = codebookTable[k];
        const int lav = book.largestValue, base = 2 * lav + 1, n = book.dimension;
        const int count = n == 4 ? base * base * base * base : base * base;
        for (int i = 0; i < count; ++i) {
            int32_t v[4] = {};
            for (int d = n - 1, rest = i; d >= 0; --d, rest /= base) v[d] = rest % base - lav;
            const int index = n == 4 ? quadIndex(book, v) : pairIndex(book, v);
            uint32_t code = book.codewords[index];
            int length = book.codeLengths[index];
            if (book.isUnsigned) appendSigns(code, length, v, n);
            t[kSignedRowOffset[k] + i] = static_cast<uint32_t>(length) << 24 | code;
        }
    }
    return t;
}

constexpr std::array<uint32_t, kSignedRowsLength> kCodewordsWithSigns = makeCodewordsWithSigns();

// Writes values [start, end) through quad or pair codebook 1..10, each codeword with its sign
// bits.
template <int N>
void writeTuples(BitWriter& writer, int start, int end, std::span<const int32_t> values, int codebook) {
    assert(start >= 0 && start <= end && static_cast<std::size_t>(end) <= values.size());
    assert((end - start) % N == 0);
    const CodebookInfo& book = codebookTable[codebook];
    const int lav = book.largestValue, base = 2 * lav + 1;
    const uint32_t* row = kCodewordsWithSigns.data() + kSignedRowOffset[codebook];
    for (int i = start; i < end; i += N) {
        const int32_t* v = &values[i];
        assert(fitsCodebook(book, v, N));
        int index = v[0] + lav;
        for (int d = 1; d < N; ++d) index = index * base + v[d] + lav;
        const uint32_t entry = row[index];
        writer.putBits(static_cast<int>(entry >> 24), entry & 0xFFFFFF);
    }
}

}  // namespace

int countQuadBits(int start, int end, std::span<const int32_t> values, int codebook) {
    assert(codebook >= 1 && codebook <= 4);
    return countTupleBits<4>(start, end, values, codebookTable[codebook]);
}

int countPairBits(int start, int end, std::span<const int32_t> values, int codebook) {
    assert(codebook >= 5 && codebook <= 10);
    return countTupleBits<2>(start, end, values, codebookTable[codebook]);
}

int countEscapeBits(int start, int end, std::span<const int32_t> values) {
    assert(start >= 0 && start <= end && static_cast<std::size_t>(end) <= values.size());
    assert((end - start) % 2 == 0);
    return spectral_detail::escapeBits(values.data() + start, end - start);
}

void writeQuads(BitWriter& writer, int start, int end, std::span<const int32_t> values,
                int codebook) {
    assert(codebook >= 1 && codebook <= 4);
    writeTuples<4>(writer, start, end, values, codebook);
}

void writePairs(BitWriter& writer, int start, int end, std::span<const int32_t> values,
                int codebook) {
    assert(codebook >= 5 && codebook <= 10);
    writeTuples<2>(writer, start, end, values, codebook);
}

void writeEscapePairs(BitWriter& writer, int start, int end, std::span<const int32_t> values) {
    assert(start >= 0 && start <= end && static_cast<std::size_t>(end) <= values.size());
    assert((end - start) % 2 == 0);
    const CodebookInfo& book = codebookTable[ESC_HCB];
    for (int i = start; i < end; i += 2) {
        const int32_t* v = &values[i];
        assert(fitsCodebook(book, v, 2));  // the quantiser clips magnitudes at 8191
        const int index = pairIndex(book, v);
        uint32_t code = book.codewords[index];
        int length = book.codeLengths[index];
        appendSigns(code, length, v, 2);
        writer.putBits(length, code);
        for (int j = 0; j < 2; ++j)
            if (magnitudeOf(v[j]) >= kEscapeMarker) writeEscapeSequence(writer, magnitudeOf(v[j]));
    }
}

int countSpectralBits(std::span<const int32_t> values, int codebook) {
    const int end = static_cast<int>(values.size());
    if (codebook <= 4) return countQuadBits(0, end, values, codebook);
    if (codebook <= kLastUnescapedCodebook) return countPairBits(0, end, values, codebook);
    assert(codebook == ESC_HCB);
    return countEscapeBits(0, end, values);
}

void writeSpectralValues(BitWriter& writer, std::span<const int32_t> values, int codebook) {
    const int end = static_cast<int>(values.size());
    if (codebook <= 4) {
        writeQuads(writer, 0, end, values, codebook);
    } else if (codebook <= kLastUnescapedCodebook) {
        writePairs(writer, 0, end, values, codebook);
    } else {
        assert(codebook == ESC_HCB);
        writeEscapePairs(writer, 0, end, values);
    }
}

}  // namespace varnel
