// The MP4 file the program writes: an initial object descriptor naming the two MPEG-4 systems
// tracks, a scene-description track (one BIFS command frame) and an object-descriptor track
// (one object descriptor update pointing at the audio track), then the AAC audio track with one
// sample per raw data block and an edit list that removes the encoder's two-frame delay. Tags,
// when there are any, go into the movie's metadata list with the encoder's name and version.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "frontend/audio_output.h"
#include "frontend/tags.h"
#include "mp4/mp4_writer.h"

namespace varnel {

// Track layout of the output file.
inline constexpr uint32_t kSceneTrackId = 1;
inline constexpr uint32_t kOdTrackId = 2;
inline constexpr uint32_t kAudioTrackId = 3;
inline constexpr uint32_t kSystemsTimeScale = 1000;

// The name and version the metadata list gives as the encoding tool.
inline constexpr const char* kEncodingTool = "VarnelAacEnc " VARNEL_VERSION;

// How the file is laid out beyond the design's .mp4 file.
struct Mp4Layout {
    // The audio-only file music players and libraries expect (".m4a"): brand "M4A ", one audio
    // track (ID 1) and no systems tracks or initial object descriptor, the moov first, and an
    // iTunSMPB item beside the edit list.
    bool audioOnly = false;
    bool moovFirst = false;  // the moov before the media data (--faststart; always for .m4a)
    uint32_t frameLength = 1024;  // samples per channel each frame stands for (2048 for HE-AAC)
    // HE-AAC: the edit list's start counts samples of the core, at half the output rate, and
    // its duration is longer by as much, as ffmpeg reads HE-AAC edit lists: it doubles the
    // start for the replicated output (a start at the output rate was skipped twice) but keeps
    // the packets the edit spans at the output rate (a duration of the input alone cut the last
    // frame). The track's time scale and durations stay at the output rate, which faad takes
    // as the output's length. A reader that takes the start at the output rate (gstreamer)
    // starts half the delay early, with the whole input after it. The iTunSMPB item of an
    // audio-only file counts core samples as well.
    bool coreRateDelay = false;
};

// Bytes the iTunSMPB item of an audio-only file adds to the tags: its name and its value of
// twelve hexadecimal fields.
inline constexpr uint32_t kGaplessItemBytes = 8 + 116;

// ".m4a" in any case at the end of the name.
bool isM4aName(const std::string& name);

class Mp4Output final : public AudioOutput {
public:
    // Creates the file at `path` with the systems tracks and their samples (not for an
    // audio-only layout), and adds the empty audio track at `sampleRate`. Null when the MP4
    // writer fails (errno may tell why).
    static std::unique_ptr<Mp4Output> create(const std::string& path, uint32_t sampleRate, const Tags& tags = {},
                                             const Mp4Layout& layout = {});

    Mp4Output(const Mp4Output&) = delete;
    Mp4Output& operator=(const Mp4Output&) = delete;
    // A file that was never finished is closed, releasing its memory.
    ~Mp4Output() override;

    // The audio track's sample description: the elementary stream descriptor with the
    // AudioSpecificConfig, and the bit rates stated for the decoder's buffer model: the
    // requested rate (peak twice that), or with RateStatement::Carried, set again when the
    // file is finished, the mean over all frames and the peak over any second of them.
    bool describeAudio(std::span<const uint8_t> audioSpecificConfig, uint16_t channels,
                       uint32_t totalBitRate, RateStatement statement = RateStatement::Requested) override;
    // One raw data block as the next audio sample, a frame length after the previous one.
    bool writeFrame(const uint8_t* data, uint32_t size) override;
    // The edit list for `inputSamples` samples per channel (none for an empty input), the
    // audio track finished and the file closed.
    bool finish(uint64_t inputSamples, uint32_t encoderDelay) override;
    uint64_t maxFrames() const override { return MP4_MAX_SAMPLES_PER_TRACK; }

private:
    Mp4Output() = default;

    Mp4File* file_ = nullptr;
    Mp4Track* audio_ = nullptr;
    uint32_t sampleRate_ = 0;
    uint32_t timeStamp_ = 0;  // wraps after 2^32 samples; the MP4 writer takes differences
    // RateStatement::Carried: what the description is built again from, and the frame sizes
    // of the last second (a ring) with their sum and the largest sum seen.
    std::string path_;
    Mp4Layout layout_;
    Tags tags_;  // audio-only files: the tags, to be set again with the iTunSMPB item
    uint32_t audioTrackId_ = kAudioTrackId;
    bool statesCarriedRate_ = false;
    std::vector<uint8_t> audioSpecificConfig_;
    uint16_t channels_ = 0;
    std::vector<uint32_t> lastSecond_;
    size_t ringPosition_ = 0;
    uint64_t secondBytes_ = 0;
    uint64_t peakSecondBytes_ = 0;
};

}  // namespace varnel
