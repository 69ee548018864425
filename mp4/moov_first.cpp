#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "mp4/byte_order.h"
#include "mp4/mp4_writer.h"

namespace varnel {
namespace {

struct TopBox {
    uint64_t offset = 0;
    uint64_t size = 0;
    uint32_t type = 0;
};

using mp4::fourcc;
using mp4::loadU32;
using mp4::storeU32;

uint64_t loadU64(const uint8_t* p) { return uint64_t{loadU32(p)} << 32 | loadU32(p + 4); }
void storeU64(uint8_t* p, uint64_t v) {
    storeU32(p, static_cast<uint32_t>(v >> 32));
    storeU32(p + 4, static_cast<uint32_t>(v));
}

// The top-level boxes of the file, in order; false when the file does not parse as boxes.
bool topBoxes(std::FILE* f, std::vector<TopBox>* boxes) {
    if (std::fseek(f, 0, SEEK_END) != 0) return false;
    const off_t end = ftello(f);
    uint64_t pos = 0;
    while (pos < static_cast<uint64_t>(end)) {
        uint8_t head[16];
        if (fseeko(f, static_cast<off_t>(pos), SEEK_SET) != 0 || std::fread(head, 1, 8, f) != 8) return false;
        TopBox b{pos, loadU32(head), loadU32(head + 4)};
        if (b.size == 1) {
            if (std::fread(head + 8, 1, 8, f) != 8) return false;
            b.size = loadU64(head + 8);
        } else if (b.size == 0) {
            b.size = static_cast<uint64_t>(end) - pos;
        }
        if (b.size < 8 || b.size > static_cast<uint64_t>(end) - pos) return false;
        boxes->push_back(b);
        pos += b.size;
    }
    return true;
}

// Adds `delta` to every chunk offset (stco, co64) in the boxes of [p, end) that lie on the
// path moov/trak/mdia/minf/stbl; false when a 32-bit offset would overflow.
bool shiftChunkOffsets(uint8_t* p, uint8_t* end, uint64_t delta) {
    while (end - p >= 8) {
        const uint32_t size = loadU32(p);
        const uint32_t type = loadU32(p + 4);
        if (size < 8 || size > static_cast<uint64_t>(end - p)) return false;
        if (type == fourcc("trak") || type == fourcc("mdia") || type == fourcc("minf") || type == fourcc("stbl")) {
            if (!shiftChunkOffsets(p + 8, p + size, delta)) return false;
        } else if ((type == fourcc("stco") || type == fourcc("co64")) && size >= 16) {
            const bool wide = type == fourcc("co64");
            const uint64_t count = loadU32(p + 12);
            if (16 + count * (wide ? 8 : 4) > size) return false;
            for (uint64_t i = 0; i < count; ++i) {
                uint8_t* entry = p + 16 + i * (wide ? 8 : 4);
                if (wide) {
                    storeU64(entry, loadU64(entry) + delta);
                } else {
                    const uint64_t shifted = loadU32(entry) + delta;
                    if (shifted > UINT32_MAX) return false;
                    storeU32(entry, static_cast<uint32_t>(shifted));
                }
            }
        }
        p += size;
    }
    return true;
}

// Moves the bytes [from, end) of the file up by `delta`, the last block first, so that no byte
// is overwritten before it has been copied.
bool moveUp(std::FILE* f, uint64_t from, uint64_t end, uint64_t delta) {
    std::vector<uint8_t> buffer(1 << 16);
    while (end > from) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(end - from, buffer.size()));
        end -= n;
        if (fseeko(f, static_cast<off_t>(end), SEEK_SET) != 0 || std::fread(buffer.data(), 1, n, f) != n) return false;
        if (fseeko(f, static_cast<off_t>(end + delta), SEEK_SET) != 0 || std::fwrite(buffer.data(), 1, n, f) != n)
            return false;
    }
    return true;
}

}  // namespace

int mp4_place_moov_first(const char* path) {
    if (!path) return -1;
    std::FILE* f = std::fopen(path, "r+b");
    if (!f) return -1;
    std::vector<TopBox> boxes;
    int error = EINVAL;
    bool ok = topBoxes(f, &boxes) && boxes.size() >= 2 && boxes[0].type == fourcc("ftyp") &&
              boxes.back().type == fourcc("moov") && boxes.back().size <= (uint64_t{1} << 31);
    std::vector<uint8_t> moov;
    if (ok) {
        moov.resize(boxes.back().size);
        ok = fseeko(f, static_cast<off_t>(boxes.back().offset), SEEK_SET) == 0 &&
             std::fread(moov.data(), 1, moov.size(), f) == moov.size() && loadU32(moov.data()) == moov.size();
        // Every box between the ftyp and the moov moves up by the moov's size.
        if (ok && !shiftChunkOffsets(moov.data() + 8, moov.data() + moov.size(), moov.size())) {
            ok = false;
            error = EFBIG;
        }
    }
    if (ok) {
        // In place: the file keeps its size, and a run that stops half-way leaves only its own
        // unfinished file, as any other interrupted write does.
        errno = 0;
        const uint64_t start = boxes[0].size;
        ok = moveUp(f, start, boxes.back().offset, moov.size()) && fseeko(f, static_cast<off_t>(start), SEEK_SET) == 0 &&
             std::fwrite(moov.data(), 1, moov.size(), f) == moov.size() && std::fflush(f) == 0;
        if (!ok) error = errno != 0 ? errno : EIO;
    }
    if (std::fclose(f) != 0 && ok) {
        ok = false;
        error = errno;
    }
    if (!ok) {
        errno = error;
        return -1;
    }
    return 0;
}

}  // namespace varnel
