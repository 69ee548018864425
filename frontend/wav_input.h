// WAV input stream: reads a RIFF/WAVE file (or standard input, or any pipe) and hands out one frame of interleaved samples per
// read. The header is parsed by walking the RIFF chunks (see wav_header.h); only the samples
// of the "data" chunk are delivered. A trailing partial frame is zero-padded, and after the
// data a configurable number of silent frames follows, so that an encoder with a look-ahead
// delay can flush every input sample.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "encoder/frame_source.h"
#include "frontend/wav_header.h"

namespace varnel {

// The file name that reads standard input.
inline constexpr const char* kStandardStreamName = "-";

struct InputStreamParams {
    std::string fileName;             // a path, or kStandardStreamName
    int32_t frameLength = 1024;       // samples per channel delivered by each read
    int32_t trailingSilentFrames = 0; // silent frames delivered after the data (none for empty data)
};

// Status results of openInputStream.
inline constexpr int kStreamOk = 0;
inline constexpr int kStreamBadArgument = -1;
inline constexpr int kStreamNoMemory = -2;
inline constexpr int kStreamUnknownProperty = -5;
inline constexpr int kStreamOpenFailed = -6;
inline constexpr int kStreamUnsupported = -7;  // the file is not a WAV file this encoder reads

class InputStream final : public FrameSource {
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

    // Samples per channel taken from the data chunk so far (padding and flush excluded).
    uint64_t samplesPerChannelRead() const { return samplesRead_; }
    const WavFormat& format() const { return format_; }
    // Float samples beyond full scale that were clipped so far.
    uint64_t clippedSamples() const { return clipped_; }

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
    int32_t frameLength_ = 0;
    int32_t trailingSilentFrames_ = 0;
    uint64_t dataRemaining_ = 0;  // bytes of the data chunk not read yet
    uint64_t samplesRead_ = 0;
    uint64_t clipped_ = 0;
};

int openInputStream(const InputStreamParams& params, std::unique_ptr<InputStream>* out,
                    std::string* error);

}  // namespace varnel
