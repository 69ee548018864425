"""Coded audio end to end: many signals, every sampling rate, bit rates from 16000 per channel to
the maximum. Every stream must decode in ffmpeg and faad without a warning, the two decoders must
agree, the decoded audio must match the input, and the bit rate must hold."""
import os
import tempfile
import unittest

import numpy as np

import signals
from varnel_testlib import (read_bytes, write_bytes, AAC_RATES, audio_samples, encode, faad_decode, ffmpeg_decode,
                            snr_db, write_wav)


class Encoded:
    """One encode with both decodes, and the figures the checks need."""

    def __init__(self, test, pcm, rate, bit_rate, name="in"):
        self.pcm, self.rate, self.bit_rate = pcm, rate, bit_rate
        self.channels = pcm.shape[1]
        wav = os.path.join(test.dir, name + ".wav")
        self.mp4 = os.path.join(test.dir, name + ".mp4")
        write_wav(wav, pcm, rate)
        r = encode(wav, self.mp4, bit_rate)
        test.assertEqual(r.returncode, 0, r.stderr.decode())
        self.frames = audio_samples(read_bytes(self.mp4))
        self.ff, ff_warnings = ffmpeg_decode(self.mp4, self.channels)
        test.assertEqual(ff_warnings, "", "ffmpeg warned")
        self.fa, fa_errors = faad_decode(self.mp4, self.channels, rate)
        test.assertEqual(fa_errors, [], "faad reported errors")
        test.assertGreaterEqual(len(self.ff), len(pcm))
        test.assertLess(len(self.ff) - len(pcm), 1024)

    def decoders_agree_db(self):
        n = min(len(self.ff), len(self.fa))
        return snr_db(self.ff[:n], self.fa[:n])

    def snr(self):
        return snr_db(self.pcm.astype(np.float64), self.ff[:len(self.pcm)])

    def bit_rate_used(self):
        bits = 8 * sum(len(f) for f in self.frames)
        return bits / (len(self.frames) * 1024 / self.rate)

    def within_bit_budget(self, tolerance=0.03):
        """A constant-rate stream may spend the requested rate plus the bit reservoir it starts
        with (6144 bits per channel, full at the start); over long files that share vanishes."""
        bits = 8 * sum(len(f) for f in self.frames)
        seconds = len(self.frames) * 1024 / self.rate
        return bits <= (1 + tolerance) * self.bit_rate * seconds + 6144 * self.channels

    def largest_frame_bits(self):
        return 8 * max(len(f) for f in self.frames)


class CodedAudio(unittest.TestCase):
    def setUp(self):
        self._tmp = tempfile.TemporaryDirectory()
        self.dir = self._tmp.name

    def tearDown(self):
        self._tmp.cleanup()

    def check_stream(self, e, min_snr=None, silent=False):
        self.assertLessEqual(e.largest_frame_bits(), 6144 * e.channels)
        if silent:
            self.assertTrue(np.all(e.ff == 0) and np.all(e.fa == 0))
            return
        self.assertGreaterEqual(e.decoders_agree_db(), 70.0)
        if min_snr is not None:
            self.assertGreaterEqual(e.snr(), min_snr)
        self.assertTrue(e.within_bit_budget(), "%.0f bit/s for %d" % (e.bit_rate_used(), e.bit_rate))

    def test_sine_mono_64k_is_accurate(self):
        e = Encoded(self, signals.sine(44100, 3.0), 44100, 64000)
        self.check_stream(e, min_snr=30.0)

    def test_speech_and_music_stereo_128k(self):
        for name, pcm in [("speech", signals.speech(44100, 3.0, channels=2)),
                          ("music", signals.music(44100, 3.0))]:
            with self.subTest(name):
                e = Encoded(self, pcm, 44100, 128000, name)
                self.check_stream(e, min_snr=10.0)

    def test_bit_rate_over_long_files(self):
        for name, pcm, rate in [("noise-mono", signals.noise(44100, 12.0, channels=1), 64000),
                                ("noise-stereo", signals.noise(44100, 12.0, channels=2), 128000),
                                ("music", signals.music(44100, 12.0), 128000)]:
            with self.subTest(name):
                e = Encoded(self, pcm, 44100, rate, name)
                self.check_stream(e)
                self.assertLessEqual(e.bit_rate_used(), 1.03 * rate)
                if name.startswith("noise"):
                    self.assertGreaterEqual(e.bit_rate_used(), 0.90 * rate)

    def test_many_signals(self):
        cases = [
            ("sweep", signals.sweep(48000, 2.0), 48000, 64000),
            ("sweep-stereo", signals.sweep(32000, 2.0, channels=2), 32000, 96000),
            ("clicks", signals.clicks(44100, 2.0), 44100, 64000),
            ("clicks-stereo", signals.clicks(44100, 2.0, channels=2), 44100, 128000),
            ("speech-mono", signals.speech(16000, 2.0), 16000, 32000),
            ("music-low", signals.music(44100, 2.0), 44100, 32000),
            ("noise-low", signals.noise(22050, 2.0), 22050, 16000),
        ]
        for name, pcm, rate, bit_rate in cases:
            with self.subTest(name):
                self.check_stream(Encoded(self, pcm, rate, bit_rate, name))

    def test_silence(self):
        for channels in (1, 2):
            with self.subTest(channels=channels):
                e = Encoded(self, signals.silence(44100, 1.0, channels), 44100, 64000 * channels)
                self.check_stream(e, silent=True)

    def test_every_sampling_rate(self):
        for rate in AAC_RATES:
            for channels in (1, 2):
                with self.subTest(rate=rate, channels=channels):
                    pcm = signals.music(rate, 1.0, channels=channels)
                    bit_rate = min(48000, 6 * rate) * channels
                    self.check_stream(Encoded(self, pcm, rate, bit_rate, "r%d" % rate))

    def test_bit_rates_up_to_the_maximum(self):
        pcm = signals.music(44100, 1.5)
        for per_channel in (16000, 24000, 48000, 96000, 160000, 264600):
            with self.subTest(per_channel=per_channel):
                e = Encoded(self, pcm, 44100, 2 * per_channel, "b%d" % per_channel)
                self.check_stream(e)

    def test_extreme_low_rates_end_and_decode(self):
        pcm = signals.music(44100, 1.0)
        # 2067 bit/s is the lowest the program takes for stereo at 44.1 kHz (lower is refused).
        for total in (2067, 3000, 8000):
            with self.subTest(total=total):
                e = Encoded(self, pcm, 44100, total, "x%d" % total)
                self.assertLessEqual(e.largest_frame_bits(), 6144 * 2)


if __name__ == "__main__":
    unittest.main()
