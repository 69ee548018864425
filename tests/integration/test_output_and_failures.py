"""What a run leaves behind: the kinds of output path (written, never replaced), interrupted
runs, WAV inputs without samples, and exactly one reason on standard error for every failure."""
import os
import re
import resource
import signal
import socket
import stat
import struct
import subprocess
import tempfile
import time
import unittest

import numpy as np

from varnel_testlib import ENCODER, parse_boxes, read_bytes, wav_bytes, write_bytes, write_wav


def run(*args, user=None, stdin=None, stdout=subprocess.PIPE):
    def become(uid_gid):
        os.setgroups([uid_gid[1]])
        os.setgid(uid_gid[1])
        os.setuid(uid_gid[0])
    r = subprocess.run([ENCODER, *args], stdin=stdin, stdout=stdout, stderr=subprocess.PIPE,
                       preexec_fn=(lambda: become(user)) if user else None)
    return r.returncode, (r.stdout or b"").decode(errors="replace"), r.stderr.decode()


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
            # A file with other names is written in place, so that every name sees the new file.
            ("hard-linked file", "out.mp4", lambda p: (earlier(p), os.link(p, self.path("other.mp4"))), None, None, 0,
             None),
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
                if name == "hard-linked file":
                    self.assertTrue(os.path.samefile(p, self.path("other.mp4")) and before[3] == os.stat(p).st_ino)
                self.assertEqual(self.leftovers(), [])

    def test_a_full_disk_leaves_the_earlier_file(self):
        if os.geteuid() != 0:
            self.skipTest("mounting a small file system needs root")
        small = self.path("small")
        os.mkdir(small)
        if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=200k,mode=1777", "tmpfs", small]).returncode != 0:
            self.skipTest("no tmpfs can be mounted here")
        try:
            self.check_full_disk(small)
        finally:
            subprocess.run(["umount", small])

    def check_full_disk(self, small):
        wav = self.path("8s.wav")
        write_wav(wav, np.random.default_rng(5).integers(-8000, 8000, (8 * 44100, 2)).astype(np.int16), 44100)
        os.chmod(self.dir, 0o755)
        nobody = (65534, 65534)
        cases = [  # name, size of the earlier file, its mode, who runs, a second name
            # The new file fits beside the old one, but not twice: copying it into the old file
            # must not start before its room is secured.
            ("another owner's file, mode 666", 20000, 0o666, nobody, None),
            ("hard-linked file", 20000, 0o644, None, "other.mp4"),
            ("own file, no room for the new one", 100000, 0o644, None, None),
        ]
        for name, size, mode, user, second in cases:
            with self.subTest(name):
                for n in os.listdir(small):
                    os.unlink(os.path.join(small, n))
                keep = os.path.join(small, "keep.mp4")
                content = bytes(np.random.default_rng(size).integers(0, 256, size, dtype=np.uint8))
                write_bytes(keep, content)
                os.chmod(keep, mode)
                if second:
                    os.link(keep, os.path.join(small, second))
                code, _, err = run(wav, keep, "128k", user=user)
                self.assertEqual((code, len(err.splitlines())), (1, 1), err)
                self.assertIn("No space left on device", err)
                self.assertEqual(read_bytes(keep), content)
                self.assertEqual(sorted(os.listdir(small)), sorted(["keep.mp4"] + ([second] if second else [])))


class InterruptedRuns(Workdir):
    def test_signals_remove_the_temporary_file(self):
        long_wav, out = self.path("long.wav"), self.path("out.mp4")
        noise = np.random.default_rng(3).integers(-3000, 3000, (150 * 44100, 2)).astype(np.int16)
        write_wav(long_wav, noise, 44100)  # long enough to be encoding still when the signal comes
        # Another run's temporary file, which no run may remove.
        foreign = self.path(".out.mp4.0badcafe.partial")
        write_bytes(foreign, b"not ours")

        def no_core_and_file_limit(limit):
            def setup():
                resource.setrlimit(resource.RLIMIT_CORE, (0, 0))
                if limit:
                    resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
            return setup

        # Signals sent while encoding, and SIGXFSZ raised by the run itself past a file size limit.
        cases = [(sig, None) for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGQUIT, signal.SIGUSR1,
                                         signal.SIGUSR2, signal.SIGALRM, signal.SIGRTMIN + 3)]
        cases.append((signal.SIGXFSZ, 100000))
        cases.append((signal.SIGINT, "m4a"))  # the audio-only file, whose moov moves first at the end
        for sig, limit in cases:
            with self.subTest(signal=sig, limit=limit):
                target = out if limit != "m4a" else self.path("out.m4a")
                limit = None if limit == "m4a" else limit
                write_bytes(target, b"earlier output")
                p = subprocess.Popen([ENCODER, long_wav, target, "128k"], stdout=subprocess.DEVNULL,
                                     stderr=subprocess.PIPE, preexec_fn=no_core_and_file_limit(limit))
                deadline = time.monotonic() + 60
                while len(self.leftovers()) < 2 and p.poll() is None and time.monotonic() < deadline:
                    time.sleep(0.001)
                time.sleep(0.05)
                if not limit:
                    p.send_signal(sig)
                _, err = p.communicate(timeout=120)
                self.assertEqual(p.returncode, -sig, err)
                self.assertEqual(self.leftovers(), [os.path.basename(foreign)])
                self.assertEqual(read_bytes(target), b"earlier output")

    def test_a_console_reader_that_goes_away_does_not_stop_the_run(self):
        wav, out = self.path("long.wav"), self.path("out.mp4")
        write_wav(wav, np.random.default_rng(4).integers(-3000, 3000, (30 * 44100, 2)).astype(np.int16), 44100)
        p = subprocess.Popen([ENCODER, wav, out, "128k"], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        p.stdout.read(10)
        p.stdout.close()
        _, err = p.communicate(timeout=120)
        self.assertEqual((p.returncode, err), (0, b""))
        self.assertTrue(is_mp4(out))
        self.assertEqual(self.leftovers(), [])


class InputsAndOutputs(Workdir):
    def test_the_input_is_never_written_and_a_terminal_never_gets_audio(self):
        original = read_bytes(self.wav)
        master, slave = os.openpty()
        self.addCleanup(os.close, master)
        self.addCleanup(os.close, slave)
        os.symlink(os.ttyname(slave), self.path("tty.aac"))
        cases = [  # arguments, standard input, standard output (opened for appending), reason
            (["-", self.wav], self.wav, None, "would overwrite the input"),
            ([self.wav, "-"], None, self.wav, "would overwrite the input"),
            (["-", "-"], self.wav, self.wav, "would overwrite the input"),
            ([self.wav, self.path("tty.aac")], None, None, "is a terminal"),
            ([self.wav, self.path("tty.mp4")], None, None, "is a terminal"),
        ]
        os.symlink(os.ttyname(slave), self.path("tty.mp4"))
        for args, stdin, stdout, reason in cases:
            with self.subTest(args=args, stdin=stdin, stdout=stdout):
                with open(stdin or os.devnull, "rb") as i, open(stdout or os.devnull, "ab") as o:
                    code, _, err = run(*args, "64k", stdin=i, stdout=o)
                self.assertEqual(code, 1, err)
                self.assertIn(reason, err.splitlines()[-1])  # with audio on standard output the console is there too
                self.assertEqual(read_bytes(self.wav), original)
        os.set_blocking(master, False)
        with self.assertRaises(BlockingIOError):
            os.read(master, 1)

    def test_a_cut_input_is_encoded_with_a_note(self):
        tone = (3000 * np.sin(np.arange(20000) * 0.05)).astype(np.int16)
        cases = [  # name, data size field, bytes kept, by pipe, note
            ("file cut short", 44100 * 2, None, False, "header announced 44100 samples per channel, and 20000 arrived"),
            ("stream cut short", 44100 * 2, None, True, "header announced 44100 samples per channel, and 20000 arrived"),
            ("stream cut mid-sample", None, 44 + 2 * 15000 + 1, True,
             "header announced 20000 samples per channel, and 15000 arrived"),
            ("stream of unknown size", 0xFFFFFFFF, None, True, None),
            ("whole file", None, None, False, None),
        ]
        for name, size, keep, by_pipe, note in cases:
            with self.subTest(name):
                wav, mp4 = self.path("cut.wav"), self.path("out.mp4")
                write_bytes(wav, wav_bytes(tone, 44100, data_size=size)[:keep])
                with open(wav, "rb") as i:
                    code, _, err = run("-" if by_pipe else wav, mp4, "64k", stdin=i)
                self.assertEqual(code, 0, err)
                self.assertEqual(err, "%s: the input ended early: its %s\n" % ("-" if by_pipe else wav, note)
                                 if note else "")
                self.assertTrue(is_mp4(mp4))

    def test_oversized_info_text_is_dropped_with_a_note(self):
        # 700 KiB of Latin-1 in the title becomes 1.4 MiB of UTF-8, beyond the file's room for tags.
        info = b"INFO" + b"INAM" + struct.pack("<I", 700 * 1024) + b"\xe9" * (700 * 1024) + \
            b"IART" + struct.pack("<I", 6) + b"Artist"
        wav, mp4 = self.path("tagged.wav"), self.path("out.mp4")
        write_bytes(wav, wav_bytes((np.arange(5000) % 200).astype(np.int16), 44100, before=[(b"LIST", info)]))
        code, _, err = run(wav, mp4, "64k")
        self.assertEqual(code, 0, err)
        self.assertRegex(err, r"^%s: its title \(1433600 bytes\) is not written" % re.escape(wav))
        data = read_bytes(mp4)
        self.assertIn(b"Artist", data)
        self.assertLess(len(data), 100000)


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
        for rate in (1, 7350, 2000000):
            rates[rate] = self.path("rate%d.wav" % rate)
            write_wav(rates[rate], np.zeros(4096, dtype=np.int16), rate)
        cases = [
            ([], "no arguments"),
            ([self.wav], "1 argument given"),
            ([self.wav, mp4], "2 arguments given"),
            ([self.wav, mp4, "fast"], "invalid bit rate"),
            ([self.path("missing.wav"), mp4, "64k"], "cannot be opened"),
            ([rates[1], mp4, "64k"], "1 Hz is not an AAC sampling rate"),  # no bit-rate note before it
            ([rates[7350], mp4, "64k", "--rate", "7350"], "an AAC sampling rate is required"),
            ([rates[2000000], mp4, "999999999999"], "2000000 Hz is not an AAC sampling rate"),
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
