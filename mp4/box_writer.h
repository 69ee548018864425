// Serialisation of the box tree (ISO/IEC 14496-12): the ftyp written when the file is created
// and the moov written on close.
//
// Every box is written by one small function inside a BoxScope that writes the header with
// the box's declared size. Leaf sizes are kept current while the tracks are built (the sample
// tables) or follow from their contents (tref, hdlr, dref, stsd); container sizes are the sums
// of their children's, computed bottom-up here, so the moov size is known before writing. Debug builds check on
// leaving each scope that the declared size equals the bytes written and name the box that
// disagrees.
#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

#include "mp4/byte_order.h"
#include "mp4/track_boxes.h"

namespace varnel {
struct Mp4File;
}

namespace varnel::mp4 {

// Version 0 sizes; version 1 widens creation_time, modification_time and duration to 64 bits
// (12 bytes more), and an elst entry's segment_duration and media_time (8 bytes more).
inline constexpr uint32_t kMvhdSize = 108;
inline constexpr uint32_t kTkhdSize = 92;
inline constexpr uint32_t kMdhdSize = 32;
inline constexpr uint32_t kElstSize = 28;  // one edit, version 0
inline constexpr uint32_t kEdtsSize = kBoxHeaderSize + kElstSize;
inline constexpr uint32_t kVersion1Extra = 12;
inline constexpr uint32_t kElstVersion1Extra = 8;

// Writes a box header on construction; on destruction checks (debug builds) that exactly
// `size` bytes were written since.
class BoxScope {
public:
    BoxScope(ByteBuffer& out, FourCC type, uint32_t size);
    // A full box: the header followed by version (8 bits) and flags (24 bits).
    BoxScope(ByteBuffer& out, FourCC type, uint32_t size, uint8_t version, uint32_t flags);
    ~BoxScope();
    BoxScope(const BoxScope&) = delete;
    BoxScope& operator=(const BoxScope&) = delete;

private:
    ByteBuffer& out_;
    FourCC type_;
    uint32_t size_;
    size_t start_;
};

// The 28-byte ftyp box.
std::vector<uint8_t> serialiseFtyp(int32_t brands);

// Size of the moov box as it will be written (the mvhd duration must already be set). It is
// computed in 64 bits: a moov that does not fit the 32-bit box size is refused by the caller.
uint64_t moovSize(const Mp4File& file);

// Writes the complete moov box to `out` at its current position, in pieces of at most about
// ByteBuffer::kFlushBytes, so that memory does not grow with the sample tables. Every track
// must be finished and every sample entry filled; the mvhd duration must already be set.
// False when a write failed.
bool writeMoov(Mp4File& file, std::FILE* out);

}  // namespace varnel::mp4
