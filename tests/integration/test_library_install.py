"""The library as another program meets it: installed into a prefix, found by pkg-config and by
CMake's find_package, static and shared, and the example built against it writes an ADTS stream
that ffmpeg decodes without a warning, at lag 0 after the stated delay, as well as the program
codes the same tone."""
import os
import subprocess
import tempfile
import unittest

import numpy as np

from varnel_testlib import FFMPEG_ADTS_NOTE, DELAY, encode, ffmpeg_decode, snr_db, wav_bytes, write_bytes

BUILD = os.environ.get("VARNEL_BUILD_DIR", "")
SOURCE = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
EXAMPLE = os.path.join(SOURCE, "examples", "tone_adts.c")
STRICT_C = ["-std=c99", "-Wall", "-Wextra", "-pedantic", "-Werror"]
# What ffmpeg says of every raw ADTS stream, its own encoder's included: the stream has no index.

FIND_PACKAGE_PROJECT = """cmake_minimum_required(VERSION 3.16)
project(tone C)
find_package(VarnelAac 0.1 REQUIRED)
add_executable(tone_adts %s)
target_link_libraries(tone_adts PRIVATE VarnelAac::varnel_aac m)
"""


def run(cmd, env=None, **kw):
    r = subprocess.run(cmd, capture_output=True, env=env, **kw)
    if r.returncode != 0:
        raise AssertionError("%s failed (%d):\n%s%s" % (" ".join(cmd), r.returncode, r.stdout.decode(errors="replace"),
                                                       r.stderr.decode(errors="replace")))
    return r


def tone(rate, channels, seconds):
    """The example's signal: channel c a sine of 1000 (c + 1) Hz at half of full scale, 16-bit scale."""
    n = np.arange(int(seconds * rate), dtype=np.float64)
    cols = [(0.5 * np.sin(2 * np.pi * 1000.0 * (c + 1) * n / rate)).astype(np.float32) for c in range(channels)]
    return np.stack(cols, axis=1).astype(np.float64) * 32768.0


def adts_payloads(data):
    """Access units of an ADTS stream, checking each 7-byte header (no CRC) on the way."""
    units, pos = [], 0
    while pos < len(data):
        h = data[pos:pos + 7]
        assert h[0] == 0xFF and h[1] == 0xF1, "no ADTS sync without CRC at %d" % pos
        length = ((h[3] & 3) << 11) | (h[4] << 3) | (h[5] >> 5)
        units.append(data[pos + 7:pos + length])
        pos += length
    return units


@unittest.skipIf(not BUILD or os.environ.get("VARNEL_SANITIZE") == "ON",
                 "needs the release build tree (a sanitizer build's library needs the sanitizer runtimes)")
class InstalledLibrary(unittest.TestCase):
    RATE, CHANNELS, BIT_RATE, SECONDS = 44100, 2, 128000, 3.0

    def setUp(self):
        self._tmp = tempfile.TemporaryDirectory()
        self.dir = self._tmp.name

    def tearDown(self):
        self._tmp.cleanup()

    def path(self, *names):
        return os.path.join(self.dir, *names)

    def install(self, build, prefix):
        run(["cmake", "--install", build, "--prefix", prefix])
        env = dict(os.environ, PKG_CONFIG_PATH=os.path.join(prefix, "lib", "pkgconfig"))
        flags = run(["pkg-config", "--cflags", "--libs", "varnel-aac"], env=env).stdout.decode().split()
        return flags

    def build_with_pkg_config(self, flags, out):
        """The example against the installed header (as strict C99) and library."""
        run(["cc", *STRICT_C, EXAMPLE, *flags, "-lm", "-o", out])

    def run_example(self, exe, out, env=None):
        run([exe, out, str(self.RATE), str(self.CHANNELS), str(self.BIT_RATE), str(self.SECONDS)], env=env)
        with open(out, "rb") as f:
            return f.read()

    def test_static_library_through_pkg_config_and_find_package(self):
        prefix = self.path("prefix")
        flags = self.install(BUILD, prefix)
        self.assertTrue(os.path.exists(os.path.join(prefix, "bin", "VarnelAacEnc")))
        self.build_with_pkg_config(flags, self.path("tone_pc"))
        project = self.path("project")
        os.mkdir(project)
        write_bytes(os.path.join(project, "CMakeLists.txt"), (FIND_PACKAGE_PROJECT % EXAMPLE).encode())
        run(["cmake", "-S", project, "-B", os.path.join(project, "build"), "-DCMAKE_PREFIX_PATH=" + prefix])
        run(["cmake", "--build", os.path.join(project, "build")])

        stream = self.run_example(self.path("tone_pc"), self.path("pc.aac"))
        self.assertEqual(self.run_example(os.path.join(project, "build", "tone_adts"), self.path("cmake.aac")), stream)
        frames = -(-int(self.SECONDS * self.RATE) // 1024)
        self.assertEqual(len(adts_payloads(stream)), frames + 2)

        decoded, warnings = ffmpeg_decode(self.path("pc.aac"), self.CHANNELS)
        lines = [l for l in warnings.splitlines() if FFMPEG_ADTS_NOTE not in l]
        self.assertEqual(lines, [])
        reference = tone(self.RATE, self.CHANNELS, self.SECONDS)
        self.assertGreaterEqual(len(decoded), DELAY + len(reference))
        body = decoded[DELAY:DELAY + len(reference)]
        # Lag 0 after the delay: no shift within half a period of the 1000 Hz tone matches better.
        middle = slice(4096, len(reference) - 4096)
        lags = range(-20, 21)
        match = [float(np.sum(reference[middle, 0] * decoded[DELAY + lag:][middle, 0])) for lag in lags]
        self.assertEqual(lags[int(np.argmax(match))], 0)
        example_snr = snr_db(reference, body)

        # The program on the same tone (a float WAV file of the same samples), decoded through
        # its edit list.
        wav, mp4 = self.path("tone.wav"), self.path("tone.mp4")
        raw = (reference / 32768.0).astype("<f4").tobytes()
        write_bytes(wav, wav_bytes(None, self.RATE, channels=self.CHANNELS, bits=32, fmt_tag=3, raw=raw))
        r = encode(wav, mp4, self.BIT_RATE)
        self.assertEqual(r.returncode, 0, r.stderr)
        program, _ = ffmpeg_decode(mp4, self.CHANNELS)
        program_snr = snr_db(reference, program)
        self.assertGreater(example_snr, 40.0)
        self.assertLess(abs(example_snr - program_snr), 0.5, (example_snr, program_snr))

    def test_shared_library_has_a_soname_and_gives_the_same_stream(self):
        build, prefix = self.path("build-shared"), self.path("prefix-shared")
        run(["cmake", "-S", SOURCE, "-B", build, "-DBUILD_SHARED_LIBS=ON", "-DVARNEL_BUILD_TESTS=OFF",
             "-DCMAKE_BUILD_TYPE=Release"])
        run(["cmake", "--build", build, "--target", "varnel_aac", "VarnelAacEnc", "-j2"])
        flags = self.install(build, prefix)
        lib = os.path.join(prefix, "lib")
        soname = [l for l in run(["readelf", "-d", os.path.join(lib, "libvarnel_aac.so")]).stdout.decode().splitlines()
                  if "SONAME" in l]
        self.assertEqual(len(soname), 1)
        self.assertIn("[libvarnel_aac.so.0]", soname[0])
        self.assertTrue(os.path.islink(os.path.join(lib, "libvarnel_aac.so.0")))
        # Only the interface's functions are exported.
        exported = run(["nm", "-D", "--defined-only", os.path.join(lib, "libvarnel_aac.so")]).stdout.decode().split()
        names = [w for w in exported if w.startswith(("varnel", "_Z"))]
        self.assertTrue(names and all(n.startswith("varnel_aac_") for n in names), names)

        # Linked with the rpath the README gives, the example finds the library outside the
        # system's paths without LD_LIBRARY_PATH.
        self.build_with_pkg_config(flags + ["-Wl,-rpath," + lib], self.path("tone_shared"))
        shared = self.run_example(self.path("tone_shared"), self.path("shared.aac"))
        static = self.run_example(os.path.join(BUILD, "examples", "tone_adts"), self.path("static.aac"))
        self.assertEqual(shared, static)


if __name__ == "__main__":
    unittest.main()
