"""Castanet-like input and WAV sample formats through the real program.

Clicks must be coded with eight short windows in several window groups and decode cleanly. The
same music-like signal stored as 16-, 24- and 32-bit PCM, 32-bit float and an extensible header
must code to the same quality; float beyond full scale is clipped with a note, and unsigned
8-bit input decodes at the right level without a DC offset."""
import os
import tempfile
import unittest

import numpy as np

import signals
from varnel_testlib import (audio_samples, encode, faad_decode, ffmpeg_decode, frame_window_info, read_bytes,
                            snr_db, wav_bytes, write_bytes)

RATE = 44100
EIGHT_SHORT_SEQUENCE = 2
WAVE_FORMAT_PCM = 1
WAVE_FORMAT_IEEE_FLOAT = 3


def pcm_wav(samples16, kind, extensible=False):
    """A WAV file of int16 values (n, channels) stored as `kind`: 'pcm8' (unsigned, 128 = zero;
    the values are taken at the 8-bit scale), 'pcm16', 'pcm24' (little-endian, packed),
    'pcm32' (scaled by 65536) or 'float32' (scaled by 1/32768)."""
    a = np.asarray(samples16)
    if a.ndim == 1:
        a = a[:, None]
    channels = a.shape[1]
    x = a.astype(np.int64)
    if kind == "pcm8":
        raw, bits, tag = (np.clip(x, -128, 127) + 128).astype(np.uint8).tobytes(), 8, WAVE_FORMAT_PCM
    elif kind == "pcm16":
        raw, bits, tag = x.astype("<i2").tobytes(), 16, WAVE_FORMAT_PCM
    elif kind == "pcm24":
        b = (x * 256).astype("<i4").view(np.uint8).reshape(-1, 4)[:, :3]
        raw, bits, tag = b.tobytes(), 24, WAVE_FORMAT_PCM
    elif kind == "pcm32":
        raw, bits, tag = (x * 65536).astype("<i4").tobytes(), 32, WAVE_FORMAT_PCM
    elif kind == "float32":
        raw, bits, tag = (x / 32768.0).astype("<f4").tobytes(), 32, WAVE_FORMAT_IEEE_FLOAT
    else:
        raise ValueError(kind)
    return wav_bytes(None, RATE, channels=channels, bits=bits, fmt_tag=tag, extensible=extensible, raw=raw)


def band_snr_db(reference, decoded, top_hz):
    """SNR of the decoded signal below `top_hz`, channel by channel, the worst channel: white
    clicks hold much of their energy above the coded bandwidth, which a plain SNR would count."""
    worst = None
    for c in range(reference.shape[1]):
        x = np.fft.rfft(reference[:, c].astype(np.float64))
        y = np.fft.rfft(decoded[:len(reference), c])
        band = np.fft.rfftfreq(len(reference), 1.0 / RATE) < top_hz
        snr = 10 * np.log10(np.sum(np.abs(x[band]) ** 2) / np.sum(np.abs(x[band] - y[band]) ** 2))
        worst = snr if worst is None else min(worst, snr)
    return worst


def float_wav(values, channels=1):
    """A 32-bit float WAV file of the given full-scale values."""
    raw = np.asarray(values, dtype="<f4").tobytes()
    return wav_bytes(None, RATE, channels=channels, bits=32, fmt_tag=WAVE_FORMAT_IEEE_FLOAT, raw=raw)


class CastanetsAndFormats(unittest.TestCase):
    def setUp(self):
        self._tmp = tempfile.TemporaryDirectory()
        self.dir = self._tmp.name

    def tearDown(self):
        self._tmp.cleanup()

    def encode_file(self, name, data, bit_rate):
        """Encodes WAV bytes; returns (mp4 path, completed process) after checking exit 0."""
        wav = os.path.join(self.dir, name + ".wav")
        mp4 = os.path.join(self.dir, name + ".mp4")
        write_bytes(wav, data)
        r = encode(wav, mp4, bit_rate)
        self.assertEqual(r.returncode, 0, r.stderr.decode(errors="replace"))
        return mp4, r

    def decode_cleanly(self, mp4, channels):
        """Both decoders' output; neither may warn."""
        ff, warnings = ffmpeg_decode(mp4, channels)
        self.assertEqual(warnings, "", "ffmpeg warned")
        fa, errors = faad_decode(mp4, channels, RATE)
        self.assertEqual(errors, [], "faad reported errors")
        return ff, fa

    def test_clicks_are_coded_short_in_several_groups_and_decode(self):
        for channels in (1, 2):
            with self.subTest(channels=channels):
                pcm = signals.clicks(RATE, 2.0, channels=channels)
                mp4, _ = self.encode_file("clicks%d" % channels, pcm_wav(pcm, "pcm16"), 64000 * channels)
                infos = [frame_window_info(f) for f in audio_samples(read_bytes(mp4))]
                short = [i for i in infos if i[2] == EIGHT_SHORT_SEQUENCE]
                # Eight clicks in two seconds, each needing at least one short block.
                self.assertGreaterEqual(len(short), 8)
                self.assertTrue(any(len(i[5]) >= 2 for i in short), "no short block has several window groups")
                if channels == 2:
                    self.assertTrue(all(i[1] == 1 for i in short), "short pair blocks without a common window")
                ff, fa = self.decode_cleanly(mp4, channels)
                self.assertGreaterEqual(band_snr_db(pcm, ff, 12000.0), 20.0)
                n = min(len(ff), len(fa))
                self.assertGreaterEqual(snr_db(ff[:n], fa[:n]), 60.0)

    def test_sample_formats_code_to_the_same_quality(self):
        pcm = signals.music(RATE, 2.0, channels=2)
        variants = [("pcm16", False), ("pcm24", False), ("pcm32", False), ("float32", False), ("pcm24", True)]
        results = {}
        for kind, extensible in variants:
            name = kind + ("-extensible" if extensible else "")
            with self.subTest(format=name):
                mp4, r = self.encode_file(name, pcm_wav(pcm, kind, extensible), 128000)
                self.assertNotIn(b"clipped", r.stderr)
                ff, _ = self.decode_cleanly(mp4, 2)
                results[name] = snr_db(pcm.astype(np.float64), ff[:len(pcm)])
        self.assertEqual(len(results), len(variants), results)
        self.assertGreater(min(results.values()), 12.0, results)
        self.assertLess(max(results.values()) - min(results.values()), 0.3, results)

    def test_float_beyond_full_scale_is_clipped_with_a_note(self):
        t = np.arange(RATE) / RATE
        mp4, r = self.encode_file("loud", float_wav(1.5 * np.sin(2 * np.pi * 440 * t)), 64000)
        self.assertIn(b"clipped", r.stderr)
        ff, _ = self.decode_cleanly(mp4, 1)
        self.assertGreater(np.max(np.abs(ff)), 20000.0)

    def test_unsigned_8_bit_decodes_at_its_level_without_offset(self):
        t = np.arange(RATE) / RATE
        values8 = np.round(100 * np.sin(2 * np.pi * 1000 * t)).astype(np.int64)
        mp4, _ = self.encode_file("eight", pcm_wav(values8, "pcm8"), 64000)
        ff, fa = self.decode_cleanly(mp4, 1)
        middle = ff[RATE // 4: 3 * RATE // 4, 0]
        expected_rms = 100 * 256 / np.sqrt(2)  # 8-bit values reach the 16-bit scale times 256
        self.assertAlmostEqual(20 * np.log10(np.sqrt(np.mean(middle ** 2)) / expected_rms), 0.0, delta=0.5)
        self.assertLess(abs(np.mean(middle)), 0.005 * expected_rms)
        self.assertGreaterEqual(snr_db(values8[:len(ff)] * 256.0, ff[:RATE, 0]), 25.0)


if __name__ == "__main__":
    unittest.main()
