#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/.

The seeds are small, and each one opens a different path through the reader or the encoder,
so that the fuzzer starts from inputs that already get past the header checks. Run it again
after changing a seed; the files are committed, so the fuzzer and the replay need no Python.
The corpus files named by a hash are inputs the fuzzer found that reach code the seeds do not;
they were added with the target's -merge=1 into the corpus folder.
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


def write(target, seeds):
    folder = os.path.join(HERE, 'corpus', target)
    os.makedirs(folder, exist_ok=True)
    for name, data in seeds.items():
        with open(os.path.join(folder, name), 'wb') as f:
            f.write(data)


if __name__ == '__main__':
    write('fuzz_wav_input', wav_seeds())
    write('fuzz_encoder', encoder_seeds())
