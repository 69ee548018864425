"""Window sequences always join: on signals that make the block switching work hard (noise,
bursts at independent times in each channel, bursts while the bit reservoir runs low, several
rates, low and high bit rates, TNS on and off), every coded block's window fits the one before
it, a channel pair always shares its window, and ffmpeg and faad decode every frame alike."""
import os
import tempfile
import unittest

import numpy as np

import signals
from varnel_testlib import (audio_samples, encode_with, faad_decode, ffmpeg_decode, frame_agreement_db,
                            frame_window_info, read_bytes, write_wav)

# Sequences that may follow each one: a long right slope (ONLY_LONG 0, LONG_STOP 3) joins a
# long left slope (ONLY_LONG, LONG_START 1), a short one (LONG_START, EIGHT_SHORT 2) a short one.
JOINS = {0: {0, 1}, 3: {0, 1}, 1: {2, 3}, 2: {2, 3}}
SECONDS = 6


def cases():
    for rate in (48000, 22050):
        stereo = [("pink noise", signals.pink_noise(rate, SECONDS)),
                  ("independent bursts", signals.bursts(rate, SECONDS, interval=0.1)),
                  ("clicks", signals.clicks(rate, SECONDS, channels=2, interval=0.05))]
        mono = [("bursts", signals.bursts(rate, SECONDS, channels=1, interval=0.1)),
                ("music", signals.music(rate, SECONDS, channels=1))]
        for name, pcm in stereo + mono:
            per_channel = 32000 if rate > 24000 else 16000
            # The low rate drains the reservoir, so that pending short blocks are cut.
            for bit_rate in (per_channel * pcm.shape[1], 4 * per_channel * pcm.shape[1]):
                for options in (1, 0):
                    yield name, rate, pcm, bit_rate, options


class WindowSequences(unittest.TestCase):
    def test_every_block_joins_the_one_before_and_decoders_agree(self):
        with tempfile.TemporaryDirectory() as d:
            wav, mp4 = os.path.join(d, "in.wav"), os.path.join(d, "out.mp4")
            for name, rate, pcm, bit_rate, options in cases():
                with self.subTest(signal=name, rate=rate, bit_rate=bit_rate, tns=options):
                    channels = pcm.shape[1]
                    write_wav(wav, pcm, rate)
                    r = encode_with(wav, mp4, bit_rate, options=options)
                    self.assertEqual(r.returncode, 0, r.stderr.decode())
                    info = [frame_window_info(f) for f in audio_samples(read_bytes(mp4))]
                    if channels == 2:
                        self.assertTrue(all(i[1] == 1 for i in info), "a pair without a common window")
                    seqs = [i[2] for i in info]
                    bad = [(k, seqs[k - 1], seqs[k]) for k in range(1, len(seqs)) if seqs[k] not in JOINS[seqs[k - 1]]]
                    self.assertEqual(bad, [], "blocks that do not join the one before")
                    ff, warnings = ffmpeg_decode(mp4, channels)
                    self.assertEqual(warnings, "")
                    fa, problems = faad_decode(mp4, channels, rate)
                    self.assertEqual(problems, [])
                    agreement = frame_agreement_db(ff, fa)
                    worst = int(np.argmin(agreement))
                    self.assertGreaterEqual(agreement[worst], 70.0, "frame %d" % worst)


if __name__ == "__main__":
    unittest.main()
