#include "frontend/wav_input.h"

#include <algorithm>
#include <filesystem>
#include <new>
#include <system_error>

namespace varnel {

InputStream::~InputStream() { closeStream(); }

int openInputStream(const InputStreamParams& params, std::unique_ptr<InputStream>* out,
                    std::string* error) {
    out->reset();
    if (params.frameLength <= 0 || params.trailingSilentFrames < 0) return kStreamBadArgument;
    std::unique_ptr<InputStream> stream(new (std::nothrow) InputStream());
    if (!stream) return kStreamNoMemory;

    std::error_code ec;
    if (params.fileName == kStandardStreamName) {
        stream->file_ = stdin;
        stream->ownsFile_ = false;
    } else if (std::filesystem::is_directory(params.fileName, ec)) {
        *error = "is a directory";
        return kStreamOpenFailed;
    } else {
        stream->file_ = std::fopen(params.fileName.c_str(), "rb");
        // Frames are read a few kilobytes at a time: a larger buffer reads the file in fewer calls.
        stream->readBuffer_.reset(new (std::nothrow) char[InputStream::kReadBufferBytes]);
        if (stream->file_ && stream->readBuffer_)
            std::setvbuf(stream->file_, stream->readBuffer_.get(), _IOFBF, InputStream::kReadBufferBytes);
    }
    if (!stream->file_) {
        *error = "cannot be opened for reading";
        return kStreamOpenFailed;
    }
    if (!readWavHeader(stream->file_, &stream->format_, error) ||
        !acceptsFormat(stream->format_, &stream->encoding_, error))
        return kStreamUnsupported;

    stream->channels_ = stream->format_.channels;
    stream->sampleRate_ = static_cast<int32_t>(std::min<uint32_t>(stream->format_.sampleRate, INT32_MAX));
    stream->frameLength_ = params.frameLength;
    stream->trailingSilentFrames_ = params.trailingSilentFrames;
    // Whole sample frames only: a dangling partial sample at the end is not audio.
    const uint64_t frameBytes = uint64_t{stream->format_.blockAlign};
    stream->dataRemaining_ = stream->format_.dataSize / frameBytes * frameBytes;
    if (stream->setProperty(kPropertyAllocate, 0) != 0) return kStreamNoMemory;
    *out = std::move(stream);
    return kStreamOk;
}

ReadStatus InputStream::readFrame(FrameView* view) {
    if (frameHeld_) return ReadStatus::FrameHeld;
    const size_t n = static_cast<size_t>(frameLength_) * static_cast<size_t>(channels_);
    const size_t bytesPerFrame = static_cast<size_t>(format_.blockAlign);
    const uint64_t wanted = uint64_t{n} / static_cast<uint64_t>(channels_) * bytesPerFrame;
    const size_t toRead = static_cast<size_t>(std::min(wanted, dataRemaining_));

    size_t values = 0;
    if (toRead > 0) {
        bytes_.resize(toRead);
        const size_t got = std::fread(bytes_.data(), 1, toRead, file_);
        if (got != toRead) {
            valuesRead_ = 0;
            if (std::ferror(file_)) return ReadStatus::ReadError;
            dataRemaining_ = 0;  // the file ended before the data chunk did: a cut file
        } else {
            dataRemaining_ -= got;
        }
        const size_t sampleFrames = got / bytesPerFrame;
        values = sampleFrames * static_cast<size_t>(channels_);
        clipped_ += convertSamples(encoding_, bytes_.data(), values, samples_.data());
        samplesRead_ += sampleFrames;
    }
    if (values == 0) {
        // After the data: the silent flush frames, but only when there was any data at all.
        if (trailingSilentFrames_ == 0 || samplesRead_ == 0) {
            valuesRead_ = 0;
            return ReadStatus::EndOfData;
        }
        --trailingSilentFrames_;
    }
    std::fill(samples_.begin() + static_cast<std::ptrdiff_t>(values), samples_.end(), 0.0);
    valuesRead_ = static_cast<int32_t>(n);
    frameHeld_ = true;
    *view = FrameView{samples_.data(), sampleRate_, valuesRead_, channels_};
    return ReadStatus::Frame;
}

int InputStream::releaseFrame() {
    frameHeld_ = false;
    return 0;
}

int InputStream::closeStream() {
    if (file_ && ownsFile_) std::fclose(file_);
    file_ = nullptr;
    samples_.clear();
    return 0;
}

int InputStream::setProperty(int id, int32_t value) {
    switch (id) {
    case kPropertyFrameLength:
        if (value <= 0) return kStreamBadArgument;
        frameLength_ = value;
        break;
    case kPropertyChannels:
        // The channel count is the file's: readFrame takes whole sample frames of the header's
        // block align and converts channels values from each, so another count would read
        // past the bytes it holds. Setting the count it already has is accepted.
        if (value != channels_) return kStreamBadArgument;
        break;
    case kPropertyAllocate:
        break;
    default:
        return kStreamUnknownProperty;
    }
    try {
        samples_.resize(static_cast<size_t>(frameLength_) * static_cast<size_t>(channels_));
    } catch (const std::bad_alloc&) {
        return kStreamNoMemory;
    }
    return 0;
}

int InputStream::getProperty(int id, int32_t* value) const {
    switch (id) {
    case kPropertyValuesRead: *value = valuesRead_; return 0;
    case kPropertyFrameLengthRead: *value = frameLength_; return 0;
    case kPropertyChannelsRead: *value = channels_; return 0;
    case kPropertySampleRate: *value = sampleRate_; return 0;
    default: return kStreamUnknownProperty;
    }
}

int InputStream::getProperty(int id, const double** buffer) const {
    if (id != kPropertySampleBuffer) return kStreamUnknownProperty;
    *buffer = samples_.data();
    return 0;
}

}  // namespace varnel
