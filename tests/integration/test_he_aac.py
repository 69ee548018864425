"""HE-AAC (--he): every decoder reads the stream at the output rate as HE-AAC without a warning,
ffmpeg at lag 0 with the input rounded up to whole 2048-sample frames; the frames fit the
decoder's buffer and the rate holds; the replicated band carries the input's spectral envelope,
and a tone the copied low band lacks comes back as a tone."""
import subprocess
import unittest

import numpy as np

import signals
from varnel_testlib import (ENCODER, FFMPEG_ADTS_NOTE, Workdir, audio_samples, faad_decode, ffmpeg_decode, frame_agreement_db,
                            gstreamer_decode, lowpass, read_bytes, snr_db, write_wav)

FRAME = 2048
DELAY = 3 * FRAME  # what faad, which ignores the edit list, outputs before the input (less its first frame)


def ffprobe(mp4, field):
    r = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "a", "-show_entries", "stream=" + field,
                        "-of", "default=nw=1:nk=1", mp4], capture_output=True, text=True)
    return r.stdout.strip()


def band_energy_db(x, rate, low, high, block):
    """Energy per block of `block` samples between `low` and `high` Hz, in dB."""
    n = len(x) // block * block
    spectrum = np.abs(np.fft.rfft(x[:n].reshape(-1, block) * np.hanning(block), axis=1)) ** 2
    f = np.fft.rfftfreq(block, 1.0 / rate)
    return 10 * np.log10(spectrum[:, (f >= low) & (f < high)].sum(axis=1) + 1.0)


class HeAac(Workdir):
    def encode(self, pcm, rate, bit_rate, name, options=(), ext=".mp4"):
        wav, mp4 = self.path(name + ".wav"), self.path(name + ext)
        write_wav(wav, pcm, rate)
        r = subprocess.run([ENCODER, "--he", *options, wav, mp4, str(bit_rate)], capture_output=True)
        self.assertEqual(r.returncode, 0, r.stderr.decode())
        return mp4

    def test_decoders_read_it_at_the_output_rate(self):
        # rate, channels, total bit rate, options: every output rate, mono and stereo, 16 to 64
        # kbit/s, both modes of the core.
        cases = [(32000, 1, 16000, ()), (44100, 2, 32000, ()), (48000, 2, 64000, ()), (44100, 1, 24000, ()),
                 (48000, 1, 40000, ("--perceptual",)), (32000, 2, 48000, ()), (44100, 2, 16000, ("--perceptual",))]
        for rate, channels, bit_rate, options in cases:
            with self.subTest(rate=rate, channels=channels, bit_rate=bit_rate, options=options):
                pcm = signals.music(rate, 2.5, channels=channels)
                mp4 = self.encode(pcm, rate, bit_rate, "music", options)
                self.assertEqual(ffprobe(mp4, "profile"), "HE-AAC")
                self.assertEqual(ffprobe(mp4, "sample_rate"), str(rate))
                info = subprocess.run(["faad", "-i", mp4], capture_output=True, text=True)
                self.assertIn("HE AAC", info.stdout + info.stderr)
                ff, warnings = ffmpeg_decode(mp4, channels)
                self.assertEqual(warnings, "")
                self.assertEqual(len(ff), -(-len(pcm) // FRAME) * FRAME)
                # At lag 0 the core band matches the input's waveform (less closely in the
                # perceptual mode at 8 kbit/s per channel).
                for c in range(channels):
                    self.assertGreater(snr_db(lowpass(pcm[:, c].astype(float), rate, 3000),
                                              lowpass(ff[:len(pcm), c], rate, 3000)), 3.0 if options else 10.0)
                frames = audio_samples(read_bytes(mp4))
                fa, problems = faad_decode(mp4, channels, rate, frame_length=FRAME)
                self.assertEqual(problems, [])
                # faad ignores the edit list and drops its first frame; the decoders agree, but
                # for the noise each fills the perceptual mode's noise bands with.
                raw = fa[DELAY - FRAME - 1024:]
                n = min(len(raw), len(ff))
                if not options:
                    self.assertGreater(np.min(frame_agreement_db(ff[:n], raw[:n], FRAME)), 60.0)
                gst, gst_rate, gst_problems = gstreamer_decode(mp4, channels)
                self.assertEqual((gst_problems, gst_rate), ([], rate))
                self.assertGreater(len(gst), len(pcm) - FRAME)
                self.assertLessEqual(max(len(f) for f in frames), 768 * channels)
                seconds = len(frames) * FRAME / rate
                self.assertLessEqual(8 * sum(len(f) for f in frames), 1.03 * bit_rate * seconds + 6144 * channels)

    def test_m4a_and_adts(self):
        # The audio-only file's iTunSMPB counts core samples as its edit list does (ffmpeg
        # reads both); an ADTS stream states the core and carries the replication implicitly.
        pcm = signals.music(44100, 2.0, channels=2)
        ff, warnings = ffmpeg_decode(self.encode(pcm, 44100, 32000, "music", ext=".m4a"), 2)
        self.assertEqual((warnings, len(ff)), ("", -(-len(pcm) // FRAME) * FRAME))
        self.assertGreater(snr_db(lowpass(pcm[:, 0].astype(float), 44100, 3000), lowpass(ff[:len(pcm), 0], 44100, 3000)),
                           10.0)
        adts = self.encode(pcm, 44100, 32000, "music", ext=".aac")
        ff, warnings = ffmpeg_decode(adts, 2)
        self.assertEqual([line for line in warnings.splitlines() if FFMPEG_ADTS_NOTE not in line], [])
        self.assertEqual(len(ff), (-(-len(pcm) // FRAME) + 3) * FRAME)  # no edit list: the delay stays
        self.assertEqual(ffprobe(adts, "sample_rate"), "44100")
        fa, problems = faad_decode(adts, 2, 44100, frames=len(ff) // FRAME, frame_length=FRAME)
        self.assertEqual(problems, [])

    def test_what_it_refuses_and_what_auto_chooses(self):
        # (rate, channels, arguments): the exit status and a part of the reason, or the profile.
        for rate, channels, args, outcome in [
                (22050, 1, ["--he"], (1, "HE-AAC codes 32000, 44100 or 48000 Hz, not 22050 Hz")),
                (48000, 3, ["--he"], (1, "HE-AAC codes one or two channels, not 3")),
                (44100, 2, ["--he", "--vbr", "3"], (1, "--vbr cannot go with it")),
                (96000, 1, ["--he"], "HE-AAC"),  # converted to 48000 Hz
                (44100, 2, ["--he=auto", "64000"], "HE-AAC"), (44100, 2, ["--he=auto", "80000"], "LC"),
                (22050, 2, ["--he=auto", "32000"], "LC")]:
            with self.subTest(rate=rate, channels=channels, args=args):
                wav, mp4 = self.path("in.wav"), self.path("out.mp4")
                write_wav(wav, signals.music(rate, 1.0, channels=channels), rate)
                rate_arg = [] if args[-1].isdigit() else ["32000"]
                r = subprocess.run([ENCODER, *args[:1], wav, mp4, *(args[1:] + rate_arg)], capture_output=True, text=True)
                if isinstance(outcome, tuple):
                    self.assertEqual(r.returncode, outcome[0])
                    self.assertIn(outcome[1], r.stderr)
                else:
                    self.assertEqual(r.returncode, 0, r.stderr)
                    self.assertEqual(ffprobe(mp4, "profile"), outcome)

    def test_the_replicated_band_follows_the_input(self):
        rate = 44100
        pink = signals.pink_noise(rate, 4.0, channels=2)
        t = np.arange(len(pink)) / rate
        # A steady tone at 12.5 kHz over quiet pink noise: the low band has no tone to copy there.
        tone = (pink // 8 + (6000 * np.sin(2 * np.pi * 12500 * t))[:, None]).astype(np.int16)
        for name, pcm, bit_rate in [("pink", pink, 32000), ("music", signals.music(rate, 4.0), 48000),
                                    ("speech", signals.speech(rate, 4.0, channels=2), 32000)]:
            with self.subTest(name):
                ff, _ = ffmpeg_decode(self.encode(pcm, rate, bit_rate, name), 2)
                # Third-octave-wide bands from 8 to 16 kHz, over 2048-sample blocks where the input
                # has energy: within 3 dB in at least 90 % of them.
                deviations = []
                for low in (8000, 9500, 11000, 12500):
                    for c in range(2):
                        x = band_energy_db(pcm[:, c].astype(float), rate, low, low * 1.26, FRAME)
                        y = band_energy_db(ff[:len(pcm), c], rate, low, low * 1.26, FRAME)
                        loud = x > np.max(x) - 30
                        deviations.extend((y - x)[loud][1:-1])
                share = np.mean(np.abs(deviations) <= 3.0)
                self.assertGreaterEqual(share, 0.9, "%.2f within 3 dB" % share)
        ff, _ = ffmpeg_decode(self.encode(tone, rate, 32000, "tone"), 2)
        n = len(tone) - 2 * FRAME
        spectrum = np.abs(np.fft.rfft(ff[FRAME:len(tone) - FRAME, 0] * np.hanning(n))) ** 2
        f = np.fft.rfftfreq(n, 1.0 / rate)
        band = (f > 11000) & (f < 14000)
        # A sinusoid, not a band of noise: the strongest line lies within a subband of the tone
        # (a decoder places it at a subband's centre) and holds most of the band's energy (a
        # replicated noise band holds 7 % within 30 Hz of its peak).
        peak = f[band][np.argmax(spectrum[band])]
        self.assertLess(abs(peak - 12500), rate / 128, peak)
        self.assertGreater(spectrum[np.abs(f - peak) < 30].sum() / spectrum[band].sum(), 0.5)

if __name__ == "__main__":
    unittest.main()
