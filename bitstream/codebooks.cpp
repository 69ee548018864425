// Compile-time checks of the codebook descriptions against the generated codeword tables.
// They run once here rather than in every file that includes codebooks.h.
#include "bitstream/codebooks.h"

namespace varnel {
namespace {

// Every length lies in 1..maxCodeLength, the longest reaches it, and every codeword fits in
// its length.
constexpr bool lengthsConsistent(const CodebookInfo& book) {
    int longest = 0;
    for (std::size_t i = 0; i < book.codeLengths.size(); ++i) {
        const int length = book.codeLengths[i];
        if (length < 1 || length > book.maxCodeLength) return false;
        if ((book.codewords[i] >> length) != 0) return false;
        if (length > longest) longest = length;
    }
    return longest == book.maxCodeLength;
}

// Kraft sum exactly 1: the code is complete, so a decoder can never meet an unused pattern.
// (Being prefix-free is checked by the unit tests, which compare codewords pairwise.)
constexpr bool kraftComplete(const CodebookInfo& book) {
    constexpr int kScale = 24;  // longer than any codeword
    uint64_t sum = 0;
    for (std::size_t i = 0; i < book.codeLengths.size(); ++i)
        sum += uint64_t{1} << (kScale - book.codeLengths[i]);
    return sum == (uint64_t{1} << kScale);
}

constexpr bool allCodebooksValid() {
    for (const CodebookInfo& book : codebookTable)
        if (!lengthsConsistent(book) || !kraftComplete(book)) return false;
    return true;
}
static_assert(allCodebooksValid(), "codeword tables disagree with their codebook descriptions");

// smallestUsableCodebook is the first of books 1..10 whose LAV reaches m.
constexpr bool smallestUsableMatchesLav() {
    for (int m = 1; m <= kMaxQuantMagnitude; ++m) {
        int expected = ESC_HCB;
        for (int k = 1; k <= kLastUnescapedCodebook; ++k) {
            if (codebookTable[k].largestValue >= m) {
                expected = k;
                break;
            }
        }
        if (smallestUsableCodebook(m) != expected) return false;
    }
    return true;
}
static_assert(smallestUsableMatchesLav());

}  // namespace
}  // namespace varnel
