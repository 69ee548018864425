"""Noise substitution (with TNS) end to end. A decoder fills noise bands with its own random
noise, so ffmpeg and faad agree, and the stream matches the input waveform, only below 4 kHz
where no band is substituted; above it the decoded energy per third-octave band must follow the
input's. The bit rate must hold although the noise bands widen the coded bandwidth."""
import os
import tempfile
import unittest

import numpy as np

import signals
from varnel_testlib import (audio_samples, band_energies_db, encode_with, faad_decode, ffmpeg_decode, lowpass,
                            pair_stereo_mask, read_bytes, snr_db, third_octave_bands, write_wav)

TNS, TNS_AND_NOISE = 1, 3
NOISE_FROM = 4000.0  # Hz: no band below it is substituted
WAVEFORM_BELOW = 3500.0  # Hz: a margin under it for the window's spectral spread


class Stream:
    def __init__(self, test, pcm, rate, bit_rate, options, name):
        self.pcm, self.rate, self.bit_rate = pcm, rate, bit_rate
        self.channels = pcm.shape[1]
        wav = os.path.join(test.dir, name + ".wav")
        mp4 = os.path.join(test.dir, "%s-%d.mp4" % (name, options))
        if not os.path.exists(wav):
            write_wav(wav, pcm, rate)
        r = encode_with(wav, mp4, bit_rate, options=options)
        test.assertEqual(r.returncode, 0, r.stderr.decode())
        self.frames = audio_samples(read_bytes(mp4))
        ff, warnings = ffmpeg_decode(mp4, self.channels)
        test.assertEqual(warnings, "", "ffmpeg warned")
        self.ff = ff[:len(pcm)]
        self.fa, errors = faad_decode(mp4, self.channels, rate)
        test.assertEqual(errors, [], "faad reported errors")

    def low_band_snr(self):
        x = self.pcm.astype(np.float64)
        return snr_db(lowpass(x, self.rate, WAVEFORM_BELOW), lowpass(self.ff, self.rate, WAVEFORM_BELOW))

    def low_band_decoders_agree_db(self):
        n = min(len(self.ff), len(self.fa))
        return snr_db(lowpass(self.ff[:n], self.rate, WAVEFORM_BELOW), lowpass(self.fa[:n], self.rate, WAVEFORM_BELOW))

    def band_deviations_db(self):
        """Decoded minus input energy per third-octave band from 4 kHz up, per channel."""
        bands = third_octave_bands(NOISE_FROM, 0.45 * self.rate)
        return band_energies_db(self.ff, self.rate, bands) - band_energies_db(self.pcm, self.rate, bands)

    def bits_over_budget(self, tolerance=0.03):
        """Bits spent beyond the requested rate plus tolerance and the reservoir a stream starts
        with (6144 bits per channel); not positive when the rate holds."""
        seconds = len(self.frames) * 1024 / self.rate
        bits = 8 * sum(len(f) for f in self.frames)
        return bits - ((1 + tolerance) * self.bit_rate * seconds + 6144 * self.channels)

    def bit_rate_used(self):
        return 8 * sum(len(f) for f in self.frames) / (len(self.frames) * 1024 / self.rate)


class NoiseSubstitution(unittest.TestCase):
    def setUp(self):
        self._tmp = tempfile.TemporaryDirectory()
        self.dir = self._tmp.name

    def tearDown(self):
        self._tmp.cleanup()

    def test_noise_bands_keep_the_energy_and_the_low_bands_the_waveform(self):
        rate = 44100
        signals_by_name = {
            "speech": signals.speech(rate, 2.0),
            "music": signals.music(rate, 2.0, channels=1),
            "noise": signals.noise(rate, 2.0),
            "music-stereo": signals.music(rate, 2.0),
            "speech-stereo": signals.speech(rate, 2.0, channels=2),
        }
        for name, pcm in signals_by_name.items():
            for per_channel in (32000, 48000, 64000):
                with self.subTest(name, per_channel=per_channel):
                    bit_rate = per_channel * pcm.shape[1]
                    e = Stream(self, pcm, rate, bit_rate, TNS_AND_NOISE, name)
                    reference = Stream(self, pcm, rate, bit_rate, TNS, name)
                    deviation = e.band_deviations_db()
                    # Measured within 1.9 dB in every band; +7 dB when TNS filtered the
                    # noise bands in the decoder only.
                    self.assertLessEqual(np.max(np.abs(deviation)), 3.0, np.round(deviation, 1))
                    self.assertLessEqual(abs(np.mean(deviation)), 1.5)
                    # The noise bands cost bits the low bands miss, up to 2.3 dB at 32 kbit/s.
                    self.assertGreaterEqual(e.low_band_snr(), reference.low_band_snr() - 3.0)
                    # The decoders' own noise leaks a little below 4 kHz through the window's
                    # spectral spread; what they differ by there stays far under the coding error
                    # (43 dB against 7 dB for white noise at 32 kbit/s, 60 dB or more otherwise).
                    self.assertGreaterEqual(e.low_band_decoders_agree_db(), e.low_band_snr() + 25.0)

    def test_a_low_sampling_rate(self):
        rate = 22050
        pcm = signals.music(rate, 2.0, channels=1)
        e = Stream(self, pcm, rate, 32000, TNS_AND_NOISE, "music22")
        reference = Stream(self, pcm, rate, 32000, TNS, "music22")
        self.assertLessEqual(np.max(np.abs(e.band_deviations_db())), 3.0)
        self.assertGreaterEqual(e.low_band_snr(), reference.low_band_snr() - 3.0)

    def test_a_mid_side_pair_keeps_each_channels_high_bands_in_that_channel(self):
        # The same music in both channels makes the pair mid/side; above 4 kHz each channel has
        # a tone of its own over faint noise, so one channel's band is coded where the other's
        # is noise. Coded as mid/side there, a decoder would put half the tone in the noise
        # channel (faad) or lose half of it (ffmpeg).
        rate = 44100
        n = 3 * rate
        t = np.arange(n) / rate
        base = signals.music(rate, 3.0, channels=1)[:, 0].astype(np.float64)
        rng = np.random.default_rng(5)

        def faint_high_noise():
            x = rng.normal(0.0, 40.0, n)
            return x - lowpass(x, rate, 5000.0)

        left = base + 2500 * np.sin(2 * np.pi * 9000 * t) + faint_high_noise()
        right = base + 2500 * np.sin(2 * np.pi * 12000 * t) + faint_high_noise()
        pcm = np.clip(np.stack([left, right], axis=1), -32768, 32767).astype(np.int16)
        tone_bands = [(8500, 9500), (11500, 12500)]
        for bit_rate in (96000, 128000):
            with self.subTest(bit_rate=bit_rate):
                e = Stream(self, pcm, rate, bit_rate, TNS_AND_NOISE, "two-tones")
                masks = [pair_stereo_mask(f) for f in e.frames]
                self.assertGreaterEqual(sum(m is not None and m[0] != 0 for m in masks), 0.9 * len(masks))
                reference = band_energies_db(pcm, rate, tone_bands)
                for decoded in (e.ff, e.fa[:len(pcm)]):
                    deviation = band_energies_db(decoded, rate, tone_bands) - reference
                    # Measured within 3.3 dB (the faint noise under the other channel's tone);
                    # 16.6 dB and -2.3 dB when those bands were coded as mid/side.
                    self.assertLessEqual(np.max(np.abs(deviation)), 4.0, np.round(deviation, 1))
                    self.assertLessEqual(abs(deviation[0, 0]), 1.0)  # left's own tone
                    self.assertLessEqual(abs(deviation[1, 1]), 1.0)  # right's own tone

    def test_bit_rate_holds_over_ten_seconds(self):
        rate = 44100
        cases = [("speech", signals.speech(rate, 10.0), 32000),
                 ("noise", signals.noise(rate, 10.0), 64000),
                 ("music-stereo", signals.music(rate, 10.0), 96000)]
        for name, pcm, bit_rate in cases:
            with self.subTest(name):
                e = Stream(self, pcm, rate, bit_rate, TNS_AND_NOISE, name)
                self.assertLessEqual(e.bits_over_budget(), 0,
                                     "%.0f bit/s for %d" % (e.bit_rate_used(), bit_rate))


if __name__ == "__main__":
    unittest.main()
