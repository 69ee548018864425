"""More than two channels: each layout's speakers reach the same speakers in ffmpeg and faad,
the two decoders agree, the rate holds and no frame outgrows its channels' buffers."""
import re
import subprocess
import tempfile
import os
import unittest

import numpy as np

from varnel_testlib import (ENCODER, Workdir, audio_samples, faad_decode, ffmpeg_decode, frame_agreement_db,
                            read_bytes, snr_db, wav_payload, write_wav)

# WAV channel-mask bits, lowest first.
MASK_SPEAKERS = ["FL", "FR", "FC", "LFE", "BL", "BR", "FLC", "FRC", "BC", "SL", "SR"]
# ffmpeg's channel order for the layouts it names.
FFMPEG_LAYOUTS = {"3.0": "FL FR FC", "4.0": "FL FR FC BC", "5.0": "FL FR FC BL BR", "5.0(side)": "FL FR FC SL SR",
                  "5.1": "FL FR FC LFE BL BR", "5.1(side)": "FL FR FC LFE SL SR", "7.1": "FL FR FC LFE BL BR SL SR"}
# faad's names in the channel table it prints.
FAAD_NAMES = {"Center front": "FC", "Left front": "FL", "Right front": "FR", "Left side": "SL", "Right side": "SR",
              "Left back": "BL", "Right back": "BR", "Center back": "BC", "LFE": "LFE"}
RATE = 48000
SIDE_AS_BACK = {"SL": "BL", "SR": "BR"}


def speakers_of(mask):
    return [s for b, s in enumerate(MASK_SPEAKERS) if mask >> b & 1]


def tone_level(x, freq):
    t = np.arange(len(x)) / RATE
    return 2 * np.hypot(np.mean(x * np.sin(2 * np.pi * freq * t)), np.mean(x * np.cos(2 * np.pi * freq * t)))


def faad_speakers(mp4):
    """The speakers of faad's output channels: its WAV file's channel mask when it writes one,
    else the channel table it prints, in the stream's order."""
    with tempfile.TemporaryDirectory() as d:
        out = os.path.join(d, "out.wav")
        r = subprocess.run(["faad", "-o", out, mp4], capture_output=True, text=True)
        data = read_bytes(out)
    i = data.find(b"fmt ")
    if data[i + 8:i + 10] == b"\xfe\xff":
        return speakers_of(int.from_bytes(data[i + 28:i + 32], "little"))
    return [FAAD_NAMES[m] for m in re.findall(r"\| \d\d \| (.+?)\s+\|", r.stdout + r.stderr)]


class Layouts(Workdir):
    # name, WAV channel mask (the input's channels in mask order)
    LAYOUTS = [("3.0", 0x7), ("4.0", 0x107), ("5.0", 0x37), ("5.1", 0x3F), ("5.1 side", 0x60F), ("7.1", 0x63F)]

    def test_each_speaker_reaches_the_same_speaker_in_both_decoders(self):
        for name, mask in self.LAYOUTS:
            with self.subTest(name):
                # The surround pair of 5.0 and 5.1 is the configuration's one pair, which the
                # decoders call the back pair, whether the input places it at the back or the side.
                speakers = [SIDE_AS_BACK.get(s, s) if mask & 0x600 and not mask & 0x30 else s
                            for s in speakers_of(mask)]
                n = len(speakers)
                tones = {s: 60.0 if s == "LFE" else 400.0 + 170 * i for i, s in enumerate(speakers)}
                t = np.arange(RATE * 2) / RATE
                x = np.stack([4000 * np.sin(2 * np.pi * tones[s] * t) for s in speakers], axis=1)
                wav, mp4 = self.path("in.wav"), self.path("out.mp4")
                write_wav(wav, x.astype(np.int16), RATE, extensible=True, mask=mask)
                rate = 64000 * n
                r = subprocess.run([ENCODER, "-q", wav, mp4, str(rate)], capture_output=True)
                self.assertEqual((r.returncode, r.stderr), (0, b""))

                frames = audio_samples(read_bytes(mp4))
                self.assertLessEqual(max(len(f) for f in frames), 768 * n)
                # The rate holds, up to what the reservoir held at the start (6144 bits a channel).
                seconds = len(frames) * 1024 / RATE
                spent = sum(len(f) for f in frames) * 8 / seconds
                self.assertGreater(spent, 0.85 * rate)
                self.assertLess(spent, rate + 6144 * n / seconds)

                layout = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "stream=channel_layout", "-of",
                                         "csv=p=0", mp4], capture_output=True, text=True).stdout.strip()
                ff, warnings = ffmpeg_decode(mp4, n, native=True)
                self.assertEqual(warnings, "")
                fa, problems = faad_decode(mp4, n)
                self.assertEqual(problems, [])
                decoded = {}
                for decoder, data, names in (("ffmpeg", ff, FFMPEG_LAYOUTS[layout].split()),
                                             ("faad", fa, faad_speakers(mp4))):
                    self.assertEqual(sorted(names), sorted(speakers), decoder)
                    middle = data[4096:len(x) - 4096 - 1024]
                    for c, s in enumerate(names):
                        levels = {k: tone_level(middle[:, c], f) for k, f in tones.items()}
                        self.assertEqual(max(levels, key=levels.get), s, "%s channel %d" % (decoder, c))
                        self.assertAlmostEqual(levels[s] / 4000, 1.0, delta=0.1)
                    decoded[decoder] = {s: data[:, c] for c, s in enumerate(names)}
                # ffmpeg at lag 0, and faad agreeing with it.
                for s in speakers:
                    self.assertGreater(snr_db(x[:, speakers.index(s)], decoded["ffmpeg"][s][:len(x)]), 30, s)
                both = [np.stack([decoded[d][s] for s in speakers], axis=1) for d in ("ffmpeg", "faad")]
                self.assertGreaterEqual(np.min(frame_agreement_db(both[0], both[1])), 70)

    def test_layouts_no_configuration_states_are_refused_with_their_speakers(self):
        for mask, reason in ((0x33, "4 channels at L R Lb Rb"), (0x13F, "7 channels at L R C LFE Lb Rb Cb")):
            with self.subTest(reason):
                wav = self.path("in.wav")
                write_wav(wav, np.zeros((4096, bin(mask).count("1")), dtype=np.int16), RATE, extensible=True, mask=mask)
                r = subprocess.run([ENCODER, "-q", wav, self.path("out.mp4"), "256k"], capture_output=True, text=True)
                self.assertEqual(r.returncode, 1)
                self.assertIn(reason, r.stderr)
                self.assertIn("--downmix", r.stderr)


if __name__ == "__main__":
    unittest.main()
