"""Inputs beyond WAV: the other containers through libsndfile, headerless PCM, rate conversion
through libsoxr and the downmix of more channels. Skipped where the build lacks the library."""
import os
import subprocess
import unittest

import numpy as np

from varnel_testlib import (ENCODER, Workdir, audio_samples, faad_decode, ffmpeg_decode, read_bytes,
                            write_wav)


def run(*args, stdin=None):
    r = subprocess.run([ENCODER, "-q", *args], stdin=stdin, capture_output=True)
    return r.returncode, r.stderr.decode()


def capabilities():
    r = subprocess.run([ENCODER, "--version"], capture_output=True)
    return r.stdout.decode()


def ffmpeg_convert(src, dst, *args):
    subprocess.run(["ffmpeg", "-v", "error", "-nostdin", "-y", "-i", src, *args, dst], check=True)


def tone_level(x, rate, freq):
    """The amplitude of a sine of `freq` Hz in `x`, by projection on sine and cosine."""
    t = np.arange(len(x)) / rate
    return 2 * np.hypot(np.mean(x * np.sin(2 * np.pi * freq * t)), np.mean(x * np.cos(2 * np.pi * freq * t)))


HAVE_SNDFILE = "libsndfile" in capabilities()
HAVE_SOXR = "libsoxr" in capabilities()


@unittest.skipUnless(HAVE_SNDFILE, "built without libsndfile")
class Containers(Workdir):
    def setUp(self):
        super().setUp()
        rng = np.random.default_rng(7)
        n = 44100 * 2 + 333
        x = np.cumsum(rng.normal(0, 300, (n, 2)), axis=0)
        x = (x - np.mean(x, axis=0)) / np.max(np.abs(x)) * 0.6 * 2 ** 23
        self.s24 = x.astype("<i4").view(np.uint8).reshape(-1, 4)[:, :3].tobytes()
        self.wav = self.path("in.wav")
        write_wav(self.wav, None, 44100, channels=2, bits=24, raw=self.s24)

    def frames_of(self, name, *args, stdin=None):
        mp4 = self.path(name + ".mp4")
        code, err = run(*args, mp4, "128k", stdin=stdin)
        self.assertEqual((code, err), (0, ""), name)
        return audio_samples(read_bytes(mp4))

    def test_same_pcm_gives_the_same_frames_in_every_container(self):
        expected = self.frames_of("wav", self.wav)
        made = {
            "flac": ("in.flac", ["-c:a", "flac", "-sample_fmt", "s32"]),
            "aiff": ("in.aiff", ["-c:a", "pcm_s24be"]),
            "caf": ("in.caf", ["-c:a", "pcm_s24le"]),
            "rf64": ("in_rf64.wav", ["-c:a", "pcm_s24le", "-rf64", "always"]),
            "w64": ("in.w64", ["-c:a", "pcm_s24le"]),
        }
        for kind, (name, args) in made.items():
            with self.subTest(kind):
                ffmpeg_convert(self.wav, self.path(name), *args)
                self.assertEqual(self.frames_of(kind, self.path(name)), expected)
        with open(self.path("in.raw"), "wb") as f:
            f.write(self.s24)
        with open(self.path("in.raw"), "rb") as raw:
            frames = self.frames_of("raw", "--raw-rate", "44100", "--raw-channels", "2", "--raw-format", "s24le", "-",
                                    stdin=raw)
        self.assertEqual(frames, expected)

    def test_tags_of_the_file_with_the_options_winning(self):
        flac, mp4 = self.path("in.flac"), self.path("out.mp4")
        ffmpeg_convert(self.wav, flac, "-metadata", "title=Flac title", "-metadata", "artist=Flac artist")
        self.assertEqual(run(flac, mp4, "96k", "--artist", "Option artist"), (0, ""))
        r = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "format_tags=title,artist", "-of",
                            "default=nw=1", mp4], capture_output=True, text=True)
        self.assertEqual(r.stdout.split("\n")[:2], ["TAG:title=Flac title", "TAG:artist=Option artist"])

    def test_cut_or_damaged_files_fail_with_one_reason_and_no_output(self):
        cases = {"in.flac": [], "in.aiff": ["-c:a", "pcm_s24be"], "in_rf64.wav": ["-c:a", "pcm_s24le", "-rf64", "always"],
                 "in.w64": [], "in.caf": []}
        for name, args in cases.items():
            with self.subTest(name):
                whole, cut, mp4 = self.path(name), self.path("cut_" + name), self.path("out.mp4")
                ffmpeg_convert(self.wav, whole, *args)
                data = read_bytes(whole)
                with open(cut, "wb") as f:
                    f.write(data[:len(data) * 6 // 10])
                code, err = run(cut, mp4, "96k")
                self.assertEqual((code, len(err.splitlines())), (1, 1), err)
                self.assertFalse(os.path.exists(mp4))
                self.assertEqual([f for f in os.listdir(self.dir) if f.endswith(".partial")], [])


@unittest.skipUnless(HAVE_SOXR, "built without libsoxr")
class RateConversion(Workdir):
    def test_rates_that_are_not_aac_rates_are_converted(self):
        for rate, coded in ((192000, 48000), (176400, 48000), (11000, 11025), (44000, 44100)):
            with self.subTest(rate):
                n = int(rate * 1.5) + 77
                x = 8000 * np.sin(2 * np.pi * 997 * np.arange(n) / rate)
                wav, mp4 = self.path("in.wav"), self.path("out.mp4")
                write_wav(wav, np.stack([x, -x], axis=1).astype(np.int16), rate)
                code, err = run(wav, mp4, "64k")
                self.assertEqual(code, 0, err)
                self.assertIn("%d Hz is not an AAC sampling rate; converted to %d Hz" % (rate, coded), err)
                decoded, warnings = ffmpeg_decode(mp4, 2)
                self.assertEqual(warnings, "")
                converted = round(n * coded / rate)
                self.assertEqual(len(decoded), -(-converted // 1024) * 1024)
                faad, problems = faad_decode(mp4, 2, rate=coded)
                self.assertEqual(problems, [])
                self.assertGreater(tone_level(decoded[4096:converted - 4096, 0], coded, 997), 7000)

    def test_rate_option_converts_to_the_asked_rate_at_full_length(self):
        n = 44100 * 2 + 1001
        wav, mp4 = self.path("in.wav"), self.path("out.mp4")
        write_wav(wav, (8000 * np.sin(np.arange(n) * 0.03)).astype(np.int16), 44100)
        self.assertEqual(run(wav, mp4, "48k", "--rate", "32000"), (0, ""))
        decoded, warnings = ffmpeg_decode(mp4, 1)
        self.assertEqual((warnings, len(decoded)), ("", -(-round(n * 32000 / 44100) // 1024) * 1024))
        # Asked for the rate it has, the input is not converted.
        self.assertEqual(run(wav, mp4 + "2", "48k", "--rate", "44100"), (0, ""))
        self.assertEqual(run(wav, mp4 + "3", "48k"), (0, ""))
        self.assertEqual(read_bytes(mp4 + "2"), read_bytes(mp4 + "3"))


@unittest.skipUnless(HAVE_SNDFILE and HAVE_SOXR, "built without libsndfile or libsoxr")
class LibrariesMissingAtRunTime(Workdir):
    def test_wav_still_encodes_and_the_rest_is_refused_with_the_reason(self):
        # The program with the libraries' names changed, as on a machine where they are not installed.
        exe = self.path("VarnelAacEnc")
        data = read_bytes(ENCODER).replace(b"libsndfile.so.", b"libsndfilx.so.").replace(b"libsoxr.so.", b"libsoxx.so.")
        with open(exe, "wb") as f:
            f.write(data)
        os.chmod(exe, 0o755)
        tone = (8000 * np.sin(np.arange(22050) * 0.05)).astype(np.int16)
        write_wav(self.path("in.wav"), tone, 44100)
        write_wav(self.path("in44000.wav"), tone, 44000)
        ffmpeg_convert(self.path("in.wav"), self.path("in.flac"))
        for name, code, reason in (("in.wav", 0, ""), ("in.flac", 1, "libsndfilx.so"), ("in44000.wav", 1, "libsoxx.so")):
            with self.subTest(name):
                r = subprocess.run([exe, "-q", self.path(name), self.path("out.mp4"), "64k"], capture_output=True)
                self.assertEqual((r.returncode, len(r.stderr.splitlines())), (code, 1 if code else 0), r.stderr)
                self.assertIn(reason, r.stderr.decode())


class Downmix(Workdir):
    # One tone per channel of a 5.1 file (L R C LFE Ls Rs), and what each output channel holds.
    TONES = [300, 500, 700, 90, 1100, 1300]
    H = np.sqrt(0.5)
    EXPECTED = {"stereo": [[1, 0, H, 0, H, 0], [0, 1, H, 0, 0, H]],
                "mono": [[0.5, 0.5, H, 0, H / 2, H / 2]]}

    def test_five_one_mixes_down_with_the_usual_coefficients(self):
        rate, n = 48000, 48000 * 2
        t = np.arange(n) / rate
        x = np.stack([4000 * np.sin(2 * np.pi * f * t) for f in self.TONES], axis=1)
        wav = self.path("in51.wav")
        write_wav(wav, x.astype(np.int16), rate)
        source = wav
        if HAVE_SNDFILE:
            source = self.path("in51.flac")
            ffmpeg_convert(wav, source)
        for mix, rows in self.EXPECTED.items():
            with self.subTest(mix):
                mp4 = self.path(mix + ".mp4")
                self.assertEqual(run(source, mp4, "%dk" % (128 * len(rows)), "--downmix", mix), (0, ""))
                decoded, warnings = ffmpeg_decode(mp4, len(rows))
                self.assertEqual(warnings, "")
                for ch, row in enumerate(rows):
                    levels = [tone_level(decoded[4096:n - 4096, ch], rate, f) / 4000 for f in self.TONES]
                    np.testing.assert_allclose(levels, row, atol=0.03, err_msg="%s channel %d" % (mix, ch))

    def test_channels_without_speaker_positions_are_refused(self):
        wav = self.path("in9.wav")
        write_wav(wav, np.zeros((4096, 9), dtype=np.int16), 48000)
        for args in ([], ["--downmix", "stereo"]):
            code, err = run(wav, self.path("out.mp4"), "96k", *args)
            self.assertEqual(code, 1)
            self.assertIn("9 channels without stated speaker positions", err)


if __name__ == "__main__":
    unittest.main()
