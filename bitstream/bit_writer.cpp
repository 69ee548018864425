#include "bitstream/bit_writer.h"

#include <new>

#include "records/aac_syntax.h"

namespace varnel {

void BitWriter::setOutput(uint8_t* buffer, int capacity) {
    buffer_ = buffer;
    capacity_ = buffer ? capacity : 0;
    accumulator_ = 0;
    bitsInAccumulator_ = 0;
    bytePosition_ = 0;
    overflowed_ = false;
}

void BitWriter::storeWord(uint32_t word) {
    const int room = capacity_ - bytePosition_;
    const int bytes = room >= 4 ? 4 : (room > 0 ? room : 0);
    for (int i = 0; i < bytes; ++i)
        buffer_[bytePosition_ + i] = static_cast<uint8_t>(word >> (24 - 8 * i));
    bytePosition_ += bytes;
    if (bytes < 4) overflowed_ = true;  // the rest of the word has nowhere to go
}

uint8_t* BitWriter::takeOutput(int* bits) {
    if (buffer_ == nullptr) return nullptr;
    *bits = bytePosition_ * 8 + bitsInAccumulator_;
    if (bitsInAccumulator_ > 0) {
        const uint32_t word = static_cast<uint32_t>(accumulator_ << (32 - bitsInAccumulator_));
        const int needed = (bitsInAccumulator_ + 7) / 8;
        const int room = capacity_ - bytePosition_;
        const int bytes = room < 4 ? room : 4;
        for (int i = 0; i < bytes; ++i)
            buffer_[bytePosition_ + i] = static_cast<uint8_t>(word >> (24 - 8 * i));
        if (room < needed) overflowed_ = true;
    }
    uint8_t* out = buffer_;
    buffer_ = nullptr;
    capacity_ = 0;
    bytePosition_ = 0;
    accumulator_ = 0;
    bitsInAccumulator_ = 0;
    return out;
}

int BitWriter::controlCounters(int id) {
    switch (id) {
    case kCounterClear:
        bitCount_ = 0;
        accumulatedBits_ = 0;
        return 0;
    case kCounterFold:
        accumulatedBits_ += bitCount_;
        bitCount_ = 0;
        return 0;
    default:
        return -1;
    }
}

int BitWriter::queryCounters(int id, int64_t* out) const {
    switch (id) {
    case kCounterTotal:
        *out = bitCount_ + accumulatedBits_;
        return 0;
    case kCounterCurrent:
        *out = bitCount_;
        return 0;
    default:
        return -1;
    }
}

std::unique_ptr<BitWriter> createBitWriter() {
    return std::unique_ptr<BitWriter>(new (std::nothrow) BitWriter());
}

}  // namespace varnel
