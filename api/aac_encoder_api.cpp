// The C interface of the encoder (include/varnel/aac_encoder.h) over the encoder object: each
// encode call hands one frame to an in-memory frame source, runs one encodeFrame, which reads
// that frame, and copies the block out of the encoder's own buffer, so that a caller's buffer is
// never written past its size. Every check happens before the frame is handed over: a refused
// call leaves the encoder as it was. No exception leaves this file.
#include "varnel/aac_encoder.h"

#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <span>

#include "encoder/aac_encoder.h"
#include "records/band_tables.h"
#include "encoder/memory_frame_source.h"

#ifndef VARNEL_AAC_VERSION
#define VARNEL_AAC_VERSION "unknown"
#endif

namespace {

using namespace varnel;

static_assert(VARNEL_AAC_FRAME_LENGTH == kFrameLength);
static_assert(VARNEL_AAC_MAX_ACCESS_UNIT_BYTES == kMaxBlockBytes);

constexpr int kAccessUnitBytesPerChannel = kMaxBitsPerChannel / 8;
static_assert(VARNEL_AAC_DELAY == kEncoderDelaySamples);
static_assert(VARNEL_AAC_MAX_CONFIG_BYTES == kMaxAudioSpecificConfigBytes);

bool isSwitch(int value) { return value == 0 || value == 1; }

// The encoder's option of a public option id. The id comes from the caller as any int: it is
// compared as an int, never held in a VarnelAacOption (an enum object holding a value the
// header does not name is undefined behaviour in C++).
std::optional<EncoderOption> encoderOption(int id) {
    switch (id) {
    case VARNEL_AAC_OPTION_TNS: return EncoderOption::Tns;
    case VARNEL_AAC_OPTION_NOISE_SUBSTITUTION: return EncoderOption::NoiseSubstitution;
    case VARNEL_AAC_OPTION_MID_SIDE: return EncoderOption::MidSide;
    case VARNEL_AAC_OPTION_PERCEPTUAL: return EncoderOption::Perceptual;
    default: return std::nullopt;
    }
}

}  // namespace

struct VarnelAacEncoder {
    std::unique_ptr<AacEncoder> core;     // null once closed
    MemoryFrameSource* source = nullptr;  // owned by core
    int32_t sampleRate = 0;
    int channels = 0;
    int32_t bitRate = 0;
    bool inputSeen = false;   // at least one frame was encoded
    bool inputEnded = false;  // a short frame or a flush ended the input
    int flushFramesLeft = kFlushFrames;
    int frameLength = kFrameLength;  // samples per channel in a frame (2048 for HE-AAC)
};

namespace {

// The checks every call on an encoder makes first.
int checkOpen(const VarnelAacEncoder* enc) {
    if (enc == nullptr) return VARNEL_AAC_ERR_NULL;
    if (!enc->core) return VARNEL_AAC_ERR_CLOSED;
    return VARNEL_AAC_OK;
}

int checkOutput(const VarnelAacEncoder* enc, const unsigned char* out, int outSize) {
    if (out == nullptr) return VARNEL_AAC_ERR_NULL;
    if (outSize < kAccessUnitBytesPerChannel * enc->channels) return VARNEL_AAC_ERR_BUFFER_TOO_SMALL;
    return VARNEL_AAC_OK;
}

// Runs one encodeFrame on the queued frame and copies the block to `out`.
int encodeQueued(VarnelAacEncoder* enc, unsigned char* out) {
    AacEncoder& core = *enc->core;
    if (core.encodeFrame() != FrameStatus::Written) return VARNEL_AAC_ERR_INTERNAL;
    const std::span<const uint8_t> block = core.block();
    std::memcpy(out, block.data(), block.size());
    return static_cast<int>(block.size());
}

template <typename Sample>
int encodePcm(VarnelAacEncoder* enc, const Sample* pcm, int frameSize, unsigned char* out, int outSize) {
    if (const int r = checkOpen(enc); r != VARNEL_AAC_OK) return r;
    if (pcm == nullptr) return VARNEL_AAC_ERR_NULL;
    if (const int r = checkOutput(enc, out, outSize); r != VARNEL_AAC_OK) return r;
    if (enc->inputEnded) return VARNEL_AAC_ERR_ENDED;
    if (frameSize < 1 || frameSize > enc->frameLength) return VARNEL_AAC_ERR_FRAME_SIZE;
    if (!enc->source->putFrame(pcm, frameSize)) return VARNEL_AAC_ERR_INTERNAL;
    enc->inputSeen = true;
    if (frameSize < enc->frameLength) enc->inputEnded = true;
    return encodeQueued(enc, out);
}

}  // namespace

extern "C" {

const char* varnel_aac_version(void) { return VARNEL_AAC_VERSION; }

const char* varnel_aac_strerror(int error) {
    switch (error) {
    case VARNEL_AAC_OK: return "success";
    case VARNEL_AAC_ERR_NULL: return "a required pointer is null";
    case VARNEL_AAC_ERR_SAMPLE_RATE: return "the sampling rate is not one of the twelve AAC rates (8000 to 96000 Hz)";
    case VARNEL_AAC_ERR_CHANNELS: return "only 1 to 6 or 8 channels can be encoded";
    case VARNEL_AAC_ERR_BIT_RATE: return "the bit rate must be positive";
    case VARNEL_AAC_ERR_CLOSED: return "the encoder is closed";
    case VARNEL_AAC_ERR_FRAME_SIZE:
        return "a frame holds 1024 samples per channel, 2048 for HE-AAC (only the last may hold fewer)";
    case VARNEL_AAC_ERR_BUFFER_TOO_SMALL: return "the output buffer needs 768 bytes per channel";
    case VARNEL_AAC_ERR_OPTION: return "unknown option, or a value the option does not take";
    case VARNEL_AAC_ERR_ENDED: return "the input has ended: only flush and close remain";
    case VARNEL_AAC_ERR_NO_MEMORY: return "out of memory";
    case VARNEL_AAC_ERR_INTERNAL: return "internal encoder error";
    default: return "unknown error code";
    }
}

}  // extern "C"

namespace {

// The encoder of varnel_aac_encoder_open (AAC-LC) or varnel_aac_encoder_open_he (HE-AAC).
VarnelAacEncoder* openWith(int32_t sample_rate, int channels, int32_t bit_rate, int* error, bool he) {
    int dummy = 0;
    int& result = error ? *error : dummy;
    const int index = findSampleRateIndex(sample_rate);
    if (index < 0 || (he && !sbrOutputRateSupported(sample_rate))) {
        result = VARNEL_AAC_ERR_SAMPLE_RATE;
        return nullptr;
    }
    if (!channelLayoutFor(channels) || (he && channels > 2)) {
        result = VARNEL_AAC_ERR_CHANNELS;
        return nullptr;
    }
    if (bit_rate <= 0) {
        result = VARNEL_AAC_ERR_BIT_RATE;
        return nullptr;
    }
    try {
        auto enc = std::make_unique<VarnelAacEncoder>();
        // HE-AAC's frames are those of its core, at half the rate.
        enc->bitRate = usableTotalBitRate(bit_rate, he ? sample_rate / 2 : sample_rate, channels);
        enc->sampleRate = sample_rate;
        enc->channels = channels;
        enc->frameLength = he ? kSbrFrameLength : kFrameLength;
        enc->flushFramesLeft = he ? kSbrFlushFrames : kFlushFrames;
        auto source = std::make_unique<MemoryFrameSource>(sample_rate, channels, enc->frameLength);
        enc->source = source.get();
        EncoderConfig config;
        config.totalBitRate = enc->bitRate;
        config.options = kDefaultOptions;
        config.spectralBandReplication = he;
        if (openEncoder(config, std::move(source), &enc->core) != OpenStatus::Ok) {
            result = VARNEL_AAC_ERR_INTERNAL;
            return nullptr;
        }
        result = VARNEL_AAC_OK;
        return enc.release();
    } catch (const std::bad_alloc&) {
        result = VARNEL_AAC_ERR_NO_MEMORY;
    } catch (...) {
        result = VARNEL_AAC_ERR_INTERNAL;
    }
    return nullptr;
}

}  // namespace

extern "C" {

VarnelAacEncoder* varnel_aac_encoder_open(int32_t sample_rate, int channels, int32_t bit_rate, int* error) {
    return openWith(sample_rate, channels, bit_rate, error, false);
}

VarnelAacEncoder* varnel_aac_encoder_open_he(int32_t sample_rate, int channels, int32_t bit_rate, int* error) {
    return openWith(sample_rate, channels, bit_rate, error, true);
}

int varnel_aac_encoder_set_option(VarnelAacEncoder* enc, int option, int value) {
    if (const int r = checkOpen(enc); r != VARNEL_AAC_OK) return r;
    if (option == VARNEL_AAC_OPTION_VBR) {
        // HE-AAC codes a constant rate.
        if (enc->frameLength != kFrameLength && value != 0) return VARNEL_AAC_ERR_OPTION;
        return enc->core->setVbrLevel(value) ? VARNEL_AAC_OK : VARNEL_AAC_ERR_OPTION;
    }
    if (!isSwitch(value)) return VARNEL_AAC_ERR_OPTION;
    const std::optional<EncoderOption> named = encoderOption(option);
    if (!named) return VARNEL_AAC_ERR_OPTION;
    enc->core->setOption(*named, value != 0);
    return VARNEL_AAC_OK;
}

int varnel_aac_encoder_get_option(const VarnelAacEncoder* enc, int option) {
    if (const int r = checkOpen(enc); r != VARNEL_AAC_OK) return r;
    if (option == VARNEL_AAC_OPTION_VBR) return enc->core->vbrLevel();
    const std::optional<EncoderOption> named = encoderOption(option);
    if (!named) return VARNEL_AAC_ERR_OPTION;
    return enc->core->hasOption(*named) ? 1 : 0;
}

int varnel_aac_encoder_get_config(const VarnelAacEncoder* enc, unsigned char* config, int size) {
    if (const int r = checkOpen(enc); r != VARNEL_AAC_OK) return r;
    if (config == nullptr) return VARNEL_AAC_ERR_NULL;
    const std::span<const uint8_t> asc = enc->core->audioSpecificConfig();
    if (size < static_cast<int>(asc.size())) return VARNEL_AAC_ERR_BUFFER_TOO_SMALL;
    std::memcpy(config, asc.data(), asc.size());
    return static_cast<int>(asc.size());
}

int varnel_aac_encoder_get_delay(const VarnelAacEncoder* enc) {
    if (const int r = checkOpen(enc); r != VARNEL_AAC_OK) return r;
    return static_cast<int>(enc->core->delay());
}

int varnel_aac_encoder_get_frame_length(const VarnelAacEncoder* enc) {
    if (const int r = checkOpen(enc); r != VARNEL_AAC_OK) return r;
    return enc->frameLength;
}

int32_t varnel_aac_encoder_get_bit_rate(const VarnelAacEncoder* enc) {
    if (const int r = checkOpen(enc); r != VARNEL_AAC_OK) return r;
    return enc->bitRate;
}

int32_t varnel_aac_encoder_get_sample_rate(const VarnelAacEncoder* enc) {
    if (const int r = checkOpen(enc); r != VARNEL_AAC_OK) return r;
    return enc->sampleRate;
}

int varnel_aac_encoder_get_channels(const VarnelAacEncoder* enc) {
    if (const int r = checkOpen(enc); r != VARNEL_AAC_OK) return r;
    return enc->channels;
}

int varnel_aac_encoder_get_channel_configuration(const VarnelAacEncoder* enc) {
    if (const int r = checkOpen(enc); r != VARNEL_AAC_OK) return r;
    return channelLayoutFor(enc->channels)->configuration;
}

int varnel_aac_encode_int16(VarnelAacEncoder* enc, const int16_t* pcm, int frame_size, unsigned char* out,
                            int out_size) {
    return encodePcm(enc, pcm, frame_size, out, out_size);
}

int varnel_aac_encode_float(VarnelAacEncoder* enc, const float* pcm, int frame_size, unsigned char* out,
                            int out_size) {
    return encodePcm(enc, pcm, frame_size, out, out_size);
}

int varnel_aac_encoder_flush(VarnelAacEncoder* enc, unsigned char* out, int out_size) {
    if (const int r = checkOpen(enc); r != VARNEL_AAC_OK) return r;
    if (const int r = checkOutput(enc, out, out_size); r != VARNEL_AAC_OK) return r;
    enc->inputEnded = true;
    if (!enc->inputSeen || enc->flushFramesLeft == 0) return 0;
    if (!enc->source->putSilence()) return VARNEL_AAC_ERR_INTERNAL;
    --enc->flushFramesLeft;
    return encodeQueued(enc, out);
}

int varnel_aac_encoder_close(VarnelAacEncoder* enc) {
    if (const int r = checkOpen(enc); r != VARNEL_AAC_OK) return r;
    enc->core->closeEncoder();
    enc->core.reset();
    enc->source = nullptr;
    return VARNEL_AAC_OK;
}

void varnel_aac_encoder_destroy(VarnelAacEncoder* enc) {
    if (enc == nullptr) return;
    if (enc->core) varnel_aac_encoder_close(enc);
    delete enc;
}

}  // extern "C"
