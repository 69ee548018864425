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
    def become_user():
        os.setgroups([user[1]])
        os.setgid(user[1])
        os.setuid(user[0])
    r = subprocess.run([ENCODER, *args], capture_output=True, preexec_fn=become_user if user else None)
    return r.returncode, r.stdout.decode(), r.stderr.decode()


def is_mp4(path):
    return [b.kind for b in parse_boxes(read_bytes(path))] == [b"ftyp", b"mdat", b"moov"]


class Workdir(unittest.TestCase):
    def setUp(self):
        self._tmp = tempfile.TemporaryDirectory()
        self.dir = self._tmp.name
        self.wav = self.path("in.wav")
        tone = (3000 * np.sin(np.arange(3 * 44100) * 0.05)).astype(np.int16)
        write_wav(self.wav, np.stack([tone, tone], axis=1), 44100)

    def tearDown(self):
        self._tmp.cleanup()

    def path(self, name):
        return os.path.join(self.dir, name)

    def leftovers(self):
        return [n for n in os.listdir(self.dir) if n.endswith(".partial")]


class OutputPaths(Workdir):
    def test_every_kind_of_output_path(self):
        root = os.geteuid() == 0

        def regular_0600(p):
            write_bytes(p, b"earlier")
            os.chmod(p, 0o600)
            if root:
                os.chown(p, 12345, 23456)

        def check_regular_0600(p):
            st = os.lstat(p)
            self.assertTrue(is_mp4(p))
            self.assertEqual(stat.S_IMODE(st.st_mode), 0o600)
            if root:
                self.assertEqual((st.st_uid, st.st_gid), (12345, 23456))

        def symlink_to(target_exists):
            def make(p):
                if target_exists:
                    write_bytes(self.path("target.mp4"), b"earlier")
                os.symlink("target.mp4", p)
            return make

        def check_symlink(p):
            self.assertTrue(os.path.islink(p))
            self.assertEqual(os.readlink(p), "target.mp4")
            self.assertTrue(is_mp4(self.path("target.mp4")))

        def device(p):
            try:
                os.mknod(p, stat.S_IFCHR | 0o666, os.makedev(1, 3))  # a null device node
            except PermissionError:
                self.skipTest("mknod needs root")

        def unix_socket(p):
            s = socket.socket(socket.AF_UNIX)
            s.bind(p)
            self.addCleanup(s.close)

        def kind_is(test):
            return lambda p: self.assertTrue(test(os.lstat(p).st_mode))

        def check_same_inode(p):
            # Written by a user who may write the file but cannot give a new file its owner:
            # the finished file is copied into it, so owner, mode and inode stay.
            st = os.lstat(p)
            self.assertEqual((st.st_uid, st.st_gid, stat.S_IMODE(st.st_mode), st.st_ino),
                             (12345, 23456, 0o664, self.inode))
            self.assertTrue(is_mp4(p))

        def group_writable(p):
            write_bytes(p, b"earlier")
            os.chown(p, 12345, 23456)
            os.chmod(p, 0o664)
            os.chmod(self.dir, 0o777)
            self.inode = os.lstat(p).st_ino

        long_name = "n" * 251 + ".mp4"  # 255 bytes, the longest name a folder takes
        cases = [
            # name, make the path, exit status, reason part, check afterwards
            ("new file", "out.mp4", None, 0, None, is_mp4),
            ("regular file 0600", "out.mp4", regular_0600, 0, None, check_regular_0600),
            ("symbolic link", "link.mp4", symlink_to(True), 0, None, check_symlink),
            ("dangling symbolic link", "link.mp4", symlink_to(False), 0, None, check_symlink),
            ("250-byte name", "n" * 246 + ".mp4", None, 0, None, is_mp4),
            ("255-byte name", long_name, None, 0, None, is_mp4),
            ("device", "null", device, 0, None, kind_is(stat.S_ISCHR)),
            ("FIFO", "fifo", os.mkfifo, 1, "is a FIFO", kind_is(stat.S_ISFIFO)),
            ("socket", "sock", unix_socket, 1, "is a socket", kind_is(stat.S_ISSOCK)),
            ("directory", "folder", os.mkdir, 1, "is a directory", kind_is(stat.S_ISDIR)),
        ]
        if root:
            cases.append(("another owner's file, written by a group member", "shared.mp4", group_writable, 0, None,
                          check_same_inode))
        for name, file_name, make, status, reason, check in cases:
            with self.subTest(name):
                p = self.path(file_name)
                if make:
                    make(p)
                user = (34567, 23456) if name.startswith("another owner") else None
                code, out, err = run(self.wav, p, "96k", user=user)
                self.assertEqual(code, status, err)
                if reason:
                    self.assertEqual(len(err.splitlines()), 1, err)
                    self.assertIn(reason, err)
                else:
                    self.assertEqual(err, "")
                check(p)
                self.assertEqual(self.leftovers(), [])
                for n in os.listdir(self.dir):
                    if n != "in.wav":
                        full = self.path(n)
                        if os.path.isdir(full) and not os.path.islink(full):
                            os.rmdir(full)
                        else:
                            os.unlink(full)


class InterruptedRuns(Workdir):
    def test_signals_remove_the_temporary_file(self):
        # Long enough that the run is still encoding when the signal comes.
        long_wav = self.path("long.wav")
        rng = np.random.default_rng(3)
        write_wav(long_wav, rng.integers(-3000, 3000, (150 * 44100, 2)).astype(np.int16), 44100)
        out = self.path("out.mp4")
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
            # A data size of 0 means no samples; the LIST chunk after it is not audio.
            "data size 0, LIST after": wav_bytes(None, 44100, channels=1, raw=b"",
                                                 after=[(b"LIST", b"\x7f" * 4000)]),
            "data size 0, samples after": wav_bytes(tone, 44100, data_size=0),
            "empty data chunk": wav_bytes(None, 44100, channels=2, raw=b""),
            "cut before the first whole sample": wav_bytes(tone, 44100, channels=1)[:44 + 1],
            "stereo, cut inside the first frame": wav_bytes(np.zeros((10, 2), np.int16), 44100)[:44 + 3],
        }
        for name, content in cases.items():
            with self.subTest(name):
                wav, mp4 = self.path("case.wav"), self.path("out.mp4")
                write_bytes(wav, content)
                code, out, err = run(wav, mp4, "64k")
                self.assertEqual(code, 1, err)
                self.assertEqual(err.splitlines(), [wav + ": holds no audio samples (its data chunk is empty)"])
                self.assertFalse(os.path.exists(mp4))


class OneReasonPerFailure(Workdir):
    def test_every_failure_prints_exactly_one_reason(self):
        odd_rates = {}
        for rate in (1, 7350, 44000):
            p = self.path("rate%d.wav" % rate)
            write_wav(p, np.zeros(4096, dtype=np.int16), rate)
            odd_rates[rate] = p
        mp4 = self.path("out.mp4")
        cases = [
            ([], "no arguments"),
            ([self.wav], "1 argument given"),
            ([self.wav, mp4], "2 arguments given"),
            ([self.wav, mp4, "fast"], "invalid bit rate"),
            ([self.path("missing.wav"), mp4, "64k"], "cannot be opened"),
            ([odd_rates[1], mp4, "64k"], "1 Hz is not an AAC sampling rate"),
            ([odd_rates[7350], mp4, "999999999999"], "7350 Hz is not an AAC sampling rate"),
            ([odd_rates[44000], mp4, "64k"], "44000 Hz is not an AAC sampling rate"),
            ([self.wav, self.wav, "64k"], "would overwrite the input"),
            ([self.wav, self.path("no/such/folder/out.mp4"), "64k"], "cannot be created"),
        ]
        for args, reason in cases:
            with self.subTest(reason):
                code, _, err = run(*args)
                self.assertEqual(code, 1)
                self.assertEqual(len(err.splitlines()), 1, err)
                self.assertIn(reason, err)
                self.assertFalse(os.path.exists(mp4))
                self.assertEqual(self.leftovers(), [])


if __name__ == "__main__":
    unittest.main()
