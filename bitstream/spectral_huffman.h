// Huffman coding of quantised spectral values (ISO/IEC 14496-3, 4.6.3.3): the bit counters and
// the codeword writers side by side, over the same index rules, so that what is counted is
// what is written.
//
// Values are taken `dimension` at a time from [start, end); the caller passes whole bands, whose
// widths are multiples of 4. Unsigned codebooks (3, 4, 7..11) follow each codeword with one
// sign bit per nonzero value (1 = negative). Codebook 11 then appends, for each value of
// magnitude m >= 16 (first value first), the escape sequence: N one-bits, a zero bit and the
// N + 4 low bits of m, N = floor(log2 m) - 4, that is 2N + 5 bits.
#pragma once

#include <bit>
#include <cstdint>
#include <span>

#include "bitstream/codebooks.h"

namespace varnel {

class BitWriter;

// Bits of an escape sequence for magnitude m (16 <= m <= 8191): 2 * (floor(log2 m) - 4) + 5.
constexpr int escapeSequenceBits(int magnitude) {
    return 2 * std::bit_width(static_cast<unsigned>(magnitude)) - 5;
}

// Bits of values[start, end) in codebook 1..4 (four values per codeword), signs included.
int countQuadBits(int start, int end, std::span<const int32_t> values, int codebook);
// Bits of values[start, end) in codebook 5..10 (two values per codeword), signs included.
int countPairBits(int start, int end, std::span<const int32_t> values, int codebook);
// Bits of values[start, end) in codebook 11, signs and escape sequences included.
int countEscapeBits(int start, int end, std::span<const int32_t> values);

void writeQuads(BitWriter& writer, int start, int end, std::span<const int32_t> values,
                int codebook);
void writePairs(BitWriter& writer, int start, int end, std::span<const int32_t> values,
                int codebook);
void writeEscapePairs(BitWriter& writer, int start, int end, std::span<const int32_t> values);

// Bits of `values` in codebook 1..11, by the codebook's kind.
int countSpectralBits(std::span<const int32_t> values, int codebook);
// Writes `values` in codebook 1..11, by the codebook's kind.
void writeSpectralValues(BitWriter& writer, std::span<const int32_t> values, int codebook);

}  // namespace varnel
