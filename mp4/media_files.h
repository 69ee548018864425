// The media files of one output file and their `mdat` boxes.
//
// Each distinct media file name gets one row: the file is created with an optional prefix
// (the output file's `ftyp`) followed by an 8-byte `mdat` header whose size reads 0, and the
// row keeps the file's next free byte. Tracks append their samples through their own handle;
// the row's lock hands every append a disjoint byte range, and the bytes are then written
// outside the lock through the handle's own buffered stream, which seeks only when its range
// does not follow the last one it wrote (another track's sample came between), so that a track
// written alone goes to the file front to back in large writes. Detaching flushes the stream and
// reports a failed write. On finalize each `mdat` size is patched
// to header plus payload, unless some operation on the file failed, in which case the sizes
// stay 0 so that no reader takes a damaged file for a complete one.
//
// Media data past 4 GiB: the first `mdat` has a 32-bit size, so the sample that would take it
// past 2^32 - 1 bytes starts a second `mdat` with a 64-bit size (size field 1, then the
// largesize) that holds everything after. Files below 4 GiB keep the single 8-byte header.
//
// Lock order: the owning file's lock, then the set's lock; a row's lock is never held together
// with another lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace varnel::mp4 {

inline constexpr uint32_t kMdatHeaderSize = 8;        // 32-bit size, "mdat"
inline constexpr uint32_t kLargeMdatHeaderSize = 16;  // size 1, "mdat", 64-bit largesize

struct MediaFileEntry {
    std::mutex lock;        // guards write_pos and large_mdat_offset
    std::string name;
    uint64_t write_pos = 0;         // next free byte of the file
    uint64_t mdat_offset = 0;       // where the file's (first, 32-bit) mdat header lies
    uint64_t large_mdat_offset = 0; // where the 64-bit mdat that follows it lies; 0: none
};

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// An open read/write stream on one media file. Detaching (or destroying) closes the stream.
class MediaFileHandle {
public:
    MediaFileHandle() = default;
    // Takes the stream over and gives it a buffer of its own.
    MediaFileHandle(MediaFileEntry* entry, FilePtr stream, bool write_payload = true);
    MediaFileHandle(MediaFileHandle&& other) = default;
    MediaFileHandle& operator=(MediaFileHandle&& other);
    ~MediaFileHandle() { detach(); }

    bool attached() const { return entry_ != nullptr; }
    const MediaFileEntry* entry() const { return entry_; }

    // Reserves `length` bytes at the file's end and writes `bytes` there; `offset` receives
    // the reserved position in every case (length 0 only reports the current end). The append
    // that takes the first mdat past 32-bit sizes first writes the 64-bit mdat header. Returns
    // -1 (errno telling why) when the seek or the write fails, or when writing out bytes
    // buffered by earlier appends fails.
    int append(const uint8_t* bytes, uint32_t length, uint64_t* offset);

    // Flushes and closes the stream and forgets the row; -1 (errno telling why) when the
    // buffered bytes could not be written.
    int detach();

private:
    bool writeAt(uint64_t offset, const uint8_t* bytes, size_t length);

    static constexpr uint64_t kUnknownPosition = UINT64_MAX;

    MediaFileEntry* entry_ = nullptr;
    std::unique_ptr<char[]> buffer_;  // the stream's buffer: released only after the stream
    FilePtr stream_;
    bool write_payload_ = true;
    uint64_t position_ = kUnknownPosition;  // where the stream's next byte goes
};

class MediaFileSet {
public:
    explicit MediaFileSet(uint32_t capacity) : capacity_(capacity) {}
    MediaFileSet(const MediaFileSet&) = delete;
    MediaFileSet& operator=(const MediaFileSet&) = delete;

    // Opens a handle on the media file `name`. A name not seen before claims a new row (refused
    // once `capacity` rows exist): the file is created (truncated), `prefix` is written at 0
    // and an mdat header with size 0 right after it. Any failure marks the set failed.
    int attach(const std::string& name, const uint8_t* prefix, uint32_t prefix_length, MediaFileHandle* handle);

    // The current end of the named file's media data (the write position), or -1 if unknown.
    int currentEnd(const std::string& name, uint64_t* end);

    // For tests of the file layout at sizes beyond what a test should write: handles attached
    // from now on reserve their samples' byte ranges but leave them unwritten (holes of a
    // sparse file); headers, offsets and the moov are written as always.
    void skipPayloadForTest() { write_payload_ = false; }

    void markFailed() { failed_.store(true); }
    bool failed() const { return failed_.load(); }
    uint32_t count();

    // Patches each file's mdat size (write_pos - mdat_offset) unless the set is failed; the first
    // failure marks the set failed and leaves the remaining files unpatched. Returns -1 when the
    // set is failed on return.
    int finalize();

private:
    MediaFileEntry* find(const std::string& name);

    std::mutex lock_;  // guards rows_
    const uint32_t capacity_;
    std::vector<std::unique_ptr<MediaFileEntry>> rows_;
    std::atomic<bool> failed_{false};
    bool write_payload_ = true;
};

}  // namespace varnel::mp4
