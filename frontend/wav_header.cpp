#include "frontend/wav_header.h"

#include <cstring>
#include <sys/stat.h>

#include "frontend/little_endian.h"

namespace varnel {
namespace {

constexpr int kChunkHeaderBytes = 8;
constexpr uint32_t kMinFmtBytes = 16;
constexpr uint32_t kExtensibleFmtBytes = 40;

// The GUID tail shared by the KSDATAFORMAT_SUBTYPE_* sub-formats; the first two bytes are the
// plain format tag.
constexpr uint8_t kSubFormatTail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                        0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

bool readExact(std::FILE* file, uint8_t* dst, size_t n) { return std::fread(dst, 1, n, file) == n; }

// Reads and drops `n` bytes: a chunk skipped on a stream that cannot seek.
bool skipBytes(std::FILE* file, uint64_t n) {
    uint8_t buffer[4096];
    while (n > 0) {
        const size_t k = n < sizeof buffer ? static_cast<size_t>(n) : sizeof buffer;
        if (!readExact(file, buffer, k)) return false;
        n -= k;
    }
    return true;
}

// Whether the file can be sized and walked with seeks.
bool seekable(std::FILE* file) {
    struct stat st {};
    return fstat(fileno(file), &st) == 0 && (S_ISREG(st.st_mode) || S_ISBLK(st.st_mode));
}

// The items of a LIST chunk's payload when its list type is INFO: <id><size><text, padded>.
void parseInfo(const std::vector<uint8_t>& payload, WavFormat* format) {
    if (payload.size() < 4 || std::memcmp(payload.data(), "INFO", 4) != 0) return;
    for (size_t pos = 4; pos + kChunkHeaderBytes <= payload.size();) {
        const uint32_t size = le32(payload.data() + pos + 4);
        const size_t start = pos + kChunkHeaderBytes;
        if (size > payload.size() - start) break;  // an item that runs past its list
        std::string text(reinterpret_cast<const char*>(payload.data() + start), size);
        text.resize(std::strlen(text.c_str()));  // up to the first NUL
        format->info.emplace_back(std::string(reinterpret_cast<const char*>(payload.data() + pos), 4), text);
        pos = start + size + (size & 1u);
    }
}

// A LIST chunk of `size` bytes at the current position, read for its INFO items when it is
// not too large. Leaves the position inside or after the chunk: callers seek or skip on.
bool readListChunk(std::FILE* file, uint32_t size, WavFormat* format, uint32_t* consumed) {
    *consumed = 0;
    if (size > kMaxInfoChunkBytes) return true;
    std::vector<uint8_t> payload(size);
    if (!readExact(file, payload.data(), size)) return false;
    *consumed = size;
    parseInfo(payload, format);
    return true;
}

// Size of the file in bytes, or -1 when it cannot be determined.
long long fileSize(std::FILE* file) {
    if (std::fseek(file, 0, SEEK_END) != 0) return -1;
    const long long size = std::ftell(file);
    return size;
}

bool seekTo(std::FILE* file, uint64_t offset) {
    return std::fseek(file, static_cast<long>(offset), SEEK_SET) == 0;
}

// Chunk ids are four printable ASCII characters; these three are the ones the reader needs.
bool plausibleId(const uint8_t* id) {
    for (int i = 0; i < 4; ++i)
        if (id[i] < 0x20 || id[i] > 0x7E) return false;
    return true;
}

bool knownId(const uint8_t* id) {
    return std::memcmp(id, "fmt ", 4) == 0 || std::memcmp(id, "data", 4) == 0 || std::memcmp(id, "LIST", 4) == 0;
}

// After a chunk of odd size, a pad byte should come before the next chunk; some writers leave it
// out. `bytes` are the 5 bytes right after the payload: true when the next chunk id is found
// there rather than one byte on, after the pad byte.
bool padByteMissing(const uint8_t* bytes) {
    const uint8_t* padded = bytes + 1;
    return !knownId(padded) && (knownId(bytes) || (plausibleId(bytes) && !plausibleId(padded)));
}

// Where the chunk after one of `size` bytes whose payload starts at `payload` begins in a
// seekable file: after the pad byte of an odd size, unless the writer left it out.
uint64_t nextChunk(std::FILE* file, uint64_t payload, uint32_t size) {
    const uint64_t end = payload + size;
    uint8_t bytes[5];
    if ((size & 1u) == 0) return end;
    if (seekTo(file, end) && readExact(file, bytes, sizeof bytes) && padByteMissing(bytes)) return end;
    return end + 1;
}

bool parseFmt(const uint8_t* p, uint32_t size, WavFormat* format, std::string* error) {
    if (size < kMinFmtBytes) {
        *error = "the \"fmt \" chunk is truncated (" + std::to_string(size) + " bytes, at least 16 required)";
        return false;
    }
    format->formatTag = le16(p);
    format->channels = le16(p + 2);
    format->sampleRate = le32(p + 4);
    format->blockAlign = le16(p + 12);
    format->bitsPerSample = le16(p + 14);
    format->validBits = format->bitsPerSample;
    format->sampleFormat = format->formatTag;
    if (format->formatTag == kWaveFormatExtensible) {
        if (size < kExtensibleFmtBytes || le16(p + 16) < 22) {
            *error = "the extensible \"fmt \" chunk is truncated";
            return false;
        }
        format->validBits = le16(p + 18);
        format->channelMask = le32(p + 20);
        if (std::memcmp(p + 26, kSubFormatTail, sizeof kSubFormatTail) != 0) {
            format->sampleFormat = 0;  // not one of the standard sub-format GUIDs
        } else {
            format->sampleFormat = le16(p + 24);
        }
    }
    return true;
}

// The 12-byte RIFF header of a WAVE file.
bool readRiffHeader(std::FILE* file, uint64_t end, std::string* error) {
    uint8_t riff[12];
    if (end < 4 || !readExact(file, riff, 4) || std::memcmp(riff, "RIFF", 4) != 0) {
        *error = "not a WAV file (no RIFF header)";
        return false;
    }
    if (end < 12 || !readExact(file, riff + 4, 8)) {
        *error = "the RIFF header is truncated";
        return false;
    }
    if (std::memcmp(riff + 8, "WAVE", 4) != 0) {
        *error = "not a WAV file (RIFF form type is not WAVE)";
        return false;
    }
    return true;
}

// The "fmt " chunk of `size` bytes whose payload starts at `payload`.
bool readFmtChunk(std::FILE* file, uint64_t payload, uint32_t size, uint64_t end, WavFormat* format,
                  std::string* error) {
    if (payload + size > end) {
        *error = "the \"fmt \" chunk runs past the end of the file";
        return false;
    }
    uint8_t body[kExtensibleFmtBytes] = {};
    const uint32_t want = size < kExtensibleFmtBytes ? size : kExtensibleFmtBytes;
    if (!readExact(file, body, want)) {
        // A stream's end is found here rather than by the size check above.
        *error = std::feof(file) ? "the \"fmt \" chunk runs past the end of the file" : "the \"fmt \" chunk cannot be read";
        return false;
    }
    return parseFmt(body, size, format, error);
}

// The LIST chunks from `pos` to `end` of a seekable file, read for their INFO items; a chunk
// that cannot be read ends the search, since the audio does not depend on it.
void readInfoAfter(std::FILE* file, uint64_t pos, uint64_t end, WavFormat* format) {
    uint8_t header[kChunkHeaderBytes];
    while (pos + kChunkHeaderBytes <= end && seekTo(file, pos) && readExact(file, header, kChunkHeaderBytes)) {
        const uint32_t size = le32(header + 4);
        const uint64_t payload = pos + kChunkHeaderBytes;
        uint32_t consumed = 0;
        if (std::memcmp(header, "LIST", 4) == 0 && payload + size <= end &&
            !readListChunk(file, size, format, &consumed))
            return;
        pos = nextChunk(file, payload, size);
    }
}

bool readFileHeader(std::FILE* file, WavFormat* format, std::string* error) {
    const long long total = fileSize(file);
    if (total < 0 || !seekTo(file, 0)) {
        *error = "the file cannot be read";
        return false;
    }
    const uint64_t end = static_cast<uint64_t>(total);
    if (!readRiffHeader(file, end, error)) return false;

    bool haveFmt = false;
    uint64_t pos = 12;
    while (true) {
        uint8_t header[kChunkHeaderBytes];
        if (pos + kChunkHeaderBytes > end || !seekTo(file, pos) || !readExact(file, header, kChunkHeaderBytes)) {
            *error = haveFmt ? "no \"data\" chunk" : "no \"fmt \" chunk";
            return false;
        }
        const uint32_t size = le32(header + 4);
        const uint64_t payload = pos + kChunkHeaderBytes;
        if (std::memcmp(header, "fmt ", 4) == 0) {
            if (haveFmt) {
                *error = "more than one \"fmt \" chunk";
                return false;
            }
            if (!readFmtChunk(file, payload, size, end, format, error)) return false;
            haveFmt = true;
        } else if (std::memcmp(header, "data", 4) == 0) {
            if (!haveFmt) {
                *error = "the \"data\" chunk comes before the \"fmt \" chunk";
                return false;
            }
            format->dataOffset = payload;
            const uint64_t available = end - payload;
            // Streaming writers leave 0xFFFFFFFF, and a size past the end means a cut file: both
            // read to the end of the file. A size of 0 is an empty data chunk; whatever follows
            // it is another chunk, not audio.
            format->dataSize = size == 0xFFFFFFFFu || size > available ? available : size;
            format->announcedSize = size == 0xFFFFFFFFu ? 0 : size;
            readInfoAfter(file, payload + format->dataSize + (format->dataSize & 1u), end, format);
            if (!seekTo(file, payload)) {
                *error = "the file cannot be read";
                return false;
            }
            return true;
        }
        if (std::memcmp(header, "LIST", 4) == 0 && payload + size <= end) {
            uint32_t consumed = 0;
            if (!readListChunk(file, size, format, &consumed)) {
                *error = "the file cannot be read";
                return false;
            }
        }
        // Skip this chunk and its pad byte; 64-bit arithmetic, so no size can wrap.
        pos = nextChunk(file, payload, size);
    }
}

bool readStreamHeader(std::FILE* file, WavFormat* format, std::string* error) {
    constexpr uint64_t kUnknownEnd = UINT64_MAX;
    if (!readRiffHeader(file, kUnknownEnd, error)) return false;
    bool haveFmt = false;
    uint64_t pos = 12;  // bytes read so far
    int padByte = -1;   // the byte read as the pad byte of an odd-sized chunk
    while (true) {
        uint8_t bytes[kChunkHeaderBytes + 1];
        if (!readExact(file, bytes + 1, kChunkHeaderBytes)) {
            *error = haveFmt ? "no \"data\" chunk" : "no \"fmt \" chunk";
            return false;
        }
        const uint8_t* header = bytes + 1;
        if (padByte >= 0) {
            bytes[0] = static_cast<uint8_t>(padByte);
            if (padByteMissing(bytes)) {
                // The header started at the byte taken for the pad byte: hand its last byte back.
                header = bytes;
                std::ungetc(bytes[kChunkHeaderBytes], file);
                --pos;
            }
        }
        const uint32_t size = le32(header + 4);
        pos += kChunkHeaderBytes;
        uint32_t consumed = 0;  // bytes of the payload read already
        if (std::memcmp(header, "fmt ", 4) == 0) {
            if (haveFmt) {
                *error = "more than one \"fmt \" chunk";
                return false;
            }
            if (!readFmtChunk(file, 0, size, kUnknownEnd, format, error)) return false;
            consumed = size < kExtensibleFmtBytes ? size : kExtensibleFmtBytes;
            haveFmt = true;
        } else if (std::memcmp(header, "data", 4) == 0) {
            if (!haveFmt) {
                *error = "the \"data\" chunk comes before the \"fmt \" chunk";
                return false;
            }
            format->dataOffset = pos;
            // Streaming writers leave 0xFFFFFFFF: the data runs to the end of the stream. A size
            // larger than what follows shows when the stream ends early, as for a cut file.
            format->dataSize = size == 0xFFFFFFFFu ? kDataToEnd : size;
            format->announcedSize = size == 0xFFFFFFFFu ? 0 : size;
            return true;
        } else if (std::memcmp(header, "LIST", 4) == 0) {
            if (!readListChunk(file, size, format, &consumed)) {
                *error = "no \"data\" chunk";
                return false;
            }
        }
        // The pad byte of an odd size is read with the next header, which may begin with it.
        const uint64_t rest = uint64_t{size} - consumed;
        uint8_t pad = 0;
        if (!skipBytes(file, rest) || ((size & 1u) != 0 && !readExact(file, &pad, 1))) {
            *error = haveFmt ? "no \"data\" chunk" : "no \"fmt \" chunk";
            return false;
        }
        padByte = (size & 1u) != 0 ? pad : -1;
        pos += uint64_t{size} + (size & 1u);
    }
}

}  // namespace

bool readWavHeader(std::FILE* file, WavFormat* format, std::string* error) {
    *format = WavFormat{};
    if (!seekable(file)) return readStreamHeader(file, format, error);
    return readFileHeader(file, format, error);
}

bool acceptsFormat(const WavFormat& format, SampleEncoding* encoding, std::string* error, int maxChannels) {
    if (format.channels == 0 || format.channels > maxChannels) {
        *error = std::to_string(format.channels) + " channels are not supported (" +
                 (maxChannels == 2 ? std::string("1 or 2") : "1 to " + std::to_string(maxChannels)) + " required)";
        return false;
    }
    if (format.sampleRate == 0) {
        *error = "inconsistent header: sampling rate 0";
        return false;
    }
    const bool extensible = format.formatTag == kWaveFormatExtensible;
    const unsigned bits = format.bitsPerSample;
    if (format.sampleFormat == kWaveFormatIeeeFloat) {
        if (bits != 32 && bits != 64) {
            *error = std::to_string(bits) + "-bit float is not supported (32- or 64-bit float required)";
            return false;
        }
        *encoding = bits == 32 ? SampleEncoding::Float32 : SampleEncoding::Float64;
    } else if (format.sampleFormat == kWaveFormatPcm) {
        // Plain headers may state a width that is not a whole number of bytes (20-bit samples
        // in 3-byte containers); extensible headers give the container and the valid bits.
        const unsigned container = extensible ? bits : (bits + 7) / 8 * 8;
        const unsigned valid = extensible ? (format.validBits ? format.validBits : bits) : bits;
        if (container != 8 && container != 16 && container != 24 && container != 32) {
            *error = std::to_string(bits) + "-bit PCM is not supported (8, 16, 24 or 32 bits required)";
            return false;
        }
        if (valid == 0 || valid > container) {
            *error = "inconsistent header: " + std::to_string(valid) + " valid bits in " +
                     std::to_string(container) + "-bit samples";
            return false;
        }
        *encoding = container == 8    ? SampleEncoding::Unsigned8
                    : container == 16 ? SampleEncoding::Signed16
                    : container == 24 ? SampleEncoding::Signed24
                                      : SampleEncoding::Signed32;
    } else {
        char tag[8];
        std::snprintf(tag, sizeof tag, "0x%04X", format.sampleFormat);
        *error = std::string(extensible ? "extensible sub-format " : "format ") +
                 (format.sampleFormat ? tag : "(unknown GUID)") + " is not supported (PCM or IEEE float required)";
        return false;
    }
    const unsigned expectedAlign = format.channels * static_cast<unsigned>(sampleBytes(*encoding));
    if (format.blockAlign != expectedAlign) {
        *error = "inconsistent header: block align " + std::to_string(format.blockAlign) + " for " +
                 std::to_string(format.channels) + " channels of " + std::to_string(bits) + "-bit samples";
        return false;
    }
    return true;
}

}  // namespace varnel
