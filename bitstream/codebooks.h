// The twelve Huffman codebooks of AAC: the scalefactor codebook (entry 0) and the spectral
// codebooks 1 to 11 (ISO/IEC 13818-7, Annex A; ISO/IEC 14496-3, 4.A.1), described over the
// generated codeword tables of codebook_tables.h.
//
// A spectral codebook codes `dimension` consecutive quantised values with one codeword. Its
// index is the base-b number formed by the values, most significant first: for unsigned
// codebooks b = LAV + 1 and the digits are magnitudes (signs follow the codeword as separate
// bits); for signed codebooks b = 2 * LAV + 1 and each digit is value + LAV. Codebook 11 codes
// magnitudes 0..15 directly and 16 as the escape marker. The scalefactor codebook is indexed
// by a scalefactor difference + 60.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <span>

#include "bitstream/codebook_tables.h"
#include "records/channel_records.h"

namespace varnel {

inline constexpr int kNumCodebooks = 12;            // entry 0 scalefactors, 1..11 spectral
inline constexpr int kScalefactorCodebook = 0;
inline constexpr int kScalefactorIndexOffset = 60;  // index = difference + 60
inline constexpr int kScalefactorIndexMax = 120;
inline constexpr int kLastUnescapedCodebook = 10;   // books 1..10 code their LAV directly
inline constexpr int kEscapeMarker = 16;            // codebook 11 index digit for |q| >= 16
inline constexpr int kMaxQuantMagnitude = 8191;     // largest magnitude an escape can carry

struct CodebookInfo {
    uint8_t isUnsigned;     // 1: magnitudes coded, sign bits follow the codeword
    uint8_t dimension;      // values per codeword: 4, 2 (1 for scalefactors)
    uint8_t largestValue;   // LAV: largest magnitude coded directly
    uint8_t maxCodeLength;  // bits of the longest codeword
    std::span<const uint32_t> codewords;   // right-aligned, written MSB first
    std::span<const int8_t> codeLengths;   // bits per index
};

namespace detail {
template <std::size_t N>
constexpr CodebookInfo makeCodebook(int isUnsigned, int dimension, int lav, int maxLength,
                                    const uint32_t (&codes)[N], const int8_t (&lengths)[N]) {
    return {static_cast<uint8_t>(isUnsigned), static_cast<uint8_t>(dimension),
            static_cast<uint8_t>(lav), static_cast<uint8_t>(maxLength), codes, lengths};
}
}  // namespace detail

// Indexed by codebook number; 12..15 are not Huffman codebooks (13 noise, 14/15 intensity).
inline constexpr CodebookInfo codebookTable[kNumCodebooks] = {
    detail::makeCodebook(1, 1, 0, 19, codebook_data::scalefactorCodes, codebook_data::scalefactorLengths),
    detail::makeCodebook(0, 4, 1, 11, codebook_data::book1Codes, codebook_data::book1Lengths),
    detail::makeCodebook(0, 4, 1, 9, codebook_data::book2Codes, codebook_data::book2Lengths),
    detail::makeCodebook(1, 4, 2, 16, codebook_data::book3Codes, codebook_data::book3Lengths),
    detail::makeCodebook(1, 4, 2, 12, codebook_data::book4Codes, codebook_data::book4Lengths),
    detail::makeCodebook(0, 2, 4, 13, codebook_data::book5Codes, codebook_data::book5Lengths),
    detail::makeCodebook(0, 2, 4, 11, codebook_data::book6Codes, codebook_data::book6Lengths),
    detail::makeCodebook(1, 2, 7, 12, codebook_data::book7Codes, codebook_data::book7Lengths),
    detail::makeCodebook(1, 2, 7, 10, codebook_data::book8Codes, codebook_data::book8Lengths),
    detail::makeCodebook(1, 2, 12, 15, codebook_data::book9Codes, codebook_data::book9Lengths),
    detail::makeCodebook(1, 2, 12, 12, codebook_data::book10Codes, codebook_data::book10Lengths),
    detail::makeCodebook(1, 2, 16, 12, codebook_data::book11Codes, codebook_data::book11Lengths),
};

// Radix of a spectral codebook's index digits.
constexpr int indexBase(const CodebookInfo& book) {
    return book.isUnsigned ? book.largestValue + 1 : 2 * book.largestValue + 1;
}

namespace detail {
constexpr int power(int base, int exponent) {
    int result = 1;
    for (int i = 0; i < exponent; ++i) result *= base;
    return result;
}
constexpr bool tableSizesMatch() {
    if (codebookTable[0].codewords.size() != kScalefactorIndexMax + 1) return false;
    for (int k = 0; k < kNumCodebooks; ++k) {
        const CodebookInfo& book = codebookTable[k];
        if (book.codewords.size() != book.codeLengths.size()) return false;
        if (k > 0 && book.codewords.size() !=
                         static_cast<std::size_t>(power(indexBase(book), book.dimension)))
            return false;
    }
    return true;
}
}  // namespace detail
static_assert(detail::tableSizesMatch(),
              "every spectral codebook holds base^dimension codewords, the scalefactor book 121");

// Index digit of one value in a spectral codebook (escape marker for codebook 11).
constexpr int indexDigit(const CodebookInfo& book, int value) {
    if (!book.isUnsigned) return value + book.largestValue;
    const int magnitude = value < 0 ? -value : value;
    return magnitude < book.largestValue ? magnitude : book.largestValue;
}

// Smallest spectral codebook that can code a band whose largest magnitude is m >= 1: the first
// of 1..10 whose LAV reaches m, else the escape codebook.
// A table lookup: the rate control asks for every band of every trial, in no predictable order.
inline constexpr int8_t kSmallestCodebookByMagnitude[14] = {1, 1, 3, 5, 5, 7, 7, 7, 9, 9, 9, 9, 9, ESC_HCB};
constexpr int smallestUsableCodebook(int m) { return kSmallestCodebookByMagnitude[m < 13 ? m : 13]; }

}  // namespace varnel
