"""The command line around the design's three arguments: WAV from pipes, ADTS out (to a file
and to standard output), tags in the MP4 file, --pns and where options may stand."""
import json
import os
import shutil
import struct
import subprocess
import threading
import unittest

import numpy as np

import signals
from varnel_testlib import (FFMPEG_ADTS_NOTE, Workdir, DELAY, ENCODER, FAAD_START_SKIP, GSTREAMER_START_SKIP, adts_frames, audio_samples, encode_with,
                            faad_decode, ffmpeg_decode, ffprobe_presented_samples, gstreamer_decode, parse_boxes,
                            read_bytes, snr_db, wav_bytes, write_bytes, write_wav)

# ffmpeg's raw AAC demuxer says this for every ADTS stream, its own encoder's included: a raw
# stream states no duration.


def run(*args, stdin=None, input_bytes=None, cwd=None):
    r = subprocess.run([ENCODER, *args], stdin=stdin, input=input_bytes, capture_output=True, cwd=cwd)
    return r.returncode, r.stdout, r.stderr.decode()


def info_chunk(items):
    """A LIST chunk payload of INFO items given as (id, bytes)."""
    body = b"INFO"
    for cid, text in items:
        text += b"\0"
        body += struct.pack("<4sI", cid, len(text)) + text + (b"\0" if len(text) % 2 else b"")
    return body


class PipesIn(Workdir):
    def test_pipes_fifos_and_standard_input_give_the_files_stream(self):
        pcm = signals.music(44100, 2, channels=2) // 2
        wav, ref = self.path("in.wav"), self.path("ref.mp4")
        write_wav(wav, pcm, 44100)
        code, _, err = run(wav, ref, "128k")
        self.assertEqual(code, 0, err)
        expected = read_bytes(ref)
        # A stream's header often states more data than follows: read to its end as well, with a
        # note of what was announced and what arrived.
        oversized = wav_bytes(pcm, 44100, data_size=10 ** 9)
        fifo = self.path("fifo")
        os.mkfifo(fifo)

        def through_fifo(out):
            feeder = threading.Thread(target=lambda: write_bytes(fifo, oversized))
            feeder.start()
            result = run(fifo, out, "128k")
            feeder.join()
            return result

        def through_ffmpeg(out):
            with subprocess.Popen(["ffmpeg", "-v", "error", "-nostdin", "-i", wav, "-bitexact", "-f", "wav", "-"],
                                  stdout=subprocess.PIPE) as ffmpeg:
                result = run("-", out, "128k", stdin=ffmpeg.stdout)
                ffmpeg.stdout.close()
            return result

        ways = {
            # ffmpeg writes 0xFFFFFFFF sizes to a pipe (-bitexact: no encoder-name INFO item).
            "ffmpeg -f wav -": through_ffmpeg,
            "FIFO, data size past the end": through_fifo,
            "standard input, data size past the end": lambda out: run("-", out, "128k", input_bytes=oversized),
        }
        for name, encode in ways.items():
            with self.subTest(name):
                out = self.path("out.mp4")
                code, _, err = encode(out)
                note = "the input ended early: its header announced %d samples per channel, and %d arrived\n" % (
                    10 ** 9 // 4, len(pcm)) if "past the end" in name else ""
                self.assertEqual(code, 0, err)
                self.assertTrue(err.endswith(note) and len(err.splitlines()) == (1 if note else 0), err)
                self.assertEqual(read_bytes(out), expected)  # same audio, same edit list, same file

    def test_a_stream_without_samples_is_refused(self):
        header_only = wav_bytes(None, 44100, channels=1, raw=b"", data_size=0xFFFFFFFF)
        code, _, err = run("-", self.path("out.mp4"), "64k", input_bytes=header_only)
        self.assertEqual((code, err), (1, "-: holds no audio samples (its data chunk is empty)\n"))
        self.assertEqual(os.listdir(self.dir), [])


class AdtsOut(Workdir):
    def test_adts_to_a_file_and_to_standard_output(self):
        for rate, channels in ((44100, 2), (48000, 1)):
            with self.subTest(rate=rate, channels=channels):
                self.check(rate, channels)

    def check(self, rate, channels):
        pcm = signals.music(rate, 3, channels=channels) // 2
        wav, mp4, aac = self.path("in.wav"), self.path("out.mp4"), self.path("out.AAC")
        write_wav(wav, pcm, rate)
        for out in (mp4, aac):
            code, _, err = run(wav, out, "%dk" % (64 * channels))
            self.assertEqual((code, err), (0, ""))
        code, stdout, err = run(wav, "-", "%dk" % (64 * channels))
        self.assertEqual(code, 0, err)
        # Standard output carries the stream only; the console lines went to standard error.
        self.assertEqual(stdout, read_bytes(aac))
        self.assertIn(" Output file: -\n", err)
        self.assertTrue(err.endswith("Encoded %d Frames.%s\n" % (len(adts_frames(stdout)), " " * 24)), err)

        frames = adts_frames(read_bytes(aac))
        self.assertEqual([f[1] for f in frames], audio_samples(read_bytes(mp4)))
        index = [96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050, 16000, 12000, 11025, 8000].index(rate)
        fixed = {"ID": 0, "layer": 0, "protection_absent": 1, "profile_ObjectType": 1,
                 "sampling_frequency_index": index, "channel_configuration": channels,
                 "number_of_raw_data_blocks_in_frame": 0}
        for fields, _ in frames:
            self.assertEqual({k: fields[k] for k in fixed}, fixed)

        # Decoders hear the MP4 file's audio, behind the encoder delay that ADTS keeps.
        reference, _ = ffmpeg_decode(mp4, channels)
        ff, warnings = ffmpeg_decode(aac, channels)
        self.assertEqual([line for line in warnings.splitlines() if FFMPEG_ADTS_NOTE not in line], [])
        self.assertGreaterEqual(snr_db(reference, ff[DELAY:]), 70.0)
        fa, problems = faad_decode(aac, channels, rate, frames=len(frames))
        self.assertEqual(problems, [])
        # faad drops the first frame's output and faad_decode one more frame, which in an MP4
        # file lines it up with the input; in ADTS it lags ffmpeg by those two frames.
        self.assertGreaterEqual(snr_db(ff[1024 + FAAD_START_SKIP:], fa), 70.0)
        if shutil.which("gst-launch-1.0"):
            gst, gst_rate, problems = gstreamer_decode(aac, channels, demux="aacparse")
            self.assertEqual((gst_rate, problems), (rate, []))
            self.assertGreaterEqual(snr_db(ff[GSTREAMER_START_SKIP:], gst), 70.0)

    def test_a_fifo_takes_adts_and_still_refuses_mp4(self):
        wav, fifo = self.path("in.wav"), self.path("out.aac")
        write_wav(wav, np.zeros(5000, dtype=np.int16), 44100)
        code, _, err = run(wav, self.path("out.mp4"), "64k")
        expected = read_bytes(self.path("out.mp4"))
        os.mkfifo(fifo)
        received = []
        reader = threading.Thread(target=lambda: received.append(read_bytes(fifo)))
        reader.start()
        code, _, err = run(wav, fifo, "64k")
        reader.join()
        self.assertEqual((code, err), (0, ""))
        self.assertEqual([f[1] for f in adts_frames(received[0])], audio_samples(expected))
        os.rename(fifo, self.path("fifo.mp4"))
        code, _, err = run(wav, self.path("fifo.mp4"), "64k")
        self.assertEqual(code, 1)
        self.assertIn("is a FIFO", err)


class Tags(Workdir):
    def test_tags_from_options_and_the_wav_file(self):
        pcm = (3000 * np.sin(np.arange(44100) * 0.05)).astype(np.int16)
        wav, mp4 = self.path("in.wav"), self.path("out.mp4")
        before = info_chunk([(b"INAM", b"Caf\xe9 (Latin-1)"), (b"IART", "Ärtist 東京".encode()),
                             (b"ITRK", b"4/9"), (b"ICMT", b"from the file"), (b"ISFT", b"not a tag")])
        after = info_chunk([(b"IGNR", "Musique concrète".encode()), (b"IPRD", b"The Album")])
        write_bytes(wav, wav_bytes(pcm, 44100, before=[(b"LIST", before)], after=[(b"LIST", after)]))
        code, _, err = run("--title", "Tïtle ☃", wav, mp4, "96k", "--date=1999", "--comment", "")
        self.assertEqual((code, err), (0, ""))
        expected = {"title": "Tïtle ☃", "artist": "Ärtist 東京", "album": "The Album", "date": "1999",
                    "genre": "Musique concrète", "track": "4/9", "encoder": "VarnelAacEnc"}
        r = subprocess.run(["ffprobe", "-v", "error", "-of", "json", "-show_format", mp4], capture_output=True,
                           check=True)
        tags = json.loads(r.stdout)["format"]["tags"]
        self.assertTrue(tags.pop("encoder").startswith("VarnelAacEnc "))
        self.assertEqual({k: tags.get(k) for k in expected if k != "encoder"},
                         {k: v for k, v in expected.items() if k != "encoder"})
        self.assertNotIn("comment", tags)  # given empty: the file's comment is removed
        if shutil.which("mediainfo"):
            general = json.loads(subprocess.run(["mediainfo", "--Output=JSON", mp4], capture_output=True,
                                                check=True).stdout)["media"]["track"][0]
            self.assertEqual((general.get("Title") or general.get("Track"), general["Performer"], general["Album"],
                              general["Genre"], general["Track_Position"], general["Track_Position_Total"]),
                             ("Tïtle ☃", "Ärtist 東京", "The Album", "Musique concrète", "4", "9"))
            self.assertTrue(general["Encoded_Application"].startswith("VarnelAacEnc "))
        if shutil.which("AtomicParsley"):
            # AtomicParsley lists the 3GPP asset boxes for the file's 3GPP brand.
            listing = subprocess.run(["AtomicParsley", mp4, "-t"], capture_output=True, check=True).stdout.decode()
            for box, value in (("titl", "Tïtle ☃"), ("perf", "Ärtist 東京"), ("albm", "The Album  |  Track: 4"),
                               ("yrrc", "1999"), ("gnre", "Musique concrète")):
                self.assertIn('"%s"' % box, listing)
                self.assertIn(value, listing)

    def test_without_tags_the_file_keeps_its_layout(self):
        pcm = np.zeros(3000, dtype=np.int16)
        plain, listed = self.path("plain.wav"), self.path("listed.wav")
        write_wav(plain, pcm, 44100)
        # A LIST that is not INFO, and INFO items that are not tags.
        write_bytes(listed, wav_bytes(pcm, 44100, before=[(b"LIST", b"adtl" + b"\0" * 20)],
                                      after=[(b"LIST", info_chunk([(b"ISFT", b"x")]))]))
        for wav in (plain, listed):
            code, _, err = run(wav, self.path(os.path.basename(wav) + ".mp4"), "64k")
            self.assertEqual((code, err), (0, ""))
        self.assertEqual(read_bytes(self.path("plain.wav.mp4")), read_bytes(self.path("listed.wav.mp4")))
        moov = parse_boxes(read_bytes(self.path("plain.wav.mp4")))[2]
        self.assertNotIn(b"udta", [c.kind for c in moov.children])


# A 1x1 PNG image.
PNG = bytes.fromhex("89504e470d0a1a0a0000000d4948445200000001000000010802000000907753de0000000c4944415478"
                    "9c63f8ffff3f0005fe02fea7d6a4e90000000049454e44ae426082")


class MusicLibraryFiles(Workdir):
    def test_m4a_faststart_cover_and_free_form_tags(self):
        n = 44100 * 2 + 333
        pcm = signals.music(44100, n / 44100.0)[:n]
        wav, png = self.path("in.wav"), self.path("cover.png")
        write_wav(wav, pcm, 44100)
        write_bytes(png, PNG)
        code, _, err = run(wav, self.path("plain.mp4"), "96k")
        self.assertEqual((code, err), (0, ""))
        reference = read_bytes(self.path("plain.mp4"))
        frames = audio_samples(reference)
        # (output name, options, brand, moov before the media data)
        for name, options, brand, moov_first in (("fast.mp4", ["--faststart"], b"3gp5", True),
                                                 ("song.m4a", [], b"M4A ", True),
                                                 ("tagged.M4A", ["--cover", png, "--tag", "MOOD=calm"], b"M4A ", True)):
            with self.subTest(name):
                out = self.path(name)
                code, _, err = run(*options, wav, out, "96k")
                self.assertEqual((code, err), (0, ""))
                data = read_bytes(out)
                kinds = [b.kind for b in parse_boxes(data)]
                self.assertEqual((data[8:12], kinds.index(b"moov") < kinds.index(b"mdat")), (brand, moov_first))
                # The audio frames are the plain file's, and ffmpeg presents exactly the input.
                packets = subprocess.run(["ffmpeg", "-v", "error", "-i", out, "-map", "0:a", "-c", "copy", "-f", "data",
                                          "-"], capture_output=True, check=True).stdout
                self.assertEqual(packets, b"".join(frames))
                self.assertEqual(ffprobe_presented_samples(out), n)
                _, problems = faad_decode(out, 2, 44100, frames=len(frames))
                self.assertEqual(problems, [])
                if shutil.which("gst-launch-1.0"):
                    self.assertEqual(gstreamer_decode(out, 2)[2], [])
                if brand != b"M4A ":
                    continue
                r = subprocess.run(["ffprobe", "-v", "error", "-of", "json", "-show_format", "-show_streams", out],
                                   capture_output=True, check=True)
                probe = json.loads(r.stdout)
                audio = [st for st in probe["streams"] if st["codec_type"] == "audio"]
                self.assertEqual(len(audio), 1)
                self.assertEqual(len(probe["streams"]), 2 if options else 1)  # the cover shows as a picture
                delay, padding, samples = (int(v, 16) for v in probe["format"]["tags"]["iTunSMPB"].split()[1:4])
                self.assertEqual((delay, samples, delay + padding + samples), (DELAY, n, 1024 * len(frames)))
                copy = self.path("copy.m4a")
                subprocess.run(["ffmpeg", "-v", "error", "-y", "-i", out, "-map", "0", "-c", "copy", copy], check=True)
                if shutil.which("exiftool"):
                    info = subprocess.run(["exiftool", out], capture_output=True, check=True).stdout.decode()
                    self.assertRegex(info, r"MIME Type\s*: audio/mp4")
                    self.assertEqual("Cover Art" in info, bool(options))
                if shutil.which("mediainfo"):
                    general = json.loads(subprocess.run(["mediainfo", "--Output=JSON", out], capture_output=True,
                                                        check=True).stdout)["media"]["track"][0]
                    self.assertEqual((general["CodecID"].strip(), general.get("Cover") == "Yes",
                                      general.get("extra", {}).get("MOOD")),
                                     ("M4A", bool(options), "calm" if options else None))
                if options and shutil.which("AtomicParsley"):
                    listing = subprocess.run(["AtomicParsley", out, "-t"], capture_output=True).stdout.decode()
                    self.assertIn("[com.apple.iTunes;MOOD] contains: calm", listing)
                    self.assertIn('"covr" contains: 1 piece of artwork', listing)

    def test_bad_covers_and_free_form_tags_are_refused(self):
        wav, out = self.path("in.wav"), self.path("out.m4a")
        write_wav(wav, np.zeros(3000, dtype=np.int16), 44100)
        write_bytes(self.path("text.jpg"), b"not an image")
        for options in (["--cover", self.path("text.jpg")], ["--cover", self.path("missing.png")],
                        ["--tag", "NOVALUE"], ["--tag", "=x"]):
            code, _, err = run(*options, wav, out, "96k")
            self.assertEqual((code, err.count("\n")), (1, 1), (options, err))
            self.assertFalse(os.path.exists(out))


class OptionsAnywhere(Workdir):
    def test_pns_and_option_positions(self):
        write_wav(self.path("in.wav"), signals.music(44100, 2, channels=2) // 2, 44100)
        os.symlink("in.wav", self.path("-in.wav"))  # a file name that only "--" lets through
        r = encode_with(self.path("in.wav"), self.path("with.mp4"), "96k", options=3)  # TNS and noise substitution
        self.assertEqual(r.returncode, 0, r.stderr)
        expected = read_bytes(self.path("with.mp4"))
        cases = {"a.mp4": ["--pns", "in.wav", "a.mp4", "96k"], "b.mp4": ["in.wav", "b.mp4", "96k", "--pns"],
                 "c.mp4": ["--pns", "--", "-in.wav", "c.mp4", "96k"]}
        for out, args in cases.items():
            with self.subTest(args):
                code, _, err = run(*args, cwd=self.dir)
                self.assertEqual((code, err), (0, ""))
                self.assertEqual(read_bytes(self.path(out)), expected)
        run("in.wav", "plain.mp4", "96k", cwd=self.dir)
        self.assertNotEqual(read_bytes(self.path("plain.mp4")), expected)  # off without the option

    def test_version(self):
        code, out, err = run("--version")
        self.assertEqual((code, err), (0, ""))
        # The name and version, then one line per kind of input the build reads.
        self.assertRegex(out.decode(), r"^VarnelAacEnc \d+\.\d+(\.\d+)*\n(input: .+\n)+$")


if __name__ == "__main__":
    unittest.main()
