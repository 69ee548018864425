"""The program as a user meets it: console texts, exit statuses, refusal of bad input, the MP4
file layout, and decoders reading every sampling rate and length."""
import os
import shutil
import struct
import subprocess
import unittest

import numpy as np

import signals
from varnel_testlib import (Workdir, read_bytes, write_bytes, AAC_RATES, ENCODER, GSTREAMER_START_SKIP, Box, audio_samples,
                            encode, faad_decode, ffmpeg_decode, ffprobe_presented_samples, gstreamer_decode,
                            parse_boxes, snr_db, table_entries, wav_bytes, write_wav)

STARS65 = "*" * 65 + "\n"
STARS61 = "*" * 61 + "\n"
USAGE = "Usage: VarnelAacEnc InputFileName.wav OutputMP4FileName.mp4 TotalBitRate\n"
INPUT_FAIL = " Input file unable to open... \n press any key to continue ...\n"
OUTPUT_FAIL = " Output file unable to open \n press any key to continue ..\n"


def run(*args):
    r = subprocess.run([ENCODER, *args], capture_output=True)
    return r.returncode, r.stdout.decode(), r.stderr.decode()


def banner(inp, out, rate):
    return " Input file: %s\n Output file: %s\n BitRate: %d\n%s" % (inp, out, rate, STARS61)


def assert_presents_exactly(test, mp4, decoded, samples):
    """The container presents exactly `samples` per channel after the edit list. ffmpeg trims the
    encoder delay at the start; whether its decoder also cuts the last frame short depends on its
    version, so the decoded length is S, or S rounded up to whole frames."""
    test.assertEqual(ffprobe_presented_samples(mp4), samples)
    test.assertIn(len(decoded), (samples, -(-samples // 1024) * 1024))


def tree(data):
    root = Box(b"root", 0, len(data), b"")
    root.children = parse_boxes(data)
    return root


class ConsoleAndExitStatus(Workdir):
    def test_usage_help_and_missing_arguments(self):
        code, out, err = run()
        self.assertEqual((code, out), (1, STARS65 + USAGE + STARS65))
        self.assertIn("no arguments", err)
        for help_args in (["-h"], ["-h", "a", "b", "c"], ["--help"], ["--help", "x"]):
            code, out, err = run(*help_args)
            self.assertEqual((code, err), (0, ""), help_args)
            # The usage block, then one line per option.
            self.assertTrue(out.startswith(STARS65 + USAGE + STARS65), out)
            self.assertIn("  --pns ", out)
        for args in (["a.wav"], ["a.wav", "b.mp4"]):
            code, out, err = run(*args)
            self.assertEqual((code, out), (1, STARS65 + "Insufficient number of arguments \n" + USAGE + STARS65))
            self.assertIn("%d argument" % len(args), err)

    def test_bad_bit_rates_are_refused_and_128k_accepted(self):
        wav, mp4 = self.path("in.wav"), self.path("out.mp4")
        write_wav(wav, np.zeros(3000, dtype=np.int16), 44100)
        for bad in ["0", "-5", "abc", "12x"]:
            code, out, err = run(wav, mp4, bad)
            self.assertEqual(code, 1, bad)
            self.assertEqual(out, STARS65 + USAGE + STARS65, bad)
            self.assertIn("bit rate", err)
            self.assertFalse(os.path.exists(mp4))
        code, out, err = run(wav, mp4, "128k")
        self.assertEqual(code, 0, err)
        self.assertIn(" BitRate: 128000\n", out)

    def test_complete_run_prints_progress_and_count(self):
        wav, mp4 = self.path("in.wav"), self.path("out.mp4")
        write_wav(wav, np.zeros((1024 * 3 + 5, 2), dtype=np.int16), 48000)
        code, out, err = run(wav, mp4, "96000")
        self.assertEqual(code, 0, err)
        frames = 4 + 2
        progress = "".join("Encoding frame: {%d } \r" % i for i in range(frames))
        tail = "Encoded %d Frames.%s\n" % (frames, " " * 24)
        self.assertTrue(out.startswith(STARS65), out)
        lines = out[len(STARS65):].split("\n", 1)
        self.assertTrue(lines[0])  # the banner line
        self.assertEqual(lines[1], banner(wav, mp4, 96000)[len(""):] + progress + tail)

    def test_rate_above_frame_capacity_is_lowered(self):
        wav, mp4 = self.path("in.wav"), self.path("out.mp4")
        write_wav(wav, np.zeros(2048, dtype=np.int16), 8000)
        # Rates beyond 32 bits are lowered like any other excessive rate.
        for rate in ("1000000", "2147483648", "2147484k", "999999999999", "9" * 30):
            code, out, err = run(wav, mp4, rate)
            self.assertEqual(code, 0, err)
            self.assertIn(" BitRate: 48000\n", out)
            self.assertEqual(err, "VarnelAacEnc: bit rate %s is above the 48000 bit/s one frame can carry; "
                                  "using 48000\n" % rate)

    def test_rate_below_the_smallest_frames_is_refused(self):
        # Every frame takes at least 32 bits (mono) or 48 (stereo): a lower rate cannot be
        # produced. A bare "128" is most likely meant as 128k.
        for channels, lowest in ((1, 1378), (2, 2067)):
            wav, mp4 = self.path("in.wav"), self.path("out%d.mp4" % channels)
            write_wav(wav, np.zeros((44100, channels), dtype=np.int16), 44100)
            for rate, hint in (("128", True), ("999", True), (str(lowest - 1), False)):
                code, out, err = run(wav, mp4, rate)
                self.assertEqual((code, out), (1, STARS65 + USAGE + STARS65), rate)
                self.assertEqual(err.count("\n"), 1, err)
                self.assertIn("below %d bit/s" % lowest, err)
                self.assertEqual("did you mean %sk?" % rate in err, hint, err)
                self.assertFalse(os.path.exists(mp4))
            code, _, err = run(wav, mp4, str(lowest))
            self.assertEqual((code, err), (0, ""))
            frames = audio_samples(read_bytes(mp4))
            self.assertEqual(8 * sum(len(f) for f in frames) * 44100 // (1024 * len(frames)), lowest)

    def test_quiet_progress_and_counts_past_65535_frames(self):
        wav, mp4 = self.path("in.wav"), self.path("out.mp4")
        write_wav(wav, np.zeros((1024 * 40, 2), dtype=np.int16), 48000)
        head = STARS65 + "VarnelAacEnc MPEG-4 AAC-LC encoder\n" + banner(wav, mp4, 96000)
        tail = "Encoded 42 Frames.%s\n" % (" " * 24)
        # (options, standard output, what standard error holds)
        for options, expected_out, err_part in ((["-q"], "", None), (["--quiet"], "", None),
                                                (["--progress"], head + tail, "100.0%"),
                                                (["--quiet", "--progress"], "", "100.0%")):
            code, out, err = run(*options, wav, mp4, "96000")
            self.assertEqual((code, out), (0, expected_out), options)
            if err_part is None:
                self.assertEqual(err, "", options)
            else:
                self.assertIn(err_part, err)
                self.assertTrue(err.endswith("\n") and len(err) < 400, err)
        # A failure still gives its one reason line.
        code, out, err = run("-q", self.path("missing.wav"), mp4, "96000")
        self.assertEqual((code, out, err.count("\n")), (1, "", 1))
        # The frame count is not taken modulo 65536: 65537 frames of silence and two to flush.
        n = 1024 * 65537
        header = wav_bytes(np.zeros((0, 1), dtype=np.int16), 8000)[:-8] + b"data" + struct.pack("<I", 2 * n)
        header = header[:4] + struct.pack("<I", len(header) - 8 + 2 * n) + header[8:]
        r = subprocess.run([ENCODER, "-", self.path("long.aac"), "16k"], input=header + bytes(2 * n),
                           capture_output=True)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertTrue(r.stdout.decode().endswith("Encoding frame: {65538 } \rEncoded 65539 Frames.%s\n" % (" " * 24)))


class BadInput(Workdir):
    def expect_input_failure(self, wav, reason):
        mp4 = self.path("out.mp4")
        code, out, err = run(wav, mp4, "64000")
        self.assertEqual(code, 1, (wav, out, err))
        self.assertTrue(out.endswith(INPUT_FAIL), out)
        self.assertIn(reason, err)
        self.assertFalse(os.path.exists(mp4))

    def test_unreadable_and_unsupported_files(self):
        tone = (np.sin(np.arange(4096) * 0.1) * 1000).astype(np.int16)
        cases = {
            "missing": (None, "cannot be opened"),
            "directory": ("dir", "directory"),
            "empty": (b"", "no RIFF header"),
            "not riff": (b"\x01\x02" * 3000, "no RIFF header"),
            "truncated": (wav_bytes(tone, 44100)[:30], "truncated"),
            "a-law": (wav_bytes(None, 8000, channels=1, bits=8, fmt_tag=6, raw=b"\x55" * 100), "0x0006"),
            "16-bit float": (wav_bytes(None, 44100, channels=1, bits=16, fmt_tag=3, raw=b"\0" * 100), "16-bit float"),
            "0 channels": (wav_bytes(None, 44100, channels=0, raw=b""), "0 channels"),
            "9 channels": (wav_bytes(None, 44100, channels=9, raw=b"\0" * 1800), "9 channels"),
        }
        for name, (content, reason) in cases.items():
            with self.subTest(name):
                p = self.path(name.replace(" ", "_") + ".wav")
                if content == "dir":
                    os.mkdir(p)
                elif content is not None:
                    write_bytes(p, content)
                self.expect_input_failure(p, reason)

    def test_invalid_sampling_rate(self):
        wav, mp4 = self.path("in.wav"), self.path("out.mp4")
        write_wav(wav, np.zeros(4096, dtype=np.int16), 500)  # below any rate that is converted
        code, out, err = run(wav, mp4, "64000")
        self.assertEqual(code, 1)
        self.assertTrue(out.endswith(STARS61 + "Invalid sampling frequency \n"), out)
        self.assertFalse(os.path.exists(mp4))

    def test_output_failures_keep_existing_files(self):
        wav = self.path("in.wav")
        write_wav(wav, np.zeros(4096, dtype=np.int16), 44100)
        before = read_bytes(wav)
        code, out, err = run(wav, wav, "64000")
        self.assertEqual(code, 1)
        self.assertTrue(out.endswith(OUTPUT_FAIL), out)
        self.assertEqual(read_bytes(wav), before)
        code, out, err = run(wav, self.path("no/such/dir/out.mp4"), "64000")
        self.assertEqual(code, 1)
        self.assertTrue(out.endswith(OUTPUT_FAIL), out)
        self.assertEqual(sorted(os.listdir(self.dir)), ["in.wav"])

    def test_chunks_around_data_and_oversized_data_size(self):
        tone = (np.sin(np.arange(5000) * 0.05) * 3000).astype(np.int16)
        wav = self.path("chunks.wav")
        write_bytes(wav, wav_bytes(tone, 44100, before=[(b"LIST", b"x" * 33)],
                                        after=[(b"LIST", b"\x7f" * 4000)]))
        mp4 = self.path("chunks.mp4")
        code, _, err = run(wav, mp4, "64000")
        self.assertEqual(code, 0, err)
        decoded, warnings = ffmpeg_decode(mp4, 1)
        self.assertEqual(warnings, "")
        assert_presents_exactly(self, mp4, decoded, 5000)
        wav = self.path("past_end.wav")
        write_bytes(wav, wav_bytes(tone, 44100, data_size=10 ** 9))
        code, _, err = run(wav, mp4, "64000")
        self.assertEqual(code, 0, err)
        decoded, _ = ffmpeg_decode(mp4, 1)
        assert_presents_exactly(self, mp4, decoded, 5000)


class FileLayout(Workdir):
    def test_layout_of_the_encoders_file(self):
        wav, mp4 = self.path("in.wav"), self.path("out.mp4")
        samples = 10540
        write_wav(wav, np.zeros((samples, 2), dtype=np.int16), 44100)
        code, _, err = run(wav, mp4, "128000")
        self.assertEqual(code, 0, err)
        data = read_bytes(mp4)
        n = -(-samples // 1024) + 2
        top = parse_boxes(data)
        self.assertEqual([b.kind for b in top], [b"ftyp", b"mdat", b"moov"])
        ftyp, mdat, moov = top
        self.assertEqual(ftyp.size, 28)
        self.assertEqual(ftyp.payload, b"3gp5" + struct.pack(">I", 0x100) + b"3gp53gp4mp41")
        self.assertEqual(mdat.offset, 28)
        self.assertEqual(data[36:55], bytes.fromhex("01808080 0E118080 80 09029F0F 80808002 0001".replace(" ", "")))
        self.assertEqual(data[55:63], bytes.fromhex("C0101281302A057C"))
        self.assertEqual(moov.size, 1510 + 4 * n)
        self.assertEqual([c.kind for c in moov.children], [b"mvhd", b"iods", b"trak", b"trak", b"trak"])
        mvhd, iods, scene, od, audio = moov.children
        self.assertEqual(mvhd.size, 108)
        self.assertEqual(iods.size, 42)
        self.assertEqual(iods.payload[4:], bytes.fromhex(
            "10808080 19 004F FFFFFFFFFF 0E80808004 00000002 0E80808004 00000001".replace(" ", "")))
        self.assertEqual((scene.size, od.size, audio.size), (428, 440, 484 + 4 * n))
        self.assertEqual([c.kind for c in audio.children], [b"tkhd", b"edts", b"mdia"])
        self.assertEqual([c.kind for c in od.children], [b"tkhd", b"tref", b"mdia"])
        elst = audio.find("edts/elst")[0]
        self.assertEqual(elst.payload, struct.pack(">IIIIHH", 0, 1, samples, 2048, 1, 0))
        self.assertEqual(audio.find("tkhd")[0].u32(20), samples)  # tkhd duration
        self.assertEqual(mvhd.u32(16), samples)  # mvhd duration
        mdhd = audio.find("mdia/mdhd")[0]
        self.assertEqual((mdhd.u32(12), mdhd.u32(16)), (44100, 1024 * n))
        stbl = audio.find("mdia/minf/stbl")[0]
        self.assertEqual([c.kind for c in stbl.children], [b"stsd", b"stts", b"stsc", b"stsz", b"stco"])
        self.assertEqual(table_entries(stbl.find("stsc")[0], 3), [(1, n, 1)])
        self.assertEqual(table_entries(stbl.find("stco")[0], 1), [(63,)])
        self.assertEqual(table_entries(stbl.find("stts")[0], 2), [(n, 1024)])
        sizes = table_entries(stbl.find("stsz")[0], 1)
        self.assertEqual(mdat.size, 8 + 19 + 8 + sum(sizes))
        esds = stbl.find("stsd/mp4a")[0].payload[28:]
        self.assertIn(bytes([0x05, 0x80, 0x80, 0x80, 0x02, 0x12, 0x10]), esds)

    def test_other_readers_accept_the_file(self):
        # mediainfo, AtomicParsley and gstreamer's qtdemux, each when installed.
        import json
        wav, mp4 = self.path("in.wav"), self.path("out.mp4")
        samples = 3 * 44100 + 123
        t = np.arange(samples) / 44100.0
        tone = (8000 * np.sin(2 * np.pi * 440 * t)).astype(np.int16)
        write_wav(wav, np.stack([tone, tone], axis=1), 44100)
        code, _, err = run(wav, mp4, "128000")
        self.assertEqual(code, 0, err)
        if shutil.which("mediainfo"):
            info = json.loads(subprocess.run(["mediainfo", "--Output=JSON", mp4], capture_output=True,
                                             check=True).stdout)
            audio = [t for t in info["media"]["track"] if t["@type"] == "Audio"]
            self.assertEqual(len(audio), 1)
            self.assertEqual((audio[0]["Format"], audio[0]["SamplingRate"], audio[0]["Channels"]),
                             ("AAC", "44100", "2"))
            # mediainfo states the duration in whole milliseconds (and counts samples from it).
            self.assertAlmostEqual(float(audio[0]["Duration"]), samples / 44100.0, delta=0.001)
        if shutil.which("AtomicParsley"):
            r = subprocess.run(["AtomicParsley", mp4, "-T"], capture_output=True)
            listing = r.stdout.decode(errors="replace") + r.stderr.decode(errors="replace")
            self.assertEqual(r.returncode, 0)
            self.assertNotIn("error", listing.lower())
            for atom in ("moov", "trak", "elst", "mp4a", "esds", "stsz"):
                self.assertIn("Atom " + atom, listing)
        if shutil.which("gst-launch-1.0"):
            r = subprocess.run(["gst-launch-1.0", "filesrc", "location=" + mp4, "!", "qtdemux", "!", "fakesink"],
                               capture_output=True)
            log = r.stdout.decode(errors="replace") + r.stderr.decode(errors="replace")
            self.assertEqual(r.returncode, 0, log)
            self.assertIn("Got EOS", log)
            self.assertNotIn("WARNING", log)
            self.assertNotIn("ERROR", log)

    def test_audio_specific_config_for_every_rate(self):
        for index, rate in enumerate(AAC_RATES):
            for channels in (1, 2):
                wav, mp4 = self.path("in.wav"), self.path("out.mp4")
                write_wav(wav, np.zeros((100, channels), dtype=np.int16), rate)
                code, _, err = run(wav, mp4, str(32000 * channels))
                self.assertEqual(code, 0, err)
                moov = parse_boxes(read_bytes(mp4))[2]
                esds = moov.children[4].find("mdia/minf/stbl/stsd/mp4a")[0].payload[28:]
                asc = struct.pack(">H", (2 << 11) | (index << 7) | (channels << 3))
                if rate <= 24000:  # syncExtensionType 0x2B7, SBR (5), sbrPresentFlag 0
                    asc += bytes([0x56, 0xE5, 0x00])
                self.assertIn(bytes([0x05, 0x80, 0x80, 0x80, len(asc)]) + asc, esds, (rate, channels))
        self.assertEqual((2 << 11) | (4 << 7) | (2 << 3), 0x1210)
        self.assertEqual((2 << 11) | (3 << 7) | (1 << 3), 0x1188)
        self.assertEqual((2 << 11) | (7 << 7) | (1 << 3), 0x1388)


class DecodersReadEveryRateAndLength(Workdir):
    def test_all_rates_channels_and_lengths(self):
        rng = np.random.default_rng(5)
        for rate in AAC_RATES:
            for channels in (1, 2):
                for samples in (1, 500, 1024, 10240, 10540, 5 * rate):
                    with self.subTest(rate=rate, channels=channels, samples=samples):
                        self.check(rate, channels, samples, rng)

    def check(self, rate, channels, samples, rng):
        wav, mp4 = self.path("in.wav"), self.path("out.mp4")
        silent = samples != 5 * rate
        pcm = np.zeros((samples, channels), dtype=np.int16)
        if not silent:
            pcm[:] = signals.music(rate, 5, channels=channels)[:samples] // 2
        write_wav(wav, pcm, rate)
        code, _, err = run(wav, mp4, str(48000 * channels))
        self.assertEqual(code, 0, err)
        n = -(-samples // 1024) + 2
        self.assertEqual(len(audio_samples(read_bytes(mp4))), n)
        ff, warnings = ffmpeg_decode(mp4, channels)
        self.assertEqual(warnings, "")
        assert_presents_exactly(self, mp4, ff, samples)
        fa, errors = faad_decode(mp4, channels, rate)
        self.assertEqual(errors, [])
        if silent:
            self.assertTrue(np.all(ff == 0))
            self.assertTrue(np.all(fa == 0))
            return
        # ffmpeg's output lines up with the input (lag 0), and every decoder plays the stream
        # at its own rate and hears the same audio.
        lags = {lag: snr_db(pcm[lag:], ff) if lag >= 0 else snr_db(pcm, ff[-lag:]) for lag in range(-2, 3)}
        self.assertEqual(max(lags, key=lags.get), 0, lags)
        self.assertGreaterEqual(snr_db(ff, fa), 70.0)
        if shutil.which("gst-launch-1.0"):
            gst, gst_rate, problems = gstreamer_decode(mp4, channels)
            self.assertEqual((gst_rate, problems), (rate, []))
            self.assertGreaterEqual(snr_db(ff[GSTREAMER_START_SKIP:], gst), 70.0)


if __name__ == "__main__":
    unittest.main()
