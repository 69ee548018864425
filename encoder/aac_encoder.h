// The AAC-LC encoder object: one raw data block per 1024-sample frame, a channel pair element
// for stereo or a single channel element for mono.
//
// The encoder reads its frames from the frame source it owns. The block written by the k-th
// encodeFrame call (k from 1) is the transform of input frames k - 2 and k - 1 (frame 0 and -1
// being silence), so a decoder's output lags the input by two frames (2048 samples).
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "analysis/psychoacoustic_model.h"
#include "bitstream/bit_writer.h"
#include "coding/perceptual_rate_control.h"
#include "encoder/channel_records.h"
#include "encoder/frame_source.h"

namespace varnel {

// Samples per channel by which a decoder's output lags the input: two frames.
inline constexpr uint32_t kEncoderDelaySamples = 2 * kFrameLength;

struct EncoderConfig {
    int32_t channels = 0;          // written by openEncoder with the stream's channel count
    int32_t bitRatePerChannel = 0; // bit/s for each channel
};

enum class FrameStatus {
    Written,     // one raw data block is in the bit writer
    EndOfInput,  // the input is exhausted; nothing was written
    ReadError,   // the input could not be read; nothing was written
};

// Optional per-stage timing of encodeFrame, in seconds, for benchmarks.
struct StageTimes {
    double input = 0;     // reading and de-interleaving
    double analysis = 0;  // block switching and filterbank
    double tools = 0;     // bandwidth, noise substitution, mid/side, temporal noise shaping
    double search = 0;    // bit allocation, quantisation and sectioning
    double writing = 0;   // syntax writer
};

struct AacEncoder {
    AacEncoder();
    ~AacEncoder();
    AacEncoder(const AacEncoder&) = delete;
    AacEncoder& operator=(const AacEncoder&) = delete;

    // Encodes exactly one frame into the bit writer, ending byte-aligned.
    FrameStatus encodeFrame();
    // id kOptionBitsId sets the option bits (kOptionTns, kOptionPns, kOptionPerceptual) and
    // returns 0; other ids
    // return -1.
    int setOption(int id, int value);
    // Closes the frame source and releases the bit writer.
    void closeEncoder();

    std::unique_ptr<FrameSource> inputStream;
    std::unique_ptr<BitWriter> bitWriter;
    std::vector<ChannelBuffer> channelBuffers;
    std::vector<IcsInfo> icsInfo;
    std::vector<TransientDetector> detectors;
    std::vector<ChannelCoding> channelCoding;
    ElementInfo elementInfo{};
    FrameState frame{};                // reservoir, channel share, option bits, mid/side switch
    int32_t sampleRate = 0;
    int32_t bitRatePerChannel = 0;
    int32_t channels = 0;
    int32_t sampleRateIndex = 0;
    MaskingState maskingState[kMaxChannels];  // the perceptual mode's memory between frames
    PerceptualState perceptual;
    // Each channel's last window_shape, which its next block's window rises with (the default
    // mode keeps the sine shape; the perceptual mode switches).
    int32_t windowShapes[kMaxChannels]{};
    StageTimes* stageTimes = nullptr;  // filled when set
};

enum class OpenStatus {
    Ok,
    InvalidSampleRate,   // not one of the 12 AAC sampling rates
    InvalidChannels,     // only mono and stereo are encoded
    InvalidArgument,     // no stream, no bit writer or no output buffer
};

// Creates the encoder over the frame source and the bit writer (both taken over), initialises
// the per-channel records and writes the AudioSpecificConfig into the bit writer's buffer: 2
// bytes, or 5 at 24000 Hz and below, where it also states that no SBR data follows.
// On failure `out` stays null and the stream and bit writer are released.
OpenStatus openEncoder(EncoderConfig& config, std::unique_ptr<BitWriter> bitWriter,
                       std::unique_ptr<FrameSource> inputStream, std::unique_ptr<AacEncoder>* out);

// Position of `sampleRate` in sampleRateTable, or -1.
int findSampleRateIndex(int32_t sampleRate);

// Record initialisation (the encoder's open calls these).
void initChannelBuffer(ChannelBuffer& buffer);
void initIcsInfo(IcsInfo& ics);
void initChannelCoding(ChannelCoding& coding);
// A full reservoir, an even share of the bits (all of them for mono), no options.
void initFrameState(FrameState& frame, int channels);

}  // namespace varnel
