#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/.

The seeds are small, and each one opens a different path through the reader or the encoder,
so that the fuzzer starts from inputs that already get past the header checks. Run it again
after changing a seed; the files are committed, so the fuzzer and the replay need no Python.
The corpus files named by a hash are inputs the fuzzer found that reach code the seeds do not;
they were added with the target's -merge=1 into the corpus folder (for fuzz_api only the inputs
that were first to reach a coverage edge in such a merge, which keeps its corpus small).
"""
import math
import os
import random
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
EXTENSIBLE_TAIL = bytes([0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71])


def chunk(cid, payload, size=None):
    out = cid + struct.pack('<I', len(payload) if size is None else size) + payload
    return out + (b'\0' if len(payload) % 2 else b'')


def riff(*chunks, size=None):
    body = b'WAVE' + b''.join(chunks)
    return b'RIFF' + struct.pack('<I', len(body) if size is None else size) + body


def fmt(tag, channels, rate, bits, block=None):
    block = channels * ((bits + 7) // 8) if block is None else block
    return chunk(b'fmt ', struct.pack('<HHIIHH', tag, channels, rate, rate * block, block, bits))


def fmt_extensible(sub, channels, rate, bits, valid, mask=0):
    block = channels * bits // 8
    payload = struct.pack('<HHIIHHHHIH', 0xFFFE, channels, rate, rate * block, block, bits, 22, valid, mask, sub)
    return chunk(b'fmt ', payload + EXTENSIBLE_TAIL)


def tone(n, channels, scale=0.5):
    return [scale * math.sin(2 * math.pi * (440 + 110 * c) * i / 44100) for i in range(n) for c in range(channels)]


def pcm(values, bits):
    out = bytearray()
    for v in values:
        if bits == 8:
            out += struct.pack('<B', max(0, min(255, int(128 + v * 127))))
        elif bits == 16:
            out += struct.pack('<h', int(v * 32767))
        elif bits == 24:
            out += struct.pack('<i', int(v * 8388607))[:3]
        else:
            out += struct.pack('<i', int(v * 2147483647))
    return bytes(out)


def floats(values, fmt_char):
    return b''.join(struct.pack('<' + fmt_char, v) for v in values)


def wav_seeds():
    mono = tone(300, 1)
    stereo = tone(400, 2)
    info = chunk(b'LIST', b'INFO' + chunk(b'INAM', b'seed\0') + chunk(b'ISFT', b'make_seeds\0'))
    return {
        'mono16.wav': riff(fmt(1, 1, 44100, 16), chunk(b'data', pcm(mono, 16))),
        'stereo16.wav': riff(fmt(1, 2, 48000, 16), chunk(b'data', pcm(stereo, 16))),
        'mono16_two_frames.wav': riff(fmt(1, 1, 8000, 16), chunk(b'data', pcm(tone(1100, 1), 16))),
        'pcm8.wav': riff(fmt(1, 1, 22050, 8), chunk(b'data', pcm(mono, 8))),
        'pcm24.wav': riff(fmt(1, 2, 96000, 24), chunk(b'data', pcm(tone(200, 2), 24))),
        'pcm32.wav': riff(fmt(1, 1, 32000, 32), chunk(b'data', pcm(mono, 32))),
        'pcm20_in_24.wav': riff(fmt(1, 1, 44100, 20, block=3), chunk(b'data', pcm(mono, 24))),
        'float32.wav': riff(fmt(3, 1, 44100, 32), chunk(b'data', floats(tone(300, 1, 1.5), 'f'))),
        'float64.wav': riff(fmt(3, 2, 44100, 64), chunk(b'data', floats(tone(150, 2), 'd'))),
        'extensible16.wav': riff(fmt_extensible(1, 2, 44100, 16, 16, 3), chunk(b'data', pcm(stereo, 16))),
        'extensible24_valid20.wav': riff(fmt_extensible(1, 1, 48000, 24, 20), chunk(b'data', pcm(mono, 24))),
        'extensible_float.wav': riff(fmt_extensible(3, 1, 16000, 32, 32), chunk(b'data', floats(mono, 'f'))),
        'list_chunks.wav': riff(info, fmt(1, 1, 44100, 16), chunk(b'fact', struct.pack('<I', 300)),
                                chunk(b'odd!', b'abc'), chunk(b'data', pcm(mono, 16)), info),
        'data_size_streaming.wav': riff(fmt(1, 1, 44100, 16), chunk(b'data', pcm(mono, 16), size=0xFFFFFFFF),
                                        size=0xFFFFFFFF),
        'data_size_zero.wav': riff(fmt(1, 2, 44100, 16), chunk(b'data', pcm(stereo, 16), size=0)),
        'data_odd_size.wav': riff(fmt(1, 1, 44100, 16), chunk(b'data', pcm(mono, 16) + b'\x7f')),
        'truncated_data.wav': riff(fmt(1, 2, 44100, 16), chunk(b'data', pcm(stereo, 16)))[:700],
        'truncated_fmt.wav': riff(fmt(1, 1, 44100, 16))[:30],
        'riff_header_only.wav': riff(),
        'fmt_short.wav': riff(chunk(b'fmt ', struct.pack('<HHI', 1, 1, 44100)), chunk(b'data', pcm(mono[:20], 16))),
        'huge_junk_chunk.wav': riff(chunk(b'JUNK', b'\0' * 8, size=0xFFFFFFFE), fmt(1, 1, 44100, 16),
                                    chunk(b'data', pcm(mono, 16))),
    }


FLOAT_SAMPLES = 8  # option bit: the samples are 32-bit floats
PERCEPTUAL = 16  # option bit: the perceptual mode


def encoder_seed(rate_index, channels, bit_rate, options, values):
    header = struct.pack('<BBIB', rate_index, channels - 1, bit_rate, options)
    return header + (floats(values, 'f') if options & FLOAT_SAMPLES else pcm(values, 16))


def encoder_seeds():
    rng = random.Random(1)
    noise = [rng.uniform(-1, 1) for _ in range(1500 * 2)]
    clicks = [(0.9 if i % 700 == 0 else 0.0) for i in range(1800)]
    # Silence, then a loud burst: an attack that switches to short blocks.
    attack = [0.0] * 1200 + [rng.uniform(-1, 1) for _ in range(600)]
    return {
        'mono_44100_64k_tone.bin': encoder_seed(4, 1, 64000 - 1, 1, tone(1500, 1)),
        'stereo_48000_96k_tone.bin': encoder_seed(3, 2, 96000 - 1, 1, tone(1300, 2)),
        'stereo_44100_tns_pns_noise.bin': encoder_seed(4, 2, 48000 - 1, 3, noise),
        'mono_8000_low_rate_noise.bin': encoder_seed(11, 1, 8000 - 1, 2, noise[:1500]),
        'mono_96000_max_rate_noise.bin': encoder_seed(0, 1, 6 * 96000 - 1, 0, noise[:1500]),
        'stereo_22050_1bps_tone.bin': encoder_seed(7, 2, 0, 1, tone(1100, 2)),
        'mono_32000_clicks.bin': encoder_seed(5, 1, 32000 - 1, 1, clicks),
        'mono_16000_attack.bin': encoder_seed(8, 1, 24000 - 1, 3, attack),
        'stereo_11025_silence.bin': encoder_seed(10, 2, 16000 - 1, 1, [0.0] * 2400),
        'mono_empty.bin': encoder_seed(4, 1, 64000 - 1, 1, []),
        'stereo_44100_left_right_tns.bin': encoder_seed(4, 2, 64000 - 1, 1 | 4, tone(1300, 2)),
        # Float samples past full scale, and NaN and infinities within a tone.
        'stereo_44100_float_clipped.bin': encoder_seed(4, 2, 64000 - 1, 1 | FLOAT_SAMPLES, tone(1300, 2, 1.7)),
        'mono_48000_float_nan_inf.bin': encoder_seed(3, 1, 48000 - 1, 3 | FLOAT_SAMPLES,
                                                     [(math.nan, math.inf, -math.inf)[i % 3] if i % 97 == 0 else v
                                                      for i, v in enumerate(tone(1500, 1))]),
        # The perceptual mode: an attack in a channel pair with noise substitution, a mono tone
        # at a low rate, and float samples past full scale in a channel pair.
        'stereo_44100_perceptual_attack.bin': encoder_seed(4, 2, 64000 - 1, 3 | PERCEPTUAL,
                                                           [v for v in attack for _ in range(2)]),
        'mono_22050_perceptual_tone.bin': encoder_seed(7, 1, 16000 - 1, 1 | PERCEPTUAL, tone(1500, 1)),
        'stereo_48000_perceptual_float.bin': encoder_seed(3, 2, 96000 - 1, 1 | FLOAT_SAMPLES | PERCEPTUAL,
                                                          tone(1300, 2, 1.2)),
    }


# fuzz_api: scripts of calls, in the byte layout that fuzz/fuzz_api.cpp describes.
(SET_OPTION, GET_OPTION, GET_CONFIG, GETTERS, ENCODE_INT16, ENCODE_FLOAT, FLUSH, CLOSE, REOPEN, NULL_ENCODER,
 STRERROR) = range(11)
ANY_INT = 0xF0  # an argument byte after which 4 bytes give any int
TNS, NOISE_SUBSTITUTION, MID_SIDE, PERCEPTUAL_OPTION = 1, 2, 3, 4
NOISE, SQUARE, ALTERNATING, SPECIALS = 1, 2, 3, 0x40  # signal kinds; amplitude in bits 2..5


def any_int(value):
    return bytes([ANY_INT]) + struct.pack('<i', value)


def api_open(rate_index, channels, bit_rate, error_pointer=True, rate=None):
    """An open section: a rate from the table (or any int), 1 or 2 channels (or any count from
    -2 to 13) and a bit rate (any negative int too)."""
    out = any_int(rate) if rate is not None else bytes([rate_index])
    out += bytes([channels - 1 if channels in (1, 2) else channels + 0xF2])
    out += struct.pack('<I', bit_rate - 1) if bit_rate > 0 else struct.pack('<i', bit_rate)
    return out + bytes([0 if error_pointer else 1])


def set_option(option, value):
    option_byte = bytes([option + 1]) if -1 <= option <= 5 else any_int(option)
    value_byte = bytes([value]) if value in (0, 1) else any_int(value)
    return bytes([SET_OPTION]) + option_byte + value_byte


def get_option(option):
    return bytes([GET_OPTION]) + (bytes([option + 1]) if -1 <= option <= 5 else any_int(option))


def get_config(room):
    return bytes([GET_CONFIG, 0xF8 if room is None else room + 1])


def output_size(out):
    """'exact' (768 bytes per channel), 'max' (the largest access unit), ('short', 1..16) or any int."""
    if out == 'exact':
        return bytes([0])
    if out == 'max':
        return bytes([0x80])
    if isinstance(out, tuple):
        return bytes([0xE0 + out[1] - 1])
    return any_int(out)


def encode(frame=1024, out='exact', pcm_null=False, out_null=False, kind=NOISE | 8, floats=False):
    if frame == 1024:
        frame_bytes = bytes([0])
    elif 1 <= frame < 1024:
        frame_bytes = bytes([0xC0]) + struct.pack('<H', frame - 1)
    else:
        frame_bytes = any_int(frame)
    pointers = (0x0F if pcm_null else 0) | (0xF0 if out_null else 0)
    return bytes([ENCODE_FLOAT if floats else ENCODE_INT16]) + frame_bytes + output_size(out) + bytes([pointers, kind])


def flush(out='exact', null=False):
    return bytes([FLUSH]) + output_size(out) + bytes([0xF0 if null else 0])


def api_seeds():
    every_call_once = (set_option(TNS, 0) + get_option(TNS) + get_config(5) + bytes([GETTERS]) + encode() +
                       encode(floats=True) + flush() + bytes([CLOSE]))
    return {
        'stereo_44100_frames_short_frame_flush.bin':
            api_open(4, 2, 128000) + get_config(2) + bytes([GETTERS]) + encode() + encode(kind=SQUARE | 16) +
            encode(floats=True, kind=NOISE | 60) + encode(500) + encode() + flush() + flush() + flush() +
            bytes([CLOSE, CLOSE, GETTERS]),
        'mono_8000_every_option_id.bin':
            api_open(11, 1, 12000) + b''.join(set_option(o, v) + get_option(o) for o in (1, 2, 3, 4) for v in (1, 0)) +
            b''.join(set_option(o, 1) + get_option(o) for o in (-1, 0, 5, -2**31, 2**31 - 1, 8, 99)) +
            set_option(TNS, 2) + set_option(MID_SIDE, -1) + set_option(PERCEPTUAL_OPTION, 1) +
            set_option(NOISE_SUBSTITUTION, 1) + encode(floats=True) + encode(300, floats=True) + flush() + flush(),
        'stereo_48000_refusals_between_frames.bin':
            api_open(3, 2, 96000) + encode() + encode(0) + encode(-1) + encode(1025) + encode(2**31 - 1) +
            encode(out=('short', 1)) + encode(out=-5) + encode(out='max', pcm_null=True) + encode(out_null=True) +
            flush(null=True) + flush(out=('short', 16)) + get_config(None) + get_config(1) + encode(kind=ALTERNATING | 60) +
            flush() + flush() + flush(),
        'open_refused_then_reopened.bin':
            api_open(0, 3, -128000, rate=44000) + every_call_once + bytes([REOPEN]) + api_open(0, 0, 0) +
            every_call_once + bytes([REOPEN]) + api_open(0, 2, 2**31 - 1, error_pointer=False) + bytes([GETTERS]) +
            every_call_once,
        'mono_16000_flush_without_input.bin':
            api_open(8, 1, 24000) + flush() + encode() + flush() + get_option(TNS) + bytes([CLOSE]) + flush(),
        'null_encoder_and_result_codes.bin':
            bytes([0, 1]) + struct.pack('<I', 64000 - 1) + bytes([0, NULL_ENCODER, STRERROR]) + struct.pack('<i', -2**31) +
            bytes([STRERROR]) + struct.pack('<i', -11) + bytes([STRERROR]) + struct.pack('<i', 1),
        'mono_24000_perceptual_float_specials.bin':
            api_open(6, 1, 32000) + set_option(PERCEPTUAL_OPTION, 1) + set_option(NOISE_SUBSTITUTION, 1) +
            get_config(5) + encode(floats=True, kind=SPECIALS | NOISE | 40) + encode(1023, floats=True, kind=SQUARE | 60) +
            flush('max') + flush('max') + flush('max'),
        'reopen_after_close.bin':
            api_open(5, 2, 64000) + encode() + bytes([CLOSE]) + encode() + flush() + set_option(TNS, 1) +
            bytes([REOPEN]) + api_open(0, 2, 2000000) + bytes([GETTERS]) + encode(out='max') + flush() + flush(),
    }


def write(target, seeds):
    folder = os.path.join(HERE, 'corpus', target)
    os.makedirs(folder, exist_ok=True)
    for name, data in seeds.items():
        with open(os.path.join(folder, name), 'wb') as f:
            f.write(data)


if __name__ == '__main__':
    write('fuzz_wav_input', wav_seeds())
    write('fuzz_encoder', encoder_seeds())
    write('fuzz_api', api_seeds())
