// Fuzz target of the WAV reader: opens the input the way the front end does (1024-sample
// frames, two silent flush frames) and reads it to the end. Besides the sanitizers it checks
// what the encoder relies on: an accepted stream has 1 or 2 channels, every frame is full and
// at 16-bit scale, every whole sample frame of the data chunk arrives exactly once, and the
// flush follows the data only when there was data. The data chunk is found again by a walk of
// the chunks written here from the RIFF rules alone, and what the reader delivers must be
// exactly that chunk's samples: their number always, their values for 16-bit PCM.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "frontend/wav_input.h"
#include "fuzz/fuzz_input_file.h"

namespace {

constexpr int32_t kFrameLength = 1024;
constexpr int32_t kFlushFrames = 2;

uint32_t le32(const uint8_t* p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

// The audio bytes as the RIFF rules give them: the payload of the first "data" chunk, chunks
// being <id><32-bit size><payload padded to even length> from byte 12. A size of 0xFFFFFFFF
// or one past the end of the file runs to the end of the file. A writer may leave out the pad
// byte: the next id is taken right after an odd payload when it is "fmt ", "data" or "LIST"
// there and not after the pad byte, or when only there it is four printable characters.
struct DataChunk {
    bool found = false;
    uint64_t offset = 0;
    uint64_t size = 0;
};

bool printableId(const uint8_t* id) {
    for (int i = 0; i < 4; ++i)
        if (id[i] < 0x20 || id[i] > 0x7E) return false;
    return true;
}

bool readerId(const uint8_t* id) {
    return std::memcmp(id, "fmt ", 4) == 0 || std::memcmp(id, "data", 4) == 0 || std::memcmp(id, "LIST", 4) == 0;
}

DataChunk walkChunks(const uint8_t* data, size_t size) {
    DataChunk chunk;
    for (uint64_t pos = 12; pos + 8 <= size;) {
        const uint32_t length = le32(data + pos + 4);
        if (std::memcmp(data + pos, "data", 4) == 0) {
            chunk.found = true;
            chunk.offset = pos + 8;
            const uint64_t available = size - chunk.offset;
            chunk.size = length == 0xFFFFFFFFu || length > available ? available : length;
            return chunk;
        }
        const uint64_t end = pos + 8 + uint64_t{length};
        pos = end + (length & 1u);
        if ((length & 1u) && end + 5 <= size) {
            const uint8_t* unpadded = data + end;
            const uint8_t* padded = unpadded + 1;
            if (!readerId(padded) && (readerId(unpadded) || (printableId(unpadded) && !printableId(padded)))) pos = end;
        }
    }
    return chunk;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace varnel;
    const fuzz::InputFile file(data, size);

    InputStreamParams params;
    params.fileName = file.path();
    params.frameLength = kFrameLength;
    params.trailingSilentFrames = kFlushFrames;
    std::unique_ptr<InputStream> stream;
    std::string error;
    const int status = openInputStream(params, &stream, &error);
    if (status != kStreamOk) {
        if (stream) fuzz::fail("a failed open left a stream");
        if (status == kStreamUnsupported && error.empty()) fuzz::fail("a refused file came without a reason");
        return 0;
    }

    int32_t channels = 0;
    int32_t rate = 0;
    stream->getProperty(varnel::kPropertyChannelsRead, &channels);
    stream->getProperty(varnel::kPropertySampleRate, &rate);
    if (channels < 1 || channels > 2) fuzz::fail("an accepted stream has neither 1 nor 2 channels");
    if (rate <= 0) fuzz::fail("an accepted stream has no sampling rate");
    const WavFormat& format = stream->format();
    if (format.blockAlign == 0) fuzz::fail("an accepted stream has block align 0");
    if (format.dataOffset + format.dataSize > size) fuzz::fail("the data chunk reaches past the file");
    const uint64_t sampleFrames = format.dataSize / format.blockAlign;
    const DataChunk chunk = walkChunks(data, size);
    if (!chunk.found) fuzz::fail("a stream was accepted without a data chunk");
    if (format.dataOffset != chunk.offset || format.dataSize != chunk.size)
        fuzz::fail("the reader's data chunk is not the file's");
    const bool pcm16 = format.sampleFormat == kWaveFormatPcm && format.bitsPerSample == 16;
    uint64_t valuesSeen = 0;  // data values compared so far

    uint64_t dataFrames = 0;
    uint64_t silentFrames = 0;
    FrameView view{};
    while (true) {
        const ReadStatus read = stream->readFrame(&view);
        if (read == ReadStatus::EndOfData) break;
        if (read != ReadStatus::Frame) fuzz::fail("a read of an in-memory file failed");
        if (view.valuesRead != kFrameLength * channels || view.channels != channels)
            fuzz::fail("a frame is not full");
        bool silent = true;
        for (int32_t i = 0; i < view.valuesRead; ++i) {
            const double v = view.samples[i];
            if (!(v >= -32768.0 && v < 32768.0)) fuzz::fail("a sample is outside the 16-bit scale");
            silent = silent && v == 0.0;
        }
        if (stream->samplesPerChannelRead() > dataFrames * kFrameLength) {
            ++dataFrames;
            const uint64_t dataValues = sampleFrames * static_cast<uint64_t>(channels);
            for (int32_t i = 0; pcm16 && i < view.valuesRead && valuesSeen < dataValues; ++i, ++valuesSeen) {
                const uint8_t* p = data + chunk.offset + 2 * valuesSeen;
                const auto expected = static_cast<int16_t>(static_cast<uint16_t>(p[0] | p[1] << 8));
                if (view.samples[i] != expected) fuzz::fail("a sample differs from the data chunk's");
            }
        } else {
            if (!silent) fuzz::fail("a flush frame is not silent");
            ++silentFrames;
        }
        if (dataFrames + silentFrames > sampleFrames / kFrameLength + 1 + kFlushFrames)
            fuzz::fail("more frames than the data chunk holds");
        stream->releaseFrame();
    }
    if (stream->samplesPerChannelRead() != sampleFrames) fuzz::fail("not every sample frame of the data was read");
    if (silentFrames != (sampleFrames > 0 ? kFlushFrames : 0)) fuzz::fail("wrong number of flush frames");
    stream->closeStream();
    return 0;
}
