// RIFF/WAVE header parsing by walking the chunk list: "RIFF" <size> "WAVE", then chunks of
// <4-byte id><32-bit little-endian size><payload, padded to an even length>. The "fmt " chunk
// gives the sample format; the audio is the payload of the "data" chunk and nothing else.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "frontend/sample_conversion.h"

namespace varnel {

inline constexpr uint16_t kWaveFormatPcm = 0x0001;
inline constexpr uint16_t kWaveFormatIeeeFloat = 0x0003;
inline constexpr uint16_t kWaveFormatExtensible = 0xFFFE;

struct WavFormat {
    uint16_t formatTag = 0;      // as in the header (0xFFFE for extensible)
    uint16_t sampleFormat = 0;   // the effective format: the sub-format of an extensible header
    uint16_t channels = 0;
    uint32_t sampleRate = 0;
    uint16_t blockAlign = 0;
    uint16_t bitsPerSample = 0;  // container width
    uint16_t validBits = 0;      // valid bits per sample (extensible), else bitsPerSample
    uint32_t channelMask = 0;    // the speakers of the channels (extensible), else 0: not stated
    uint64_t dataOffset = 0;     // file offset of the first sample byte
    uint64_t dataSize = 0;       // bytes of audio data; kDataToEnd for a stream that runs to its end
    uint64_t announcedSize = 0;  // the data chunk's size as its header gives it; 0 for 0xFFFFFFFF
    // The items of the file's LIST/INFO chunks ("INAM", "IART", ...), as stored, trailing NULs
    // removed, in file order.
    std::vector<std::pair<std::string, std::string>> info;
};

// The data size of a stream whose data runs to the end of the stream.
inline constexpr uint64_t kDataToEnd = UINT64_MAX;
// LIST chunks larger than this are skipped rather than read for their INFO items.
inline constexpr uint32_t kMaxInfoChunkBytes = 1u << 20;

// Walks the header of an open file. Returns true with `format` filled and the file positioned
// at the first sample byte, or false with a one-line reason in `error`. A data size of
// 0xFFFFFFFF, or one that runs past the end of the file, means "up to the end of the file";
// a data size of 0 means no samples.
//
// A regular file or a block device is sized and walked with seeks, and its INFO items are
// read from LIST chunks before and after the data chunk. Anything else (a pipe, a FIFO, a
// terminal, standard input) is read once from the front: chunks are skipped by reading them,
// only LIST chunks before the data chunk are read, and a data size of 0xFFFFFFFF gives
// kDataToEnd (a larger size than what follows is found out by reading, as a cut file).
// Only the chunk structure is checked here; acceptsFormat() decides what can be encoded.
bool readWavHeader(std::FILE* file, WavFormat* format, std::string* error);

// True when the encoder can read this sample format with at most `maxChannels` channels, with
// the encoding of its samples; otherwise a one-line reason in `error`.
bool acceptsFormat(const WavFormat& format, SampleEncoding* encoding, std::string* error, int maxChannels = 2);

}  // namespace varnel
