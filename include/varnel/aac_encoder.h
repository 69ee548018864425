/* VarnelAac: an MPEG-4 AAC Low Complexity encoder library.
 *
 * The encoder takes frames of 1024 interleaved PCM samples per channel (1 to 6 or 8 channels,
 * at one of the twelve AAC sampling rates) and returns one access unit per frame: a raw AAC data block
 * without any container or ADTS header, coded at a constant total bit rate with a bit
 * reservoir. The caller wraps the access units in its own container, using
 * varnel_aac_encoder_get_config() for the decoder configuration (AudioSpecificConfig).
 *
 *   int err;
 *   VarnelAacEncoder *enc = varnel_aac_encoder_open(44100, 2, 128000, &err);
 *   unsigned char au[VARNEL_AAC_MAX_ACCESS_UNIT_BYTES];
 *   while (have_input) {               (pcm: 1024 samples per channel, interleaved)
 *       int n = varnel_aac_encode_int16(enc, pcm, 1024, au, sizeof au);
 *       if (n < 0) fail(varnel_aac_strerror(n)); else write_access_unit(au, n);
 *   }
 *   while ((n = varnel_aac_encoder_flush(enc, au, sizeof au)) > 0) write_access_unit(au, n);
 *   varnel_aac_encoder_destroy(enc);
 *
 * Timing: a decoder's output lags the input by varnel_aac_encoder_get_delay() samples (2048).
 * The first access unit decodes to silence; a container should state that delay as the start
 * of its edit list (or an MP4 edit list's media_time) and the number of input samples per
 * channel as the presented duration. The last input samples leave the encoder only through
 * varnel_aac_encoder_flush().
 *
 * Every function that can fail returns a negative VARNEL_AAC_ERR_* code: for a null pointer,
 * a closed encoder, a sample count other than the frame length (or a short last frame), or an
 * output buffer smaller than the largest access unit. A refused call changes nothing (only
 * VARNEL_AAC_ERR_NO_MEMORY and VARNEL_AAC_ERR_INTERNAL report a failure after the fact).
 *
 * Threads: encoders are independent of each other; several may be used at once from several
 * threads. One encoder must not be used by two threads at the same time.
 *
 * Plain C (C99 and later) and C++. */
#ifndef VARNEL_AAC_ENCODER_H
#define VARNEL_AAC_ENCODER_H

#include <stdint.h>

#if defined(__GNUC__) || defined(__clang__)
#define VARNEL_AAC_API __attribute__((visibility("default")))
#else
#define VARNEL_AAC_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Samples per channel in one frame, and the encoder's delay in samples per channel. */
#define VARNEL_AAC_FRAME_LENGTH 1024
#define VARNEL_AAC_DELAY 2048
/* The largest access unit: 6144 bits (768 bytes) per channel, the decoder's input buffer. An
 * output buffer for varnel_aac_encode_int16(), varnel_aac_encode_float() or
 * varnel_aac_encoder_flush() must hold at least 768 bytes per channel; this size serves every
 * channel count. */
#define VARNEL_AAC_MAX_ACCESS_UNIT_BYTES 6144
/* The largest AudioSpecificConfig: 2 bytes, or 5 at 24000 Hz and below, where it also states
 * that no SBR data follows; 7 for HE-AAC (the core's rate, then the output rate of the SBR data
 * and that no parametric stereo follows). */
#define VARNEL_AAC_MAX_CONFIG_BYTES 7

/* Results: 0 or a byte count for success, one of these for a refusal. */
#define VARNEL_AAC_OK 0
#define VARNEL_AAC_ERR_NULL (-1)             /* a required pointer is null */
#define VARNEL_AAC_ERR_SAMPLE_RATE (-2)      /* not one of the twelve AAC sampling rates */
#define VARNEL_AAC_ERR_CHANNELS (-3)         /* not 1 to 6 or 8 channels */
#define VARNEL_AAC_ERR_BIT_RATE (-4)         /* bit rate not positive */
#define VARNEL_AAC_ERR_CLOSED (-5)           /* the encoder was closed */
#define VARNEL_AAC_ERR_FRAME_SIZE (-6)       /* samples per channel not 1..1024 */
#define VARNEL_AAC_ERR_BUFFER_TOO_SMALL (-7) /* output buffer below the largest result */
#define VARNEL_AAC_ERR_OPTION (-8)           /* unknown option, or a value it does not take */
#define VARNEL_AAC_ERR_ENDED (-9)            /* input ended (short frame or flush): only flush follows */
#define VARNEL_AAC_ERR_NO_MEMORY (-10)       /* allocation failed */
#define VARNEL_AAC_ERR_INTERNAL (-11)        /* the encoder broke one of its own limits */

/* Coding tools that can be switched, each on (1) or off (0). */
typedef enum VarnelAacOption {
    VARNEL_AAC_OPTION_TNS = 1,                /* temporal noise shaping; default on */
    VARNEL_AAC_OPTION_NOISE_SUBSTITUTION = 2, /* perceptual noise substitution; default off */
    VARNEL_AAC_OPTION_MID_SIDE = 3,           /* mid/side stereo for a channel pair; default on */
    VARNEL_AAC_OPTION_PERCEPTUAL = 4,         /* rate control from a psychoacoustic model, with
                                                 window shapes, bandwidth, noise bands (when noise
                                                 substitution is on) and mid/side per band chosen
                                                 from it; default off */
    VARNEL_AAC_OPTION_VBR = 5                 /* quality-targeted variable rate: a level from 1
                                                 (smallest) to 5 (best), or 0 for a constant
                                                 rate (default). A level switches the perceptual
                                                 mode on; the bit rate given to open is then a
                                                 ceiling (open with the largest rate for none).
                                                 Levels 1 to 5 give about 32, 48, 64, 96 and 128
                                                 kbit/s per channel on music. */
} VarnelAacOption;

typedef struct VarnelAacEncoder VarnelAacEncoder;

/* The library's version, such as "0.1". */
VARNEL_AAC_API const char *varnel_aac_version(void);

/* A short English description of a result code; never null. */
VARNEL_AAC_API const char *varnel_aac_strerror(int error);

/* Creates an encoder for `channels` channels at `sample_rate` Hz, coding
 * `bit_rate` bit/s for the whole stream. A bit rate above what a frame can carry (6 bit/s per
 * Hz and channel) is lowered to that; varnel_aac_encoder_get_bit_rate() tells the rate in use.
 * Returns null on failure, with the reason in *error when `error` is not null (VARNEL_AAC_OK
 * on success).
 *
 * Channels: 1 (mono), 2 (L R), or the layouts of channel configurations 3 to 7, interleaved in
 * this order: 3 = L R C, 4 = L R C Cs (back centre), 5 = L R C Ls Rs, 6 = L R C LFE Ls Rs (5.1),
 * 8 = L R C LFE Lb Rb Ls Rs (7.1: back pair, then side pair). The low-frequency channel (LFE)
 * codes up to 250 Hz in long blocks, at up to 16 kbit/s taken from the total; the other
 * channels share the rest evenly. varnel_aac_encoder_get_channel_configuration() gives the
 * configuration the AudioSpecificConfig states. */
VARNEL_AAC_API VarnelAacEncoder *varnel_aac_encoder_open(int32_t sample_rate, int channels, int32_t bit_rate,
                                                         int *error);
/* Creates an HE-AAC encoder (spectral band replication): `sample_rate` is the output rate,
 * 32000, 44100 or 48000 Hz, and the AAC core codes the input downsampled by two; 1 or 2
 * channels. Frames hold 2048 samples per channel, a decoder's output lags the input by 6144,
 * and three access units carry the last samples out at the flush. The AudioSpecificConfig (7
 * bytes) states the core's rate and the SBR output rate; VARNEL_AAC_OPTION_VBR is refused. A
 * rate or channel count it cannot code gives VARNEL_AAC_ERR_SAMPLE_RATE or
 * VARNEL_AAC_ERR_CHANNELS. */
VARNEL_AAC_API VarnelAacEncoder *varnel_aac_encoder_open_he(int32_t sample_rate, int channels, int32_t bit_rate,
                                                            int *error);

/* Switches a coding tool on (value 1) or off (value 0), or sets the VBR level (0 to 5), from
 * the next frame on. `option` is one of the VarnelAacOption ids; any other int, or a value the
 * option does not take, is refused with VARNEL_AAC_ERR_OPTION. */
VARNEL_AAC_API int varnel_aac_encoder_set_option(VarnelAacEncoder *enc, int option, int value);
/* The state of a coding tool: 1 or 0 (the VBR level for VARNEL_AAC_OPTION_VBR), or a negative
 * error (VARNEL_AAC_ERR_OPTION for an int that is not a VarnelAacOption id). */
VARNEL_AAC_API int varnel_aac_encoder_get_option(const VarnelAacEncoder *enc, int option);

/* Copies the AudioSpecificConfig into `config` (`size` bytes of room) and returns its length
 * in bytes (2 or 5; 7 for HE-AAC). */
VARNEL_AAC_API int varnel_aac_encoder_get_config(const VarnelAacEncoder *enc, unsigned char *config, int size);
/* Samples per channel by which a decoder's output lags the input: 2048 (6144 for HE-AAC). */
VARNEL_AAC_API int varnel_aac_encoder_get_delay(const VarnelAacEncoder *enc);
/* Samples per channel in one frame: 1024 (2048 for HE-AAC). */
VARNEL_AAC_API int varnel_aac_encoder_get_frame_length(const VarnelAacEncoder *enc);
/* The total bit rate in use, in bit/s. */
VARNEL_AAC_API int32_t varnel_aac_encoder_get_bit_rate(const VarnelAacEncoder *enc);
/* Sampling rate in Hz and channel count, as opened. */
VARNEL_AAC_API int32_t varnel_aac_encoder_get_sample_rate(const VarnelAacEncoder *enc);
VARNEL_AAC_API int varnel_aac_encoder_get_channels(const VarnelAacEncoder *enc);
/* The channel configuration the AudioSpecificConfig states: 1 to 7. */
VARNEL_AAC_API int varnel_aac_encoder_get_channel_configuration(const VarnelAacEncoder *enc);

/* Encodes one frame of `frame_size` samples per channel, interleaved (left, right, left, ...
 * for stereo; the orders above for more channels), and writes one access unit into `out`
 * (`out_size` bytes of room, at least 768 per channel). Returns the access unit's length in
 * bytes.
 *
 * `frame_size` is 1024 (2048 for HE-AAC). Only the last frame of the input may be shorter; it is
 * completed with silence, and after it only varnel_aac_encoder_flush() is accepted.
 *
 * 16-bit samples are taken as they are; float samples have full scale at +-1.0 and are clipped
 * to the 16-bit range (NaN counts as 0). */
VARNEL_AAC_API int varnel_aac_encode_int16(VarnelAacEncoder *enc, const int16_t *pcm, int frame_size,
                                           unsigned char *out, int out_size);
VARNEL_AAC_API int varnel_aac_encode_float(VarnelAacEncoder *enc, const float *pcm, int frame_size,
                                           unsigned char *out, int out_size);

/* Ends the input and returns the next of the access units that carry its last samples out of
 * the encoder (two frames coded from silence), or 0 once all are out. Call it until it returns
 * 0. An encoder that was given no input has nothing to flush. */
VARNEL_AAC_API int varnel_aac_encoder_flush(VarnelAacEncoder *enc, unsigned char *out, int out_size);

/* Closes the encoder and releases its working memory. Every later call on it, close included,
 * returns VARNEL_AAC_ERR_CLOSED; only varnel_aac_encoder_destroy() remains. */
VARNEL_AAC_API int varnel_aac_encoder_close(VarnelAacEncoder *enc);

/* Frees the encoder, closing it first if it is open. A null pointer is ignored. */
VARNEL_AAC_API void varnel_aac_encoder_destroy(VarnelAacEncoder *enc);

#ifdef __cplusplus
}
#endif

#endif /* VARNEL_AAC_ENCODER_H */
