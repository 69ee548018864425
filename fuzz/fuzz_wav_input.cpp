// Fuzz target of the WAV reader: opens the input the way the front end does (1024-sample
// frames, two silent flush frames) and reads it to the end. Besides the sanitizers it checks
// what the encoder relies on: an accepted stream has 1 or 2 channels, every frame is full and
// at 16-bit scale, every whole sample frame of the data chunk arrives exactly once, and the
// flush follows the data only when there was data.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "frontend/wav_input.h"
#include "fuzz/fuzz_input_file.h"

namespace {

constexpr int32_t kFrameLength = 1024;
constexpr int32_t kFlushFrames = 2;

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
    stream->getProperty(11, &channels);
    stream->getProperty(12, &rate);
    if (channels < 1 || channels > 2) fuzz::fail("an accepted stream has neither 1 nor 2 channels");
    if (rate <= 0) fuzz::fail("an accepted stream has no sampling rate");
    const WavFormat& format = stream->format();
    if (format.blockAlign == 0) fuzz::fail("an accepted stream has block align 0");
    if (format.dataOffset + format.dataSize > size) fuzz::fail("the data chunk reaches past the file");
    const uint64_t sampleFrames = format.dataSize / format.blockAlign;

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
