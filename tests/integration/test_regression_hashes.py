"""Byte-exact output: a fixed set of generated signals encodes to recorded files.

Speed work must not change a single output byte, so each case compares the SHA-256 of the MP4
file with the value recorded from the encoder before that work started, and encoding the same
input twice must give the same bytes. The input WAV's own SHA-256 is recorded too: if the signal
generator (numpy) produced different samples, the test says so instead of blaming the encoder.

To record new values after an intended change of the output, run with VARNEL_PRINT_HASHES=1 and
copy the printed table into CASES. Changes so far: the 22050 Hz files gained the 3 bytes of the
AudioSpecificConfig that state that no SBR data follows (their audio frames stayed the same);
the noise substitution case changed with the energy limit of coded bands and the mean noise
energy of short-window groups.
"""
import hashlib
import os
import tempfile
import unittest

import signals
from varnel_testlib import encode, encode_with, read_bytes, write_wav

# name: (signal, rate, channels, seconds, bit rate argument, option bits, mid/side,
#        input SHA-256, output SHA-256). Option bits: 1 TNS (the program's default), 2 noise
#        substitution; the default settings go through the program itself.
CASES = {
    "music_stereo_44100_128k": ("music", 44100, 2, 3.0, "128k", 1, True,
                                "1d2f9e3450977c84587434231cac88961c3c7d96a2d64f54bb2a8c438b0810f9",
                                "5a07873dcd94f31d134a310dec1960e4f199544c4b83ceaec4a2021edeff1a2b"),
    "music_stereo_44100_64k": ("music", 44100, 2, 3.0, "64k", 1, True,
                               "1d2f9e3450977c84587434231cac88961c3c7d96a2d64f54bb2a8c438b0810f9",
                               "cc7c2371957a45eb5c23cdc1131a596653ef8af0ace76ff92135341946884efc"),
    "music_mono_48000_64k": ("music", 48000, 1, 2.5, "64k", 1, True,
                             "2756dfd676890068a3ab9e96ff93928c6117f5f660ac36d18dbc62a5d0864254",
                             "0ecf47f8b14fefecff19630b421db47a9acae99ad71b0cfa8e35078fa1ac2a2a"),
    "music_stereo_22050_40k": ("music", 22050, 2, 3.0, "40k", 1, True,
                               "0d5b8efb4beecac9140402c51812f600d3e623c7ca2847b051f0ecae5edf6e70",
                               "e22113ae16e779775fe1751f6118d12982c38613efd11b4a303c3816b75c3fae"),
    "clicks_stereo_48000_128k": ("clicks", 48000, 2, 2.0, "128k", 1, True,
                                 "b90cf6514806821eb7b4f5b213c4a266d085e148d8251d89b2b05052a9fdfcbb",
                                 "637bfc57d960ba441008eb5a0d40b18bbe6505c7bbbc3d347696512cbdd63ed3"),
    "clicks_mono_22050_32k": ("clicks", 22050, 1, 3.0, "32k", 1, True,
                              "756e4ed1752c15c51df917fdc46ce0450543f38a983b9dbc39ee629eed6b0086",
                              "a6afcc2f4d4c3e9eb895f89e895d2e3a34f33b06c00b48f43fe8ece2cf4650d2"),
    "clicks_mono_44100_96k": ("clicks", 44100, 1, 2.0, "96k", 1, True,
                              "7ecc8a0f13ecd57dac98a5bbc9d4d803c403e5f12d49dbed41adf89e22a20256",
                              "4d52089b38f434c3132a1c66dce4c5161876f87555368a0f6119f604ec3e7de7"),
    "music_stereo_48000_96k_pns": ("music", 48000, 2, 2.0, "96k", 3, True,
                                   "ebc7b55225e4902e740c995749868d0c10ce99de56447a69489fabe2f9ea5a90",
                                   "c46c9d2504118d60df3ba6833a210fbda10cadb76da8f74a7c50e89edfd1b0c2"),
    "clicks_stereo_44100_64k_lr": ("clicks", 44100, 2, 2.0, "64k", 0, False,
                                   "fc077d56f14a7001a479a2acebcf394b2b9b1702c2dacf6a75b1ac1d9ef491e0",
                                   "dc9d13c9603ef78a70e3ae277d0cd358155436d3895d05654eb56dd345d57983"),
}

GENERATORS = {"music": signals.music, "clicks": signals.clicks}


def sha256(path):
    return hashlib.sha256(read_bytes(path)).hexdigest()


class RegressionHashes(unittest.TestCase):
    def setUp(self):
        self._tmp = tempfile.TemporaryDirectory()
        self.dir = self._tmp.name

    def tearDown(self):
        self._tmp.cleanup()

    def _encode(self, case, wav, out):
        _, _, _, _, rate_arg, options, mid_side, _, _ = case
        if options == 1 and mid_side:
            r = encode(wav, out, rate_arg)
        else:
            r = encode_with(wav, out, rate_arg, options=options, mid_side=mid_side)
        self.assertEqual(r.returncode, 0, r.stderr.decode(errors="replace"))
        return sha256(out)

    def test_outputs_match_recorded_hashes_and_repeat(self):
        printed = []
        for name, case in CASES.items():
            kind, rate, channels, seconds, _, _, _, input_hash, output_hash = case
            with self.subTest(name):
                wav = os.path.join(self.dir, name + ".wav")
                write_wav(wav, GENERATORS[kind](rate, seconds, channels=channels), rate)
                first = self._encode(case, wav, os.path.join(self.dir, name + "_1.mp4"))
                second = self._encode(case, wav, os.path.join(self.dir, name + "_2.mp4"))
                printed.append("%s: input %s output %s" % (name, sha256(wav), first))
                self.assertEqual(first, second, "two encodes of the same input differ")
                self.assertEqual(sha256(wav), input_hash,
                                 "the generated input changed (numpy's generator?), not the encoder")
                self.assertEqual(first, output_hash, "the encoder's output changed")
        if os.environ.get("VARNEL_PRINT_HASHES"):
            print("\n" + "\n".join(printed))


if __name__ == "__main__":
    unittest.main()
