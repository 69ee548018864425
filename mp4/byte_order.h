// Big-endian byte order and four-character codes: every multi-byte field of an MP4 file is
// stored most significant byte first (ISO/IEC 14496-12, 4.2).
#pragma once

#include <cstddef>
#include <cstdio>
#include <cstdint>
#include <utility>
#include <vector>

namespace varnel::mp4 {

// A four-character box or handler type as the 32-bit value whose big-endian bytes spell it.
using FourCC = uint32_t;

constexpr FourCC fourcc(const char (&s)[5]) {
    return (uint32_t{static_cast<uint8_t>(s[0])} << 24) | (uint32_t{static_cast<uint8_t>(s[1])} << 16) |
           (uint32_t{static_cast<uint8_t>(s[2])} << 8) | uint32_t{static_cast<uint8_t>(s[3])};
}

inline void storeU16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

inline void storeU32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

inline uint32_t loadU32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

// Appends big-endian fields to a byte vector; the building block of every box and descriptor.
// Given a sink, the buffer passes its bytes on to that file whenever a block of bytes would
// take it past kFlushBytes, so that a large box is written in constant memory; size() counts
// every byte appended either way.
class ByteBuffer {
public:
    static constexpr std::size_t kFlushBytes = 64 * 1024;

    ByteBuffer() = default;
    explicit ByteBuffer(std::FILE* sink) : sink_(sink) {}

    void u8(uint8_t v) { bytes_.push_back(v); }
    void u16(uint16_t v) {
        u8(static_cast<uint8_t>(v >> 8));
        u8(static_cast<uint8_t>(v));
    }
    void u24(uint32_t v) {
        u8(static_cast<uint8_t>(v >> 16));
        u16(static_cast<uint16_t>(v));
    }
    void u32(uint32_t v) {
        u16(static_cast<uint16_t>(v >> 16));
        u16(static_cast<uint16_t>(v));
    }
    void type(FourCC t) { u32(t); }
    void bytes(const uint8_t* p, std::size_t n) {
        if (n == 0) return;
        if (sink_ && bytes_.size() + n > kFlushBytes) flush();
        bytes_.insert(bytes_.end(), p, p + n);
    }
    void zeros(std::size_t n) { bytes_.insert(bytes_.end(), n, uint8_t{0}); }

    std::size_t size() const { return flushed_ + bytes_.size(); }
    const std::vector<uint8_t>& view() const { return bytes_; }
    std::vector<uint8_t> take() && { return std::move(bytes_); }

    // Writes what is held to the sink. False once any write to it has failed.
    bool flush() {
        if (!sink_) return false;
        if (!bytes_.empty() && ok_ && std::fwrite(bytes_.data(), 1, bytes_.size(), sink_) != bytes_.size()) {
            ok_ = false;
        }
        flushed_ += bytes_.size();
        bytes_.clear();
        return ok_;
    }

private:
    std::vector<uint8_t> bytes_;
    std::FILE* sink_ = nullptr;
    std::size_t flushed_ = 0;
    bool ok_ = true;
};

}  // namespace varnel::mp4
