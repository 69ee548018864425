// MSB-first bit packer into a caller-owned byte buffer.
//
// Contract: putBits(n, value) appends the n (0..32) low bits of value, most significant first;
// value must be below 2^n (it is not masked). Bits gather in a 32-bit accumulator that is
// stored one big-endian word at a time, so the buffer holds the bit stream in order. The
// writer never stores past the attached capacity: once the buffer is full, further bits are
// counted but dropped and overflowed() reports it.
#pragma once

#include <cassert>
#include <cstdint>
#include <memory>

namespace varnel {

class BitWriter {
public:
    BitWriter() = default;
    BitWriter(const BitWriter&) = delete;
    BitWriter& operator=(const BitWriter&) = delete;

    void putBits(int n, uint32_t value) {
        assert(n >= 0 && n <= 32);
        assert(n == 32 || value < (uint32_t{1} << n));
        bitCount_ += n;
        if (bitsInAccumulator_ + n < 32) {
            // n < 32 here, so the shift is defined.
            accumulator_ = n == 0 ? accumulator_ : (accumulator_ << n) | value;
            bitsInAccumulator_ += n;
            return;
        }
        const int k = 32 - bitsInAccumulator_;  // bits that complete the word
        const int r = n - k;                    // bits left over for the accumulator
        const uint32_t head = k == 32 ? 0 : accumulator_ << k;
        const uint32_t word = head | (r == 32 ? 0 : value >> r);
        storeWord(word);
        accumulator_ = r == 0 ? 0 : value & ((uint32_t{1} << r) - 1);
        bitsInAccumulator_ = r;
    }

    // Appends zero bits up to the next multiple of 8 of the running bit count.
    void byteAlign() {
        const int rest = static_cast<int>(bitCount_ % 8);
        if (rest != 0) putBits(8 - rest, 0);
    }

    // Attaches an output buffer; the running bit count is kept.
    void setOutput(uint8_t* buffer, int capacity);

    // Flushes a partial last word (four bytes, so the buffer needs up to four bytes of room past
    // the data), detaches the buffer and returns it with the number of bits written into it;
    // null when no buffer is attached.
    uint8_t* takeOutput(int* bits);

    // Counter control: id 3 clears both counters, id 4 folds bitCount into accumulatedBits.
    int controlCounters(int id);
    // Counter query: id 1 total bits (bitCount + accumulatedBits), id 2 bitCount.
    int queryCounters(int id, int64_t* out) const;

    // Bits put since creation or the last counter reset; it runs over the whole stream, so it
    // is 64 bits wide (a 32-bit count passes 2^31 after about half an hour of 96 kHz stereo
    // at the top rate). Per-frame sizes are differences of two counts.
    int64_t bitCount() const { return bitCount_; }
    bool overflowed() const { return overflowed_; }

private:
    void storeWord(uint32_t word);

    uint32_t accumulator_ = 0;  // right-aligned pending bits, oldest highest
    int bitsInAccumulator_ = 0;
    uint8_t* buffer_ = nullptr;
    int bytePosition_ = 0;
    int capacity_ = 0;
    int64_t bitCount_ = 0;
    int64_t accumulatedBits_ = 0;
    bool overflowed_ = false;
};

std::unique_ptr<BitWriter> createBitWriter();

}  // namespace varnel
