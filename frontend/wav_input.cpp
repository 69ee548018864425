#include "frontend/wav_input.h"

#include <algorithm>
#include <filesystem>
#include <new>
#include <system_error>

#include "frontend/framed_source.h"

namespace varnel {

InputStream::~InputStream() { closeStream(); }

namespace {

// The header a WAV file of headerless PCM would have: the data runs to the end of the file.
WavFormat rawWavFormat(const RawFormat& raw) {
    WavFormat format;
    const bool isFloat = raw.encoding == SampleEncoding::Float32 || raw.encoding == SampleEncoding::Float64;
    const auto bytes = static_cast<uint16_t>(sampleBytes(raw.encoding));
    format.formatTag = format.sampleFormat = isFloat ? kWaveFormatIeeeFloat : kWaveFormatPcm;
    format.channels = raw.channels;
    format.sampleRate = raw.sampleRate;
    format.bitsPerSample = format.validBits = static_cast<uint16_t>(8 * bytes);
    format.blockAlign = static_cast<uint16_t>(raw.channels * bytes);
    format.dataSize = kDataToEnd;
    return format;
}

}  // namespace

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
    if (params.raw) {
        stream->format_ = rawWavFormat(*params.raw);
    } else if (!readWavHeader(stream->file_, &stream->format_, error)) {
        return kStreamUnsupported;
    }
    if (!acceptsFormat(stream->format_, &stream->encoding_, error, params.maxChannels)) return kStreamUnsupported;

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

int64_t InputStream::readPcm(double* out, int64_t frames) {
    const size_t bytesPerFrame = static_cast<size_t>(format_.blockAlign);
    const size_t toRead = static_cast<size_t>(
        std::min(static_cast<uint64_t>(std::max<int64_t>(frames, 0)) * bytesPerFrame, dataRemaining_));
    if (toRead == 0) return 0;
    bytes_.resize(toRead);
    const size_t got = std::fread(bytes_.data(), 1, toRead, file_);
    if (got != toRead) {
        if (std::ferror(file_)) return -1;
        dataRemaining_ = 0;  // the file ended before the data chunk did: a cut file
    } else {
        dataRemaining_ -= got;
    }
    const size_t sampleFrames = got / bytesPerFrame;
    clipped_ += convertSamples(encoding_, bytes_.data(), sampleFrames * static_cast<size_t>(channels_), out);
    samplesRead_ += sampleFrames;
    return static_cast<int64_t>(sampleFrames);
}

ReadStatus InputStream::readFrame(FrameView* view) {
    if (frameHeld_) return ReadStatus::FrameHeld;
    const int64_t filled = cutFrame(*this, samples_, frameLength_, ended_, trailingSilentFrames_, samplesRead_);
    if (filled < 0) {
        valuesRead_ = 0;
        return filled == kNoMoreFrames ? ReadStatus::EndOfData : ReadStatus::ReadError;
    }
    valuesRead_ = static_cast<int32_t>(samples_.size());
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
    case kPropertyTrailingSilentFrames:
        if (value < 0 || samplesRead_ > 0) return kStreamBadArgument;
        trailingSilentFrames_ = value;
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
