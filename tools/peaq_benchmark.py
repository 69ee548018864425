#!/usr/bin/python3
"""Perceptual quality of the encoder's two modes against ffmpeg's AAC encoder: every signal is
coded at 32, 64 and 96 kbit/s per channel by the default mode, the perceptual mode and
`ffmpeg -c:a aac`, decoded by ffmpeg and graded with PEAQ (basic and advanced ODG, 0 is
transparent, -4 very annoying); prints one row per signal and rate and each column's mean per
rate (over everything, over the generated signals and over the music corpus), what share of
the asked rate the perceptual mode spent, and the CPU time of each encoder over all its encodes.
Then the variable rates: `--vbr 1` to `--vbr 5` against `ffmpeg -q:a` at settings that give
about the same rates on music, each graded with the rate it came to (--no-vbr leaves them out).

The signals are generated ones, espeak-ng speech, and a corpus of 12 music excerpts (10 s each,
stereo and mono, 44.1 and 48 kHz) from Debian's game-music packages, which it installs with
apt-get when it runs as root (--no-music leaves the corpus out).

    tools/peaq_benchmark.py [--build BUILD_DIR] [--seconds S] [--music-seconds S] [--no-music]
                            [--signals a,b] [--rates 32,64] [--advanced-off] [--keep DIR]
                            [--vbr-levels 1,3] [--no-vbr]

Needs ffmpeg, sox, espeak-ng and the PEAQ tool (../shared/tools/peaq/build, graded through its
odg script, found with --odg or $VARNEL_ODG). Run it niced: it takes a few minutes per rate.
"""
import argparse
import os
import resource
import subprocess
import sys
import tempfile
import zipfile

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "integration"))
import signals  # noqa: E402
from varnel_testlib import write_wav  # noqa: E402

DEFAULT_ODG = os.path.join(HERE, "..", "..", "shared", "tools", "peaq", "odg")
MODES = {"default": 1, "perceptual": 7}  # option bits: TNS; TNS, noise substitution, perceptual
# ffmpeg's -q:a for each of our VBR levels: about 32, 48, 64, 96 and 128 kbit/s per channel on
# the music corpus, as our levels give.
FFMPEG_Q = {1: "0.35", 2: "0.5", 3: "0.67", 4: "1.0", 5: "1.35"}
SPEECH_TEXT = ("The quick brown fox jumps over the lazy dog. She sells sea shells by the sea "
               "shore, while a distant bell rings twice and the wind rises over the hills.")


def espeak(rate, seconds, voice, speed, tmp):
    """Speech recorded from espeak-ng, resampled to `rate`, cut or padded to `seconds`."""
    raw, out = os.path.join(tmp, "espeak.wav"), os.path.join(tmp, "espeak-rate.wav")
    subprocess.run(["espeak-ng", "-v", voice, "-s", str(speed), "-w", raw, SPEECH_TEXT], check=True)
    # -D: no dither, so that every run grades the same reference.
    subprocess.run(["sox", "-D", "-V1", raw, "-b", "16", out, "rate", "-v", str(rate), "norm", "-3"], check=True)
    with open(out, "rb") as f:
        data = f.read()
    pos = data.index(b"data") + 8
    x = np.frombuffer(data[pos:], dtype="<i2").astype(np.float64)
    n = int(rate * seconds)
    return np.pad(x, (0, max(0, n - len(x))))[:n]


def chord(rate, seconds, channels):
    """A sustained major chord of harmonic tones, each note panned its own way."""
    t = np.arange(int(rate * seconds)) / rate
    out = np.zeros((len(t), channels))
    for k, f in enumerate([261.63, 329.63, 392.0, 523.25]):
        tone = sum(3000 / h * np.sin(2 * np.pi * h * f * t + k) for h in range(1, 6) if h * f < rate / 2)
        tone *= 0.6 + 0.4 * np.exp(-np.mod(t + 0.3 * k, 2.0))
        for c in range(channels):
            out[:, c] += tone * (0.5 + 0.5 * np.cos(k + c * 1.3))
    return np.clip(np.round(out), -32768, 32767).astype(np.int16)


def mixture(rate, seconds, tmp):
    """Speech over music: the generated music with a recorded voice in the centre."""
    voice = espeak(rate, seconds, "en-us", 165, tmp)
    m = signals.music(rate, seconds, channels=2).astype(np.float64) * 0.6
    return np.clip(np.round(m + 0.6 * voice[:, None]), -32768, 32767).astype(np.int16)


def signal_set(seconds, tmp):
    """(name, rate, int16 samples shaped (n, channels)) of every benchmark signal."""
    speech_stereo = lambda r: np.stack([espeak(r, seconds, "en", 150, tmp),
                                        np.roll(espeak(r, seconds, "en", 150, tmp), int(r * 0.0007)) * 0.8], axis=1)
    return [
        ("speech-m44", 44100, espeak(44100, seconds, "en", 150, tmp).astype(np.int16)[:, None]),
        ("speech-s48", 48000, speech_stereo(48000).astype(np.int16)),
        ("sine1k-m44", 44100, signals.sine(44100, seconds, 1000.0, 10000.0)),
        ("chord-s48", 48000, chord(48000, seconds, 2)),
        ("bursts-s44", 44100, signals.bursts(44100, seconds)),
        ("music-s44", 44100, signals.music(44100, seconds)),
        ("mixture-s48", 48000, mixture(48000, seconds, tmp)),
        ("clicks-m48", 48000, signals.clicks(48000, seconds)),
        ("pink-s44", 44100, signals.pink_noise(44100, seconds)),
    ]


# The music corpus: excerpts of produced soundtracks from Debian's game-music packages, decoded
# from their distributed Ogg Vorbis files (most at 320 to 500 kbit/s) by ffmpeg. Each entry:
# package, file (a path, or "archive!member" inside a zip), start in seconds, output rate and
# channels (mono is the file's downmix).
MUSIC_PACKAGES = ["hyperrogue-music", "nexuiz-music", "fb-music-high"]
HYPERROGUE = "/usr/share/hyperrogue/music/"
NEXUIZ = "/usr/share/games/nexuiz/data/music.pk3!sound/cdtracks/"
FROZEN = "/usr/share/games/frozen-bubble/snd/"
MUSIC_EXCERPTS = [
    ("hunting", HYPERROGUE + "hr-domina-hunting.ogg", 20, 44100, 2),
    ("mountain", HYPERROGUE + "hr-domina-mountain.ogg", 30, 48000, 2),
    ("caves", HYPERROGUE + "hr3-caves.ogg", 15, 44100, 2),
    ("desert", HYPERROGUE + "hr3-desert.ogg", 25, 48000, 2),
    ("icyland", HYPERROGUE + "hr3-icyland.ogg", 30, 44100, 1),
    ("jungle", HYPERROGUE + "hr3-jungle.ogg", 20, 48000, 1),
    ("hell", HYPERROGUE + "hr3-hell.ogg", 40, 44100, 2),
    ("laboratory", HYPERROGUE + "hr3-laboratory.ogg", 30, 48000, 2),
    ("palace", HYPERROGUE + "hr-savino-palace.ogg", 20, 44100, 1),
    ("brainsukker", NEXUIZ + "brainsukker.ogg", 60, 44100, 2),
    ("northern", NEXUIZ + "northern-lights.ogg", 90, 48000, 2),
    ("frozen", FROZEN + "frozen-mainzik-1p.ogg", 40, 44100, 2),
]


def music_corpus(seconds, tmp):
    """The music excerpts as (name, rate, int16 samples shaped (n, channels)); installs the
    packages with apt-get when they are missing and this runs as root, else leaves them out."""
    def present():
        return all(os.path.exists(f.split("!")[0]) for _, f, _, _, _ in MUSIC_EXCERPTS)
    if not present() and os.geteuid() == 0:
        env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
        subprocess.run(["apt-get", "update", "-q"], check=False, capture_output=True, env=env)
        subprocess.run(["apt-get", "install", "-y", "-q"] + MUSIC_PACKAGES, check=False, capture_output=True,
                       env=env)
    if not present():
        print("music corpus left out: install %s" % " ".join(MUSIC_PACKAGES), file=sys.stderr)
        return []
    out = []
    for name, source, start, rate, channels in MUSIC_EXCERPTS:
        if "!" in source:
            archive, member = source.split("!")
            extracted = os.path.join(tmp, os.path.basename(member))
            with zipfile.ZipFile(archive) as z, open(extracted, "wb") as f:
                f.write(z.read(member))
            source = extracted
        wav = os.path.join(tmp, "music-excerpt.wav")
        subprocess.run(["ffmpeg", "-v", "error", "-nostdin", "-y", "-ss", str(start), "-t", str(seconds), "-i", source,
                        "-ac", str(channels), "-ar", str(rate), "-c:a", "pcm_s16le", wav], check=True)
        with open(wav, "rb") as f:
            data = f.read()
        pos = data.index(b"data") + 8
        pcm = np.frombuffer(data[pos:], dtype="<i2").reshape(-1, channels)
        out.append(("m-%s-%s%d" % (name, "s" if channels == 2 else "m", rate // 1000), rate, pcm.copy()))
    return out


def child_cpu():
    r = resource.getrusage(resource.RUSAGE_CHILDREN)
    return r.ru_utime + r.ru_stime


def run_timed(cmd):
    before = child_cpu()
    r = subprocess.run(cmd, capture_output=True)
    if r.returncode != 0:
        raise SystemExit("failed: %s\n%s" % (" ".join(cmd), r.stderr.decode(errors="replace")))
    return child_cpu() - before


def decode(mp4, wav, n):
    subprocess.run(["ffmpeg", "-v", "error", "-nostdin", "-y", "-i", mp4, "-c:a", "pcm_f32le", wav + ".full.wav"],
                   check=True)
    subprocess.run(["sox", "-V1", wav + ".full.wav", wav, "trim", "0", "%ds" % n], check=True)


def carried_per_channel(mp4, rate, channels):
    """kbit/s per channel that the audio frames (1024 samples each) of the MP4 file carry."""
    r = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "a", "-show_entries", "packet=size",
                        "-of", "default=nw=1:nk=1", mp4], capture_output=True, text=True, check=True)
    sizes = [int(x) for x in r.stdout.split()]
    return 8 * sum(sizes) * rate / (1024 * len(sizes)) / channels / 1000


def grade(odg, ref, test, advanced):
    cmd = [odg] + (["--advanced"] if advanced else []) + [ref, test]
    r = subprocess.run(cmd, capture_output=True, text=True, check=True)
    return float(r.stdout.strip())


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default=os.path.join(HERE, "..", "build"))
    ap.add_argument("--odg", default=os.environ.get("VARNEL_ODG", DEFAULT_ODG))
    ap.add_argument("--seconds", type=float, default=6.0)
    ap.add_argument("--music-seconds", type=float, default=10.0, help="length of each music excerpt")
    ap.add_argument("--signals", default="")
    ap.add_argument("--rates", default="32,64,96")
    ap.add_argument("--encoders", default="default,perceptual,ffmpeg")
    ap.add_argument("--advanced-off", action="store_true")
    ap.add_argument("--keep", default="")
    ap.add_argument("--no-music", action="store_true", help="leave the music corpus out")
    ap.add_argument("--vbr-levels", default="1,2,3,4,5")
    ap.add_argument("--no-vbr", action="store_true", help="leave the variable rates out")
    ap.add_argument("--perceptual-options", type=int, default=MODES["perceptual"],
                    help="option bits of the perceptual mode (default 7: TNS, noise substitution)")
    args = ap.parse_args()
    encode_with = os.path.join(args.build, "tests", "integration", "varnel_encode_with")
    program = os.path.join(args.build, "VarnelAacEnc")
    rates = [int(r) * 1000 for r in args.rates.split(",")]
    encoders = args.encoders.split(",")
    wanted = set(args.signals.split(",")) if args.signals else None
    MODES["perceptual"] = args.perceptual_options
    kinds = ["basic"] + ([] if args.advanced_off else ["advanced"])

    tmp_holder = None if args.keep else tempfile.TemporaryDirectory()
    tmp = args.keep or tmp_holder.name
    os.makedirs(tmp, exist_ok=True)
    cpu = {e: 0.0 for e in encoders}
    table = []  # (signal, rate per channel, {encoder: {kind: grade}}, share of the rate spent)
    vbr_table = []  # (signal, level, {"vbr"/"ffmpeg-q": ({kind: grade}, kbit/s per channel)})
    levels = [] if args.no_vbr else [int(x) for x in args.vbr_levels.split(",")]
    corpus = signal_set(args.seconds, tmp) + ([] if args.no_music else music_corpus(args.music_seconds, tmp))
    for name, rate, pcm in corpus:
        if wanted and name not in wanted:
            continue
        channels = pcm.shape[1]
        ref = os.path.join(tmp, name + ".wav")
        write_wav(ref, pcm, rate)
        for per_channel in rates:
            total = per_channel * channels
            grades = {}
            for e in encoders:
                mp4 = os.path.join(tmp, "%s-%d-%s.mp4" % (name, per_channel // 1000, e))
                if e == "ffmpeg":
                    cpu[e] += run_timed(["ffmpeg", "-v", "error", "-nostdin", "-y", "-i", ref, "-c:a", "aac",
                                         "-b:a", str(total), mp4])
                else:
                    cpu[e] += run_timed([encode_with, str(MODES[e]), "1", ref, mp4, str(total)])
                dec = mp4 + ".wav"
                decode(mp4, dec, len(pcm))
                grades[e] = {k: grade(args.odg, ref, dec, k == "advanced") for k in kinds}
                if e == "perceptual":
                    spent = carried_per_channel(mp4, rate, channels) * 1000 / per_channel
            table.append((name, per_channel, grades, spent if "perceptual" in encoders else None))
            print("%-12s %3dk " % (name, per_channel // 1000) +
                  "  ".join("%s %s" % (e[:4], "/".join("%5.2f" % grades[e][k] for k in kinds)) for e in encoders),
                  flush=True)
        for level in levels:
            row = {}
            for e in ("vbr", "ffmpeg-q"):
                mp4 = os.path.join(tmp, "%s-vbr%d-%s.mp4" % (name, level, e))
                if e == "vbr":
                    cpu[e] = cpu.get(e, 0.0) + run_timed([program, "--vbr", str(level), ref, mp4])
                else:
                    cpu[e] = cpu.get(e, 0.0) + run_timed(["ffmpeg", "-v", "error", "-nostdin", "-y", "-i", ref,
                                                          "-c:a", "aac", "-q:a", FFMPEG_Q[level], mp4])
                dec = mp4 + ".wav"
                decode(mp4, dec, len(pcm))
                row[e] = ({k: grade(args.odg, ref, dec, k == "advanced") for k in kinds},
                          carried_per_channel(mp4, rate, channels))
            vbr_table.append((name, level, row))
            print("%-12s vbr %d " % (name, level) + "  ".join(
                "%s %s at %5.1fk" % (e, "/".join("%5.2f" % row[e][0][k] for k in kinds), row[e][1]) for e in row),
                  flush=True)

    print("\nODG (%s), per signal and rate per channel" % "/".join(kinds))
    header = "%-12s %5s " % ("signal", "rate") + "".join("%16s" % e for e in encoders)
    print(header)
    for name, per_channel, grades, _ in table:
        print("%-12s %4dk " % (name, per_channel // 1000) +
              "".join("%16s" % "/".join("%.2f" % grades[e][k] for k in kinds) for e in encoders))
    print("means")
    groups = [("mean", lambda n: True), ("generated", lambda n: not n.startswith("m-")),
              ("music", lambda n: n.startswith("m-"))]
    for label, member in groups:
        for per_channel in rates:
            rows = [g for n, r, g, _ in table if r == per_channel and member(n)]
            if not rows:
                continue
            means = {e: {k: float(np.mean([g[e][k] for g in rows])) for k in kinds} for e in encoders}
            print("%-12s %4dk " % (label, per_channel // 1000) +
                  "".join("%16s" % "/".join("%.2f" % means[e][k] for k in kinds) for e in encoders))
    spent = [s for _, _, _, s in table if s is not None]
    if spent:
        print("perceptual mode, share of the asked rate spent: mean %.3f; below 0.95: %s" % (
            float(np.mean(spent)), ", ".join("%s %dk %.2f" % (n, r // 1000, s) for n, r, _, s in table
                                             if s is not None and s < 0.95) or "none"))
    if vbr_table:
        print("\nvariable rate: ODG (%s) and kbit/s per channel; ours --vbr N, ffmpeg -q:a %s" %
              ("/".join(kinds), ", ".join(FFMPEG_Q[v] for v in levels)))
        for label, member in groups:
            for level in levels:
                rows = [row for n, v, row in vbr_table if v == level and member(n)]
                if not rows:
                    continue
                print("%-12s vbr %d " % (label, level) + "  ".join(
                    "%s %s at %5.1fk" % (e, "/".join("%.2f" % float(np.mean([r[e][0][k] for r in rows])) for k in kinds),
                                         float(np.mean([r[e][1] for r in rows]))) for e in ("vbr", "ffmpeg-q")))
    print("CPU seconds over all encodes: " + ", ".join("%s %.2f" % (e, cpu[e]) for e in cpu))


if __name__ == "__main__":
    main()
