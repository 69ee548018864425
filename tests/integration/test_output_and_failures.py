"""What a run leaves behind: the kinds of output path (written, never replaced), interrupted
runs, WAV inputs without samples, and exactly one reason on standard error for every failure."""
import os
import signal
import socket
import stat
import subprocess
import tempfile
import time
import unittest

import numpy as np

from varnel_testlib import ENCODER, parse_boxes, read_bytes, wav_bytes, write_bytes, write_wav


def run(*args, user=None):
    def become(uid_gid):
        os.setgroups([uid_gid[1]])
        os.setgid(uid_gid[1])
        os.setuid(uid_gid[0])
    r = subprocess.run([ENCODER, *args], capture_output=True, preexec_fn=(lambda: become(user)) if user else None)
    return r.returncode, r.stdout.decode(), r.stderr.decode()


def is_mp4(path):
    return [b.kind for b in parse_boxes(read_bytes(path))] == [b"ftyp", b"mdat", b"moov"]


class Workdir(unittest.TestCase):
    def setUp(self):
        self._tmp = tempfile.TemporaryDirectory()
        self.dir = self._tmp.name
        self.wav = self.path("in.wav")
        write_wav(self.wav, (3000 * np.sin(np.arange(3 * 44100) * 0.05)).astype(np.int16), 44100)

    def tearDown(self):
        self._tmp.cleanup()

    def path(self, name):
        return os.path.join(self.dir, name)

    def leftovers(self):
        return [n for n in os.listdir(self.dir) if n.endswith(".partial")]


class OutputPaths(Workdir):
    def test_every_kind_of_output_path(self):
        root = os.geteuid() == 0

        def earlier(p, mode=0o600):
            write_bytes(p, b"earlier")
            os.chmod(p, mode)
            if root:
                os.chown(p, 12345, 23456)

        def owner_mode_inode(p):
            st = os.stat(p)
            return st.st_uid, st.st_gid, stat.S_IMODE(st.st_mode), st.st_ino

        def node(kind):
            def make(p):
                if kind == "device":
                    try:
                        os.mknod(p, stat.S_IFCHR | 0o666, os.makedev(1, 3))  # a null device node
                    except PermissionError:
                        self.skipTest("mknod needs root")
                elif kind == "socket":
                    s = socket.socket(socket.AF_UNIX)
                    s.bind(p)
                    self.addCleanup(s.close)
                else:
                    (os.mkfifo if kind == "FIFO" else os.mkdir)(p)
            return make

        cases = [  # name, output name, make it, link to, user, exit status, reason
            ("new file", "out.mp4", None, None, None, 0, None),
            ("regular file 0600", "out.mp4", earlier, None, None, 0, None),
            ("symbolic link", "link.mp4", earlier, "target.mp4", None, 0, None),
            ("dangling symbolic link", "link.mp4", None, "target.mp4", None, 0, None),
            ("250-byte name", "n" * 246 + ".mp4", None, None, None, 0, None),
            ("255-byte name", "n" * 251 + ".mp4", None, None, None, 0, None),
            ("device", "null", node("device"), None, None, 0, None),
            ("FIFO", "fifo", node("FIFO"), None, None, 1, "is a FIFO"),
            ("socket", "sock", node("socket"), None, None, 1, "is a socket"),
            ("directory", "folder", node("directory"), None, None, 1, "is a directory"),
        ]
        if root:
            # A group member may write the file but cannot give a new file its owner: the finished
            # file is copied into it, so owner, mode and inode stay.
            cases.append(("another owner's file", "shared.mp4", lambda p: earlier(p, 0o664), None, (34567, 23456), 0,
                          None))
            os.chmod(self.dir, 0o777)
        for name, file_name, make, link_to, user, status, reason in cases:
            with self.subTest(name):
                for n in set(os.listdir(self.dir)) - {"in.wav"}:  # what the case before left
                    (os.rmdir if os.path.isdir(self.path(n)) and not os.path.islink(self.path(n)) else os.unlink)(
                        self.path(n))
                p = self.path(file_name)
                written = self.path(link_to) if link_to else p
                if make:
                    make(written)
                if link_to:
                    os.symlink(link_to, p)
                before = owner_mode_inode(written) if os.path.exists(written) else None
                kind = stat.S_IFMT(os.lstat(written).st_mode) if before else stat.S_IFREG
                code, _, err = run(self.wav, p, "96k", user=user)
                self.assertEqual((code, len(err.splitlines())), (status, 1 if reason else 0), err)
                self.assertIn(reason or "", err)
                self.assertEqual(stat.S_IFMT(os.lstat(written).st_mode), kind)  # never replaced by another kind
                if status == 0 and kind == stat.S_IFREG:
                    self.assertTrue(is_mp4(written))
                    if before:  # owner and mode kept; the inode too when the file was copied into
                        self.assertEqual(owner_mode_inode(written)[:4 if user else 3], before[:4 if user else 3])
                if link_to:
                    self.assertEqual(os.readlink(p), link_to)
                self.assertEqual(self.leftovers(), [])


class InterruptedRuns(Workdir):
    def test_signals_remove_the_temporary_file(self):
        long_wav, out = self.path("long.wav"), self.path("out.mp4")
        noise = np.random.default_rng(3).integers(-3000, 3000, (150 * 44100, 2)).astype(np.int16)
        write_wav(long_wav, noise, 44100)  # long enough to be encoding still when the signal comes
        for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            with self.subTest(signal=sig.name):
                write_bytes(out, b"earlier output")
                p = subprocess.Popen([ENCODER, long_wav, out, "128k"], stdout=subprocess.DEVNULL,
                                     stderr=subprocess.PIPE)
                deadline = time.monotonic() + 60
                while not self.leftovers() and p.poll() is None and time.monotonic() < deadline:
                    time.sleep(0.001)
                time.sleep(0.05)
                p.send_signal(sig)
                _, err = p.communicate(timeout=120)
                self.assertEqual(p.returncode, -sig, err)
                self.assertEqual(self.leftovers(), [])
                self.assertEqual(read_bytes(out), b"earlier output")


class InputsWithoutSamples(Workdir):
    def test_refused_with_a_reason_and_no_output(self):
        tone = (np.arange(2000) % 300).astype(np.int16)
        cases = {
            # A data size of 0 means no samples; what follows it is not audio.
            "data size 0, LIST after": wav_bytes(None, 44100, channels=1, raw=b"", after=[(b"LIST", b"\x7f" * 4000)]),
            "data size 0, samples after": wav_bytes(tone, 44100, data_size=0),
            "cut before the first whole sample": wav_bytes(tone, 44100)[:44 + 1],
            "stereo, cut inside the first frame": wav_bytes(np.zeros((10, 2), np.int16), 44100)[:44 + 3],
        }
        for name, content in cases.items():
            with self.subTest(name):
                wav, mp4 = self.path("case.wav"), self.path("out.mp4")
                write_bytes(wav, content)
                code, out, err = run(wav, mp4, "64k")
                self.assertEqual((code, err), (1, wav + ": holds no audio samples (its data chunk is empty)\n"))
                self.assertFalse(os.path.exists(mp4))


class OneReasonPerFailure(Workdir):
    def test_every_failure_prints_exactly_one_reason(self):
        mp4 = self.path("out.mp4")
        rates = {}
        for rate in (1, 7350, 44000):
            rates[rate] = self.path("rate%d.wav" % rate)
            write_wav(rates[rate], np.zeros(4096, dtype=np.int16), rate)
        cases = [
            ([], "no arguments"),
            ([self.wav], "1 argument given"),
            ([self.wav, mp4], "2 arguments given"),
            ([self.wav, mp4, "fast"], "invalid bit rate"),
            ([self.path("missing.wav"), mp4, "64k"], "cannot be opened"),
            ([rates[1], mp4, "64k"], "1 Hz is not an AAC sampling rate"),  # no bit-rate note before it
            ([rates[7350], mp4, "999999999999"], "7350 Hz is not an AAC sampling rate"),
            ([rates[44000], mp4, "64k"], "44000 Hz is not an AAC sampling rate"),
            ([self.wav, self.wav, "64k"], "would overwrite the input"),
            ([self.wav, self.path("no/such/folder/out.mp4"), "64k"], "cannot be created"),
            ([self.wav, mp4, "64k", "--bogus"], 'unknown option "--bogus"'),
            (["--track", "1/0", self.wav, mp4, "64k"], "for --track"),
            ([self.wav, mp4, "64k", "--title"], "--title needs a value"),
        ]
        for args, reason in cases:
            with self.subTest(reason):
                code, _, err = run(*args)
                self.assertEqual((code, len(err.splitlines())), (1, 1), err)
                self.assertIn(reason, err)
                self.assertFalse(os.path.exists(mp4))
                self.assertEqual(self.leftovers(), [])


if __name__ == "__main__":
    unittest.main()
