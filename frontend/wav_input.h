// WAV input stream: reads a RIFF/WAVE file (or standard input, or any pipe) and hands out one frame of interleaved samples per
// read, or any number of sample frames through its PcmSource side. Headerless PCM (raw) is
// read the same way, its format given by the caller. The header is parsed by walking the RIFF chunks (see wav_header.h); only the samples
// of the "data" chunk are delivered. A trailing partial frame is zero-padded, and after the
// data a configurable number of silent frames follows, so that an encoder with a look-ahead
// delay can flush every input sample.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "encoder/frame_source.h"
#include "frontend/pcm_source.h"
#include "frontend/wav_header.h"

namespace varnel {

// The file name that reads standard input.
inline constexpr const char* kStandardStreamName = "-";

// Headerless PCM: what a WAV header would say.
struct RawFormat {
    uint32_t sampleRate = 0;
    uint16_t channels = 0;
    SampleEncoding encoding = SampleEncoding::Signed16;  // little-endian
};

struct InputStreamParams {
    std::string fileName;             // a path, or kStandardStreamName
    int32_t frameLength = 1024;       // samples per channel delivered by each read
    int32_t trailingSilentFrames = 0; // silent frames delivered after the data (none for empty data)
    int32_t maxChannels = 2;          // more channels than this are refused
    std::optional<RawFormat> raw;     // set: the file is headerless PCM of this format
};

// Status results of openInputStream.
inline constexpr int kStreamOk = 0;
inline constexpr int kStreamBadArgument = -1;
inline constexpr int kStreamNoMemory = -2;
inline constexpr int kStreamUnknownProperty = -5;
inline constexpr int kStreamOpenFailed = -6;
inline constexpr int kStreamUnsupported = -7;  // the file is not a WAV file this encoder reads

class InputStream final : public FrameSource, public PcmSource {
public:
    InputStream(const InputStream&) = delete;
    InputStream& operator=(const InputStream&) = delete;
    ~InputStream() override;

    // Opens the file and parses its header. On failure returns a negative status, leaves
    // `out` null and, for an unreadable or unsupported file, puts a one-line reason into
    // `error` (without the file name).
    friend int openInputStream(const InputStreamParams& params, std::unique_ptr<InputStream>* out,
                               std::string* error);

    ReadStatus readFrame(FrameView* view) override;
    int releaseFrame() override;
    int closeStream() override;

    // id 3: frame length, id 4: channels (only the file's own count is accepted), id 7: make
    // sure the sample buffer exists.
    int setProperty(int id, int32_t value) override;
    // id 9: valuesRead, 10: frameLength, 11: channels, 12: sampleRate.
    int getProperty(int id, int32_t* value) const override;
    // id 8: the sample buffer.
    int getProperty(int id, const double** buffer) const;

    int32_t channels() const override { return channels_; }
    int32_t sampleRate() const override { return sampleRate_; }
    // Reads sample frames of the data chunk (no padding, no silent frames after it).
    int64_t readPcm(double* out, int64_t frames) override;
    uint64_t expectedFrames() const override {
        return format_.dataSize == kDataToEnd ? 0 : format_.dataSize / format_.blockAlign;
    }
    uint64_t clippedSamples() const override { return clipped_; }

    // Samples per channel taken from the data chunk so far (padding and flush excluded).
    uint64_t samplesPerChannelRead() const { return samplesRead_; }
    const WavFormat& format() const { return format_; }

private:
    InputStream() = default;

    static constexpr size_t kReadBufferBytes = 64 * 1024;

    std::unique_ptr<char[]> readBuffer_;  // the file's stdio buffer, released after the file
    std::FILE* file_ = nullptr;
    bool ownsFile_ = true;  // false for standard input, which stays open
    WavFormat format_{};
    SampleEncoding encoding_ = SampleEncoding::Signed16;
    std::vector<double> samples_;
    std::vector<uint8_t> bytes_;
    int32_t sampleRate_ = 0;
    int32_t valuesRead_ = 0;
    int32_t channels_ = 0;
    bool frameHeld_ = false;
    bool ended_ = false;  // the data has been read to its end
    int32_t frameLength_ = 0;
    int32_t trailingSilentFrames_ = 0;
    uint64_t dataRemaining_ = 0;  // bytes of the data chunk not read yet
    uint64_t samplesRead_ = 0;
    uint64_t clipped_ = 0;
};

int openInputStream(const InputStreamParams& params, std::unique_ptr<InputStream>* out,
                    std::string* error);

}  // namespace varnel
