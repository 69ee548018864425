// The AAC-LC encoder object: one raw data block per 1024-sample frame, a channel pair element
// for stereo, a single channel element for mono, and for 3 to 8 channels the elements of the
// channel configuration in its order (channel_layout.h).
//
// The encoder reads its frames from the frame source it owns. The block written by the k-th
// encodeFrame call (k from 1) is the transform of input frames k - 2 and k - 1 (frame 0 and -1
// being silence), so a decoder's output lags the input by two frames (2048 samples).
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "analysis/psychoacoustic_model.h"
#include "bitstream/bit_writer.h"
#include "coding/perceptual_rate_control.h"
#include "encoder/perceptual_frame.h"
#include "records/channel_records.h"
#include "encoder/channel_layout.h"
#include "encoder/frame_source.h"
#include "sbr/downsampler.h"
#include "sbr/sbr_encoder.h"

namespace varnel {

// The low-frequency channel codes the bands that start below this frequency, at a rate of at
// most kLowFrequencyBitRate that the full-range channels' share leaves out.
inline constexpr int32_t kLowFrequencyCutoffHz = 250;
inline constexpr int32_t kLowFrequencyBitRate = 16000;

// Samples per channel by which a decoder's output lags the input: two frames.
inline constexpr uint32_t kEncoderDelaySamples = 2 * kFrameLength;
// Silent frames after the input that carry its last samples through that delay.
inline constexpr int kFlushFrames = 2;
static_assert(kEncoderDelaySamples == kFlushFrames * kFrameLength);

// The options an encoder opens with unless told otherwise: temporal noise shaping and mid/side.
inline constexpr int32_t kDefaultOptions = kOptionTns | kOptionMidSide;

// The largest raw data block, in bytes: kMaxBitsPerChannel bits for each channel.
inline constexpr int kMaxBlockBytes = frameBitCap(kMaxStreamChannels) / 8;

// The highest total bit rate frames can carry: kMaxBitsPerChannel bits per channel and frame,
// that is 6 bit/s per Hz and channel.
int64_t maxTotalBitRate(int32_t sampleRate, int32_t channels);
// `requested` (bit/s, positive) lowered to maxTotalBitRate.
int32_t usableTotalBitRate(int64_t requested, int32_t sampleRate, int32_t channels);

// What an encoder is opened with; the sampling rate and channel count are the frame source's.
struct EncoderConfig {
    int64_t totalBitRate = 0;           // bit/s of the whole stream; lowered to maxTotalBitRate
    int32_t options = kDefaultOptions;  // option bits
    // 1 .. kMaxVbrLevel: quality-targeted variable rate in the perceptual mode (which it switches
    // on), the bit rate then a ceiling; 0: constant rate.
    int32_t vbrLevel = 0;
    // Spectral band replication (HE-AAC): the source's rate is the output rate (32000, 44100
    // or 48000 Hz), the AAC core codes the input downsampled by two up to the crossover, and
    // each frame carries the replication data of the band above. One or two channels.
    bool spectralBandReplication = false;
};

// With spectral band replication, by how many samples a decoder's output lags the input, at
// the output rate: the core's two frames (twice 2048 samples), the downsampler's delay, the
// delay of a decoder's two filterbanks (962 samples, measured with ffmpeg, faad and
// gstreamer) and a lead-in of silence that makes the sum three whole frames, so that a
// decoder that drops the delay returns the input rounded up to whole frames.
inline constexpr uint32_t kSbrDecoderFilterbankDelay = 962;
inline constexpr uint32_t kSbrLeadIn = 1024;
inline constexpr uint32_t kSbrEncoderDelaySamples =
    2 * kEncoderDelaySamples + kDownsamplerDelay + kSbrDecoderFilterbankDelay + kSbrLeadIn;
static_assert(kSbrEncoderDelaySamples == 3 * kSbrFrameLength);
static_assert(kSbrEncoderDelaySamples % 2 == 0, "a whole number of core samples");
// At this total rate per channel and below, an HE-AAC core codes in the perceptual mode (the
// option bit is set at open; noise substitution only when asked): at such rates its allocation
// grades better on speech than the default mode's, and as well on music.
inline constexpr int32_t kSbrPerceptualCoreRate = 24000;
// Silent frames after the input that carry its last samples through that delay.
inline constexpr int kSbrFlushFrames = (kSbrEncoderDelaySamples + kSbrFrameLength - 1) / kSbrFrameLength;

// The encoder's switches by name.
enum class EncoderOption { Tns, NoiseSubstitution, MidSide, Perceptual };

enum class FrameStatus {
    Written,     // one raw data block is in block()
    EndOfInput,  // the input is exhausted; nothing was written
    ReadError,   // the input could not be read; nothing was written
    Oversized,   // the block came out larger than a frame may be: an encoder fault
};

// Optional per-stage timing of encodeFrame, in seconds, for benchmarks.
struct StageTimes {
    // The clock the stages are measured with, in seconds: a benchmark passes its thread's CPU
    // clock, so that a busy machine does not inflate the stages. Null: steady wall time.
    double (*clock)() = nullptr;
    double input = 0;     // reading and de-interleaving
    double analysis = 0;  // block switching, the perceptual mode's model, window shapes and filterbank
    double tools = 0;     // bandwidth, noise substitution, mid/side, temporal noise shaping
    double search = 0;    // bit allocation, quantisation and sectioning
    double writing = 0;   // syntax writer
};

// One element of the raw data block (a single channel, a channel pair or the low-frequency
// channel) and everything it carries from frame to frame: each element codes its channels as a
// mono or stereo stream of its own would, at its rate per channel. The elements of one stream
// share their reservoirs (shareReservoirs).
struct ElementCoder {
    ElementKind kind = ElementKind::Single;
    int32_t channels = 1;                   // 1 or 2
    int32_t inputChannel[kMaxChannels]{};   // the frame's interleaved channels it codes
    int32_t bitRatePerChannel = 0;
    int32_t lastBlockBits = 0;  // what the element took of the last raw data block
    std::vector<ChannelBuffer> channelBuffers;
    std::vector<IcsInfo> icsInfo;
    std::vector<TransientDetector> detectors;
    std::vector<ChannelCoding> channelCoding;
    ElementInfo elementInfo{};
    FrameState frame{};                // reservoir, channel share, option bits
    MaskingState maskingState[kMaxChannels];  // the perceptual mode's memory between frames
    PerceptualState perceptual;
    std::unique_ptr<PerceptualFrame> perceptualFrame;  // the perceptual mode's records within a frame
};

// The bits the elements' reservoirs hold, shared out again before each frame: each element
// gets a part in proportion to the bits its last block took, what it needs, up to its own
// capacity (6144 bits a channel, the decoder's buffer for its channels), the rest going to the
// others. So bits one element leaves unspent (the LFE, a silent pair) serve the others, and the
// sum the decoder's buffers hold is what it was. One element keeps its reservoir as it is.
void shareReservoirs(std::span<ElementCoder> elements);

// An element's spectral band replication: its encoder, the frame's replication data, the
// running mean of its fill element's bits per frame and the element's rate per channel before
// they are taken out.
struct ElementReplication {
    std::unique_ptr<SbrElementEncoder> encoder;
    std::vector<uint8_t> payload = std::vector<uint8_t>(kMaxSbrPayloadBits / 8 + 16);
    int payloadBits = 0;
    double meanBits = 0;
    int32_t fullRate = 0;
};

struct AacEncoder {
    AacEncoder();
    ~AacEncoder();
    AacEncoder(const AacEncoder&) = delete;
    AacEncoder& operator=(const AacEncoder&) = delete;

    // Encodes exactly one frame; when Written, block() holds the raw data block.
    FrameStatus encodeFrame();
    // The last raw data block written, whole bytes (at most kMaxBlockBytes).
    std::span<const uint8_t> block() const;
    // The AudioSpecificConfig written when the encoder was opened.
    std::span<const uint8_t> audioSpecificConfig() const { return {config, static_cast<size_t>(configBytes)}; }

    // id kOptionBitsId sets the option bits (kOptionTns, kOptionPns, kOptionPerceptual,
    // kOptionMidSide) from the next frame on and returns 0; other ids return -1.
    int setOption(int id, int value);
    // Switches one option on or off from the next frame on, the others as they are.
    void setOption(EncoderOption option, bool on);
    bool hasOption(EncoderOption option) const;
    // Quality-targeted variable rate at `level` (1 .. kMaxVbrLevel, switching the perceptual
    // mode on) or a constant rate (0), from the next frame on; false for any other level.
    bool setVbrLevel(int32_t level);
    int32_t vbrLevel() const { return vbr; }
    // The total bit rate in use, after the cap.
    int32_t totalBitRate() const { return bitRate; }
    // Samples per channel each frame reads and each block stands for, at the output rate.
    int32_t frameLength() const { return sbr.empty() ? kFrameLength : kSbrFrameLength; }
    // By how many samples per channel a decoder's output lags the input, at the output rate.
    uint32_t delay() const { return sbr.empty() ? kEncoderDelaySamples : kSbrEncoderDelaySamples; }
    // Silent frames after the input that bring its last sample out of a decoder.
    int flushFrames() const { return sbr.empty() ? kFlushFrames : kSbrFlushFrames; }
    // The rate of the decoded output: the core's, or twice it with replication.
    int32_t outputSampleRate() const { return sbr.empty() ? sampleRate : 2 * sampleRate; }
    // The option bits in use.
    int32_t options() const { return optionBits; }
    // Closes the frame source and releases the bit writer.
    void closeEncoder();
    // Sets the option bits of every element from the next frame on.
    void setOptionBits(int32_t options);
    int encodeElement(ElementCoder& element, const FrameView& view, bool last);
    // With replication: splits the frame into the core's half-rate frame and each element's
    // replication data; the core's view of the frame.
    FrameView replicate(const FrameView& view);

    std::unique_ptr<FrameSource> inputStream;
    std::unique_ptr<BitWriter> bitWriter;  // writes into blockBuffer
    std::vector<uint8_t> blockBuffer;
    int blockBits = 0;
    uint8_t config[kMaxAudioSpecificConfigBytes] = {};
    int configBytes = 0;
    std::vector<ElementCoder> elements;  // in the order the raw data block carries them
    int32_t sampleRate = 0;
    int32_t bitRate = 0;       // total, after the cap
    int32_t channels = 0;
    int32_t sampleRateIndex = 0;
    int32_t optionBits = 0;
    int32_t vbr = 0;
    StageTimes* stageTimes = nullptr;  // filled when set

    // Spectral band replication (none without it): one per element, the channels'
    // downsamplers, the core's frame.
    std::vector<ElementReplication> sbr;
    std::vector<Downsampler> downsamplers;
    std::vector<double> coreFrame;
    std::vector<double> channelInput;  // per channel: kSbrLeadIn samples held back, then the frame
    int64_t frames = 0;  // frames encoded
};

enum class OpenStatus {
    Ok,
    InvalidSampleRate,   // not one of the 12 AAC sampling rates
    InvalidChannels,     // 1 to 6 or 8 channels are encoded
    InvalidArgument,     // no stream, no bit writer or no output buffer
};

// Creates the encoder over the frame source (taken over) with the config's rate, capped, and
// options, initialises the per-channel records and writes the AudioSpecificConfig: 2 bytes, or
// 5 at 24000 Hz and below, where it also states that no SBR data follows; with replication 7,
// stating the core's rate, that SBR data follows at the output rate, and that no parametric
// stereo does.
// On failure `out` stays null and the stream is released.
OpenStatus openEncoder(const EncoderConfig& config, std::unique_ptr<FrameSource> inputStream,
                       std::unique_ptr<AacEncoder>* out);

// Position of `sampleRate` in sampleRateTable, or -1.
int findSampleRateIndex(int32_t sampleRate);

// Record initialisation (the encoder's open calls these).
void initChannelBuffer(ChannelBuffer& buffer);
void initIcsInfo(IcsInfo& ics);
void initChannelCoding(ChannelCoding& coding);
// A full reservoir, an even share of the bits (all of them for mono), no options.
void initFrameState(FrameState& frame, int channels);

}  // namespace varnel
