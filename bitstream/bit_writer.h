// MSB-first bit packer into a caller-owned byte buffer.
//
// Contract: putBits(n, value) appends the n (0..32) low bits of value, most significant first;
// value must be below 2^n (it is not masked). Bits gather in a 64-bit accumulator from which
// they are stored one big-endian 32-bit word at a time, so the buffer holds the bit stream in
// order. The writer never stores past the attached capacity: once the buffer is full, further bits are
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
        // Fewer than 32 bits are pending, so at most 63 are after the shift; bits above them
        // are stale and never read.
        accumulator_ = (accumulator_ << n) | value;
        bitsInAccumulator_ += n;
        if (bitsInAccumulator_ >= 32) {
            bitsInAccumulator_ -= 32;
            const uint32_t word = static_cast<uint32_t>(accumulator_ >> bitsInAccumulator_);
            if (capacity_ - bytePosition_ >= 4) {
                buffer_[bytePosition_] = static_cast<uint8_t>(word >> 24);
                buffer_[bytePosition_ + 1] = static_cast<uint8_t>(word >> 16);
                buffer_[bytePosition_ + 2] = static_cast<uint8_t>(word >> 8);
                buffer_[bytePosition_ + 3] = static_cast<uint8_t>(word);
                bytePosition_ += 4;
            } else {
                storeWord(word);
            }
        }
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

    uint64_t accumulator_ = 0;  // the pending bits in its low bitsInAccumulator_ bits, oldest highest
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
