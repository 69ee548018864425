#include "mp4/media_files.h"

#include <cassert>
#include <cerrno>
#include <limits>
#include <utility>

#include <sys/types.h>

#include "mp4/byte_order.h"

namespace varnel::mp4 {
namespace {

bool seekTo(std::FILE* f, uint64_t offset) {
    return offset <= static_cast<uint64_t>(std::numeric_limits<off_t>::max()) &&
           fseeko(f, static_cast<off_t>(offset), SEEK_SET) == 0;
}

// Writes at `offset` and flushes: the patches of finalize.
bool patchAt(std::FILE* f, uint64_t offset, const uint8_t* bytes, size_t length) {
    if (!seekTo(f, offset)) return false;
    if (length > 0 && std::fwrite(bytes, 1, length, f) != length) return false;
    return std::fflush(f) == 0;
}

// The stream buffer of a handle: samples of a few kilobytes gather into writes of this size.
constexpr size_t kStreamBufferBytes = 16 * 1024;

// The header of the 64-bit mdat; its largesize is patched on finalize.
void largeMdatHeader(uint8_t (&header)[kLargeMdatHeaderSize], uint64_t largesize) {
    storeU32(header, 1);  // size 1: the 64-bit largesize follows the type
    storeU32(header + 4, fourcc("mdat"));
    storeU32(header + 8, static_cast<uint32_t>(largesize >> 32));
    storeU32(header + 12, static_cast<uint32_t>(largesize));
}

// Creates the file with `prefix` at 0 and a zero-size mdat header at prefix_length.
bool createMediaFile(const std::string& name, const uint8_t* prefix, uint32_t prefix_length) {
    FilePtr f(std::fopen(name.c_str(), "wb"));
    if (!f) return false;
    uint8_t header[kMdatHeaderSize] = {0, 0, 0, 0};  // size, patched on finalize
    storeU32(header + 4, fourcc("mdat"));
    if (prefix_length > 0 && std::fwrite(prefix, 1, prefix_length, f.get()) != prefix_length) return false;
    if (std::fwrite(header, 1, sizeof header, f.get()) != sizeof header) return false;
    return std::fclose(f.release()) == 0;
}

}  // namespace

int MediaFileHandle::append(const uint8_t* bytes, uint32_t length, uint64_t* offset) {
    assert(attached());
    uint64_t large_header_at = 0;
    {
        std::lock_guard<std::mutex> hold(entry_->lock);
        if (length > 0 && entry_->large_mdat_offset == 0 &&
            entry_->write_pos + length - entry_->mdat_offset > std::numeric_limits<uint32_t>::max()) {
            large_header_at = entry_->write_pos;
            entry_->large_mdat_offset = large_header_at;
            entry_->write_pos += kLargeMdatHeaderSize;
        }
        *offset = entry_->write_pos;
        entry_->write_pos += length;
    }
    if (large_header_at != 0) {
        uint8_t header[kLargeMdatHeaderSize];
        largeMdatHeader(header, 0);
        if (!writeAt(large_header_at, header, sizeof header)) return -1;
    }
    if (length == 0 || !write_payload_) return 0;
    return writeAt(*offset, bytes, length) ? 0 : -1;
}

bool MediaFileHandle::writeAt(uint64_t offset, const uint8_t* bytes, size_t length) {
    if (offset != position_ && !seekTo(stream_.get(), offset)) {
        position_ = kUnknownPosition;
        return false;
    }
    if (std::fwrite(bytes, 1, length, stream_.get()) != length) {
        position_ = kUnknownPosition;
        return false;
    }
    position_ = offset + length;
    return true;
}

MediaFileHandle::MediaFileHandle(MediaFileEntry* entry, FilePtr stream, bool write_payload)
    : entry_(entry), buffer_(std::make_unique<char[]>(kStreamBufferBytes)), stream_(std::move(stream)),
      write_payload_(write_payload) {
    std::setvbuf(stream_.get(), buffer_.get(), _IOFBF, kStreamBufferBytes);
}

MediaFileHandle& MediaFileHandle::operator=(MediaFileHandle&& other) {
    if (this == &other) return *this;
    detach();
    entry_ = std::exchange(other.entry_, nullptr);
    buffer_ = std::move(other.buffer_);
    stream_ = std::move(other.stream_);
    write_payload_ = other.write_payload_;
    position_ = std::exchange(other.position_, kUnknownPosition);
    return *this;
}

int MediaFileHandle::detach() {
    std::FILE* f = stream_.release();
    entry_ = nullptr;
    position_ = kUnknownPosition;
    bool ok = true;
    if (f) {
        const bool flushed = std::fflush(f) == 0;
        const int error = errno;
        ok = std::fclose(f) == 0 && flushed;
        if (!flushed) errno = error;
    }
    buffer_.reset();
    return ok ? 0 : -1;
}

MediaFileEntry* MediaFileSet::find(const std::string& name) {
    for (const auto& row : rows_)
        if (row->name == name) return row.get();
    return nullptr;
}

int MediaFileSet::attach(const std::string& name, const uint8_t* prefix, uint32_t prefix_length,
                         MediaFileHandle* handle) {
    std::lock_guard<std::mutex> hold(lock_);
    MediaFileEntry* entry = find(name);
    if (!entry) {
        if (rows_.size() >= capacity_ || prefix_length > std::numeric_limits<uint32_t>::max() - kMdatHeaderSize ||
            !createMediaFile(name, prefix, prefix_length)) {
            markFailed();
            return -1;
        }
        auto row = std::make_unique<MediaFileEntry>();
        row->name = name;
        row->mdat_offset = prefix_length;
        row->write_pos = prefix_length + kMdatHeaderSize;
        rows_.push_back(std::move(row));
        entry = rows_.back().get();
    }
    FilePtr stream(std::fopen(name.c_str(), "r+b"));
    if (!stream) {
        markFailed();
        return -1;
    }
    *handle = MediaFileHandle(entry, std::move(stream), write_payload_);
    return 0;
}

int MediaFileSet::currentEnd(const std::string& name, uint64_t* end) {
    MediaFileEntry* entry = nullptr;
    {
        std::lock_guard<std::mutex> hold(lock_);
        entry = find(name);
    }
    if (!entry) return -1;  // rows are never removed, so the entry outlives the set's lock
    std::lock_guard<std::mutex> row_hold(entry->lock);
    *end = entry->write_pos;
    return 0;
}

uint32_t MediaFileSet::count() {
    std::lock_guard<std::mutex> hold(lock_);
    return static_cast<uint32_t>(rows_.size());
}

int MediaFileSet::finalize() {
    std::lock_guard<std::mutex> hold(lock_);
    for (const auto& row : rows_) {
        if (failed()) break;
        // The first mdat ends where the 64-bit one begins, if there is one.
        const uint64_t large = row->large_mdat_offset;
        const uint64_t first_end = large != 0 ? large : row->write_pos;
        uint8_t size[4];
        storeU32(size, static_cast<uint32_t>(first_end - row->mdat_offset));
        uint8_t large_header[kLargeMdatHeaderSize];
        largeMdatHeader(large_header, row->write_pos - large);
        FilePtr f(std::fopen(row->name.c_str(), "r+b"));
        if (!f || !patchAt(f.get(), row->mdat_offset, size, sizeof size) ||
            (large != 0 && !patchAt(f.get(), large, large_header, sizeof large_header)) ||
            std::fclose(f.release()) != 0) {
            markFailed();
        }
    }
    return failed() ? -1 : 0;
}

}  // namespace varnel::mp4
