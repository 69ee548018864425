"""No frame decodes louder than its input, in the default mode, with noise substitution and in
the perceptual mode, over tones, a square wave, noise, clicks, a chord and near silence at
several rates and layouts, in ffmpeg and faad: a noise band carries at most its band's energy,
a coded band at most 1 dB more than its own. A pair of equal channels decodes to equal levels."""
import unittest

import numpy as np

import signals
from varnel_testlib import Workdir, encode_with, faad_decode, ffmpeg_decode, write_wav

FRAME = 1024
# Decoded power over the input's: 1 dB per coded band (noise 6 dB under the signal adds as
# much), and up to 0.35 dB measured from the two blocks that overlap in a frame, whose errors
# cancel only on average. Before: TNS over noise bands 3 to 15 dB, a square wave's or a chord's
# loudest lines rounded up in the perceptual mode 1.9 to 4.2 dB.
POWER_MARGIN_DB = 1.5
# Decoded peak over the input's: a band-limited square wave overshoots by 18 %, noise of the
# signal's power peaks near 4 sigma; noise bands filtered by TNS peaked at 14 times full scale.
PEAK_FACTOR = 3.0
FLOOR = 4.0  # 16-bit steps: quieter differences are the decoders' rounding
SIGNALS = {
    "square": lambda r, s, c: np.where(signals.sine(r, s, amp=1e4, channels=c) >= 0, 32767, -32768),
    "sine": lambda r, s, c: signals.sine(r, s, freq=3000.0, amp=30000.0, channels=c),
    "noise": lambda r, s, c: signals.noise(r, s, channels=c),
    "full-scale-noise": lambda r, s, c: signals.noise(r, s, channels=c, amp=32767.0),
    "clicks": lambda r, s, c: signals.clicks(r, s, channels=c),
    "chord": lambda r, s, c: signals.music(r, s, channels=c),
    "near-silence": lambda r, s, c: signals.noise(r, s, channels=c, amp=3.0),
}


def frame_excess(pcm, decoded):
    """Per frame and channel: decoded power over the input's (dB) and decoded peak over the
    input's. The input's level is the louder of the frame's and that of the span of the two
    blocks that overlap it, since a block's quantisation noise spreads over its whole window."""
    x = pcm.astype(np.float64)
    n = min(len(x), len(decoded)) // FRAME * FRAME
    power_db, peak = [], []
    for start in range(0, n, FRAME):
        here, span = slice(start, start + FRAME), slice(max(start - FRAME, 0), start + 2 * FRAME)
        level = np.maximum(np.mean(x[here] ** 2, axis=0), np.mean(x[span] ** 2, axis=0)) + FLOOR ** 2
        power_db.append(10 * np.log10((np.mean(decoded[here] ** 2, axis=0) + FLOOR ** 2) / level))
        peak.append(np.max(np.abs(decoded[here]), axis=0) / (np.max(np.abs(x[span]), axis=0) + FLOOR))
    return np.array(power_db), np.array(peak)


class DecodedLevel(Workdir):
    def test_no_frame_decodes_louder_than_its_input(self):
        layouts = [(22050, 8000), (22050, 32000), (44100, 16000), (44100, 128000), (48000, 24000),
                   (48000, 96000), (8000, 8000), (32000, 48000)]
        for k, (name, make) in enumerate(SIGNALS.items()):
            for j, (rate, per_channel) in enumerate(layouts):
                channels = 1 + (k + j) % 2
                pcm = make(rate, 1.5, channels).astype(np.int16)
                write_wav(self.path("in.wav"), pcm, rate)
                for options in (1, 3, 7):  # TNS (the default mode); and noise substitution; and perceptual
                    with self.subTest(name, rate=rate, per_channel=per_channel, channels=channels, options=options):
                        r = encode_with(self.path("in.wav"), self.path("out.mp4"), per_channel * channels, options)
                        self.assertEqual(r.returncode, 0, r.stderr.decode())
                        ff, warnings = ffmpeg_decode(self.path("out.mp4"), channels)
                        fa, problems = faad_decode(self.path("out.mp4"), channels, rate)
                        self.assertEqual((warnings, problems), ("", []))
                        for decoder, decoded in (("ffmpeg", ff), ("faad", fa)):
                            power_db, peak = frame_excess(pcm, decoded)
                            where = "%s: frame, channel %s" % (decoder, np.unravel_index(np.argmax(power_db), power_db.shape))
                            self.assertLessEqual(np.max(power_db), POWER_MARGIN_DB, where)
                            self.assertLessEqual(np.max(peak), PEAK_FACTOR, decoder)
                            if channels == 2 and np.array_equal(pcm[:, 0], pcm[:, 1]):
                                # The right channel's noise bands were lost with an all-zero side.
                                left, right = np.mean(decoded[:len(pcm)] ** 2, axis=0) + FLOOR ** 2
                                self.assertLessEqual(abs(10 * np.log10(left / right)), 1.0, decoder)


if __name__ == "__main__":
    unittest.main()
