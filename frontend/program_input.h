// The program's input: the file or stream it names, read by the reader that takes it (the WAV
// reader for WAV files, standard input, pipes and raw PCM; libsndfile for the other formats,
// recognised by content), mixed down or put in the encoder's channel order, converted to an AAC
// sampling rate where asked or needed, and cut into the encoder's frames. A WAV input at an AAC
// rate whose channels are in the encoder's order, with nothing asked of it, reaches the encoder
// straight from the WAV reader.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "encoder/frame_source.h"
#include "frontend/downmix.h"
#include "frontend/wav_input.h"

namespace varnel {

class FramedSource;

struct InputRequest {
    std::string fileName;
    std::optional<RawFormat> raw;  // headerless PCM of this format
    int32_t rate = 0;              // convert to this AAC rate; 0: only a rate that is not one
    int32_t downmixChannels = 0;   // mix more channels down to 1 or 2; 0: code them all
    int32_t frameLength = 1024;
    int32_t trailingSilentFrames = 0;
    // HE-AAC codes at most 48000 Hz: without `rate`, a higher input rate is converted to 44100
    // (from a multiple of 11025) or 48000.
    bool highEfficiency = false;
};

// Input rates the converter takes when the input is not at an AAC rate.
inline constexpr int32_t kMinConvertibleRate = 1000;
inline constexpr int32_t kMaxConvertibleRate = 1536000;

// The AAC rate an input at `rate` is converted to when none is asked: the nearest one, and
// 48000 for any rate above 48000 that is not itself an AAC rate.
int32_t targetSampleRate(int32_t rate);

// What the program was built to read, for --version: one line per library, or none.
std::vector<std::string> inputCapabilities();

class ProgramInput {
public:
    // Opens the input. Null when it cannot be read, with the reason in `error`.
    static std::unique_ptr<ProgramInput> open(const InputRequest& request, std::string* error);
    ~ProgramInput();

    // The stream the encoder codes.
    int32_t channels() const { return channels_; }
    int32_t sampleRate() const { return sampleRate_; }
    // Why the input's rate cannot be coded (it is not an AAC rate and cannot be converted);
    // empty when it can.
    const std::string& rateProblem() const { return rateProblem_; }
    // True when the header says there are no samples.
    bool knownEmpty() const { return knownEmpty_; }
    // Why an input without samples is refused, in the terms of its format.
    std::string emptyReason() const {
        return wavHeader_ ? "holds no audio samples (its data chunk is empty)" : "holds no audio samples";
    }
    // The file's text tags, by WAV INFO id.
    const std::vector<std::pair<std::string, std::string>>& infoItems() const { return info_; }
    // Notes on what was done to the input (a conversion the user did not ask for).
    const std::vector<std::string>& notes() const { return notes_; }

    // Cuts frames of `frameLength` samples per channel, and `trailingSilentFrames` silent ones
    // after the input, in place of the request's; before the frames are taken. False when the
    // source cannot.
    bool reframe(int32_t frameLength, int32_t trailingSilentFrames) {
        return frames_ && frames_->setProperty(kPropertyFrameLength, frameLength) == 0 &&
               frames_->setProperty(kPropertyTrailingSilentFrames, trailingSilentFrames) == 0;
    }

    // Hands the frames to the encoder; the counts below stay readable while it codes them.
    std::unique_ptr<FrameSource> takeFrames() { return std::move(frames_); }

    // Samples per channel handed to the encoder so far, at the coded rate.
    uint64_t samplesEncoded() const;
    // Samples per channel the encoder will get in all, when known; 0 when not.
    uint64_t expectedSamples() const;
    // A WAV input's count of samples per channel its header announced (0: none) and read.
    uint64_t announcedSamples() const;
    uint64_t samplesRead() const;
    // Float samples beyond full scale, and downmix sums beyond it, clipped so far.
    uint64_t clippedFloatSamples() const;
    uint64_t clippedMixSamples() const;
    // Why reading stopped on a read error.
    std::string readFailure() const;

private:
    ProgramInput() = default;
    bool build(const InputRequest& request, std::unique_ptr<PcmSource> reader, std::vector<Speaker> speakers,
               std::string* error);

    std::unique_ptr<FrameSource> frames_;
    InputStream* wav_ = nullptr;          // the WAV reader, when it reads the input
    const PcmSource* reader_ = nullptr;   // the reader, whichever it is
    const PcmSource* last_ = nullptr;     // the last stage before the frames
    FramedSource* framed_ = nullptr;      // the framing, when not the WAV reader's own
    int32_t channels_ = 0;
    int32_t sampleRate_ = 0;
    bool knownEmpty_ = false;
    bool wavHeader_ = false;  // the input is a WAV file or stream (not raw PCM, not another format)
    std::string rateProblem_;
    std::vector<std::pair<std::string, std::string>> info_;
    std::vector<std::string> notes_;
};

}  // namespace varnel
