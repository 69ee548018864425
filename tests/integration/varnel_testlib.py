"""Shared helpers of the integration tests: WAV writing, running the encoder, decoding with
ffmpeg and faad, and reading the MP4 box tree of the output."""
import os
import re
import struct
import subprocess
import tempfile
import unittest

import numpy as np

ENCODER = os.environ.get("VARNEL_ENCODER", "VarnelAacEnc")


class Workdir(unittest.TestCase):
    """A test case with a temporary folder of its own (self.dir, self.path(name))."""

    def setUp(self):
        self._tmp = tempfile.TemporaryDirectory()
        self.dir = self._tmp.name

    def tearDown(self):
        self._tmp.cleanup()

    def path(self, name):
        return os.path.join(self.dir, name)
AAC_RATES = [96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050, 16000, 12000, 11025, 8000]
DELAY = 2048


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def write_bytes(path, data):
    with open(path, "wb") as f:
        f.write(data)


def wav_bytes(samples, rate, channels=None, bits=16, fmt_tag=1, extensible=False,
              before=(), after=(), data_size=None, valid_bits=None, raw=None, mask=0):
    """Builds a WAV file. `samples` is an int array shaped (n, channels) or (n,) of 16-bit values,
    or `raw` gives the data payload directly. `before`/`after` are (id, payload) chunks placed
    around the data chunk. `data_size` overrides the data chunk's size field; `mask` is an
    extensible header's channel mask."""
    if raw is None:
        a = np.asarray(samples)
        if a.ndim == 1:
            a = a[:, None]
        channels = a.shape[1] if channels is None else channels
        raw = a.astype("<i2").tobytes()
    block = channels * bits // 8
    if extensible:
        sub = struct.pack("<H", fmt_tag) + bytes([0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80, 0x00,
                                                  0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71])
        fmt = struct.pack("<HHIIHHHHI", 0xFFFE, channels, rate, rate * block, block, bits, 22,
                          valid_bits or bits, mask) + sub
    else:
        fmt = struct.pack("<HHIIHH", fmt_tag, channels, rate, rate * block, block, bits)
    chunks = b""

    def chunk(cid, payload, size=None):
        body = struct.pack("<4sI", cid, len(payload) if size is None else size) + payload
        return body + (b"\0" if len(payload) % 2 else b"")

    chunks += chunk(b"fmt ", fmt)
    for cid, payload in before:
        chunks += chunk(cid, payload)
    chunks += chunk(b"data", raw, data_size)
    for cid, payload in after:
        chunks += chunk(cid, payload)
    return b"RIFF" + struct.pack("<I", 4 + len(chunks)) + b"WAVE" + chunks


def write_wav(path, samples, rate, **kw):
    with open(path, "wb") as f:
        f.write(wav_bytes(samples, rate, **kw))


ENCODE_WITH = os.environ.get("VARNEL_ENCODE_WITH", "varnel_encode_with")


def encode_with(wav, mp4, rate_arg, options=1, mid_side=True):
    """The program with switchable tools (option bits, mid/side on or off)."""
    return subprocess.run([ENCODE_WITH, str(options), "1" if mid_side else "0", wav, mp4, str(rate_arg)],
                          capture_output=True)


def encode(wav, mp4, rate_arg, extra_env=None):
    env = dict(os.environ)
    if extra_env:
        env.update(extra_env)
    return subprocess.run([ENCODER, wav, mp4, str(rate_arg)], capture_output=True, env=env)


def ffmpeg_decode(mp4, channels, native=False):
    """Decodes with ffmpeg to float samples shaped (n, channels); returns (samples, warnings).
    `native` keeps the stream's own channel layout instead of asking for `channels` channels
    (which, for three, is ffmpeg's 2.1, a remix of 3.0)."""
    r = subprocess.run(["ffmpeg", "-v", "warning", "-nostdin", "-i", mp4, "-f", "f32le"] +
                       ([] if native else ["-ac", str(channels)]) + ["-"], capture_output=True)
    if r.returncode != 0:
        raise AssertionError("ffmpeg failed: " + r.stderr.decode(errors="replace"))
    data = np.frombuffer(r.stdout, dtype="<f4").reshape(-1, channels)
    return data.astype(np.float64) * 32768.0, r.stderr.decode(errors="replace").strip()


# What ffmpeg says of every ADTS stream, which has no index to read the duration from.
FFMPEG_ADTS_NOTE = "Estimating duration from bitrate, this may be inaccurate"

FAAD_START_SKIP = 1024
# What faad prints for every file of ours and that means nothing: it looks for a metadata box
# the file does not have, reads past the last box, and skips the two MPEG-4 systems tracks; for
# more than two channels it says that it writes them in the WAV order rather than the stream's.
FAAD_HARMLESS = [re.compile(p) for p in (r"^parse error: atom 'udta' not found$",
                                         r"^can't read atom name @([0-9a-f]+)$",
                                         r"^\*track media type: '(sdsm|odsm)': unsupported, skipping$",
                                         r"^\| Config: .* \| WARNING: channels are reordered according to$")]
FAAD_TROUBLE = re.compile(r"error|warning|excess|unsupported|can't|cannot|fail|unable|invalid|bad|skipping",
                          re.IGNORECASE)


def wav_payload(data):
    """(rate, channels, bits, payload) of a WAV file's fmt and data chunks."""
    pos, fmt, payload = 12, None, b""
    while pos + 8 <= len(data):
        cid, size = struct.unpack("<4sI", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + size]
        if cid == b"fmt ":
            fmt = struct.unpack("<HHIIHH", body[:16])
        elif cid == b"data":
            payload = body
        pos += 8 + size + (size & 1)
    return fmt[2], fmt[1], fmt[5], payload


def faad_decode(mp4, channels, rate=None, frames=None, frame_length=1024):
    """Decodes with faad (without -q, which hides its warnings) to float samples; a mono stream
    comes back as two identical channels, of which the first is kept. faad does not apply the
    edit list: it drops the first frame's output only, so its output lags ffmpeg's by one frame;
    that frame is cut here so that both decoders line up with the input. faad exits 0 even when
    it cannot open a file or stops early, so the output must come at the stream's rate `rate`
    (when given) and hold (frames - 1) x 1024 samples per channel; `frames` is counted from
    the MP4 file's audio track unless given (for an ADTS stream, which faad reads as well);
    an HE-AAC stream's frames hold `frame_length` 2048 samples.
    Returns (samples shaped (n, channels), problem lines)."""
    size = os.path.getsize(mp4)
    with tempfile.TemporaryDirectory() as d:
        out = os.path.join(d, "out.wav")
        r = subprocess.run(["faad", "-b", "4", "-o", out, mp4], capture_output=True)
        text = (r.stdout + r.stderr).decode(errors="replace").replace("\r", "\n")
        raw = read_bytes(out) if os.path.exists(out) else b""
    # The file names faad echoes are not its words: a temporary directory named tmp..bad..
    # must not read as trouble.
    text = text.replace(mp4, "FILE").replace(out, "OUT")
    bad = []
    for line in (l.strip() for l in text.splitlines()):
        if not FAAD_TROUBLE.search(line):
            continue
        m = [p.match(line) for p in FAAD_HARMLESS]
        if m[0] or m[2] or m[3] or (m[1] and int(m[1].group(1), 16) >= size):
            continue
        bad.append(line)
    if r.returncode != 0:
        bad.append("faad exit %d" % r.returncode)
    if not raw:
        bad.append("faad wrote no output")
        return np.zeros((0, channels)), bad
    out_rate, out_channels, _, payload = wav_payload(raw)
    if rate is not None and out_rate != rate:
        bad.append("faad decoded at %d Hz, not %d" % (out_rate, rate))
    data = np.frombuffer(payload, dtype="<f4").astype(np.float64) * 32768.0
    data = data.reshape(-1, out_channels)[:, :channels]
    expected = ((len(audio_samples(read_bytes(mp4))) if frames is None else frames) - 1) * frame_length
    if len(data) != expected:
        bad.append("faad returned %d samples per channel, not %d" % (len(data), expected))
    return data[FAAD_START_SKIP:], bad


GSTREAMER_START_SKIP = 1024


def gstreamer_decode(mp4, channels, demux="qtdemux"):
    """Decodes with gstreamer (qtdemux, which applies the edit list's start, and its faad
    element, which like faad drops the first frame's output, so that its output starts
    GSTREAMER_START_SKIP samples after ffmpeg's) to float samples; a mono stream comes back as
    two identical channels, of which the first is kept. An ADTS stream takes demux="aacparse".
    Returns (samples shaped (n, channels), rate, problem lines)."""
    with tempfile.TemporaryDirectory() as d:
        out = os.path.join(d, "out.wav")
        r = subprocess.run(["gst-launch-1.0", "-q", "filesrc", "location=" + mp4, "!", demux, "!", "faad",
                            "!", "audioconvert", "!", "audio/x-raw,format=F32LE", "!", "wavenc", "!",
                            "filesink", "location=" + out], capture_output=True)
        log = (r.stdout + r.stderr).decode(errors="replace")
        raw = read_bytes(out) if os.path.exists(out) else b""
    bad = [l for l in log.splitlines() if l.strip()]
    if r.returncode != 0:
        bad.append("gst-launch exit %d" % r.returncode)
    if not raw:
        return np.zeros((0, channels)), 0, bad + ["gstreamer wrote no output"]
    rate, out_channels, _, payload = wav_payload(raw)
    data = np.frombuffer(payload, dtype="<f4").astype(np.float64).reshape(-1, out_channels) * 32768.0
    if channels == 1 and out_channels == 2 and np.array_equal(data[:, 0], data[:, 1]):
        data = data[:, :1]
    if data.shape[1] != channels:
        bad.append("gstreamer decoded %d channels, not %d" % (out_channels, channels))
    return data, rate, bad


def frame_agreement_db(a, b, frame=1024):
    """Per 1024-sample frame, how far two decodes of one stream agree: signal power over the
    power of their difference in dB, over all channels. A frame whose difference stays below a
    thousandth of a 16-bit step (rms) agrees whatever its level (200 dB), so that silent and
    near-silent frames count as agreeing."""
    a, b = np.asarray(a, dtype=np.float64), np.asarray(b, dtype=np.float64)
    n = min(len(a), len(b)) // frame * frame
    width = frame * (a.shape[1] if a.ndim > 1 else 1)
    a, b = a[:n].reshape(-1, width), b[:n].reshape(-1, width)
    signal, error = np.sum(a ** 2, axis=1), np.sum((a - b) ** 2, axis=1)
    tiny = width * 1e-6
    with np.errstate(divide="ignore"):
        return np.where(error <= tiny, 200.0, 10 * np.log10(np.maximum(signal, tiny) / np.maximum(error, tiny)))


def snr_db(reference, decoded):
    n = min(len(reference), len(decoded))
    ref = np.asarray(reference[:n], dtype=np.float64)
    err = ref - np.asarray(decoded[:n], dtype=np.float64)
    p_err = float(np.sum(err ** 2))
    p_ref = float(np.sum(ref ** 2))
    if p_err == 0:
        return 200.0
    return 10 * np.log10(p_ref / p_err) if p_ref > 0 else -200.0


# ------------------------------------------------------------------ MP4 box tree
CONTAINERS = {b"moov", b"trak", b"mdia", b"minf", b"dinf", b"stbl", b"edts"}


class Box:
    def __init__(self, kind, offset, size, payload):
        self.kind, self.offset, self.size, self.payload = kind, offset, size, payload
        self.children = []

    def find(self, path):
        """All descendants along a path like 'trak/mdia/mdhd'."""
        parts = path.split("/")
        found = [self]
        for p in parts:
            found = [c for b in found for c in b.children if c.kind == p.encode()]
        return found

    def u32(self, off):
        return struct.unpack(">I", self.payload[off:off + 4])[0]


def parse_boxes(data, offset=0, end=None, base=0):
    end = len(data) if end is None else end
    boxes = []
    pos = offset
    while pos + 8 <= end:
        size, kind = struct.unpack(">I4s", data[pos:pos + 8])
        if size < 8 or pos + size > end:
            raise AssertionError("bad box size %d for %r at %d" % (size, kind, pos))
        b = Box(kind, base + pos, size, data[pos + 8:pos + size])
        if kind in CONTAINERS:
            b.children = parse_boxes(data, pos + 8, pos + size, base)
        elif kind in (b"stsd", b"dref"):
            b.children = parse_boxes(data, pos + 16, pos + size, base)
        boxes.append(b)
        pos += size
    if pos != end:
        raise AssertionError("trailing bytes after boxes")
    return boxes


def table_entries(box, width):
    """Entries of a full box table (stts, stsc, stco, stsz...) as tuples of `width` uint32."""
    if box.kind == b"stsz":
        count = box.u32(8)
        return [box.u32(12 + 4 * i) for i in range(count)]
    count = box.u32(4)
    return [struct.unpack(">" + "I" * width, box.payload[8 + 4 * width * i: 8 + 4 * width * (i + 1)])
            for i in range(count)]


def audio_samples(mp4_bytes):
    """The AAC frames of the audio track (track ID 3) as a list of byte strings."""
    top = Box(b"root", 0, len(mp4_bytes), b"")
    top.children = parse_boxes(mp4_bytes)
    for trak in top.find("moov/trak"):
        tkhd = trak.find("tkhd")[0]
        if tkhd.u32(12) != 3:
            continue
        stbl = trak.find("mdia/minf/stbl")[0]
        sizes = table_entries(stbl.find("stsz")[0], 1)
        offsets = [e[0] for e in table_entries(stbl.find("stco")[0], 1)]
        stsc = table_entries(stbl.find("stsc")[0], 3)
        frames = []
        per_chunk = []
        for i in range(len(offsets)):
            n = 0
            for first, count, _ in stsc:
                if first - 1 <= i:
                    n = count
            per_chunk.append(n)
        k = 0
        for off, n in zip(offsets, per_chunk):
            for _ in range(n):
                frames.append(mp4_bytes[off:off + sizes[k]])
                off += sizes[k]
                k += 1
        return frames
    raise AssertionError("no audio track")


def adts_frames(data):
    """The frames of an ADTS stream as (header fields, raw data block) pairs; the fields are
    a dict by the standard's names. Fails on a lost sync or a stream cut inside a frame."""
    frames, pos = [], 0
    while pos < len(data):
        r = BitReader(data[pos:pos + 7])
        names = [("syncword", 12), ("ID", 1), ("layer", 2), ("protection_absent", 1), ("profile_ObjectType", 2),
                 ("sampling_frequency_index", 4), ("private_bit", 1), ("channel_configuration", 3),
                 ("original_copy", 1), ("home", 1), ("copyright_identification_bit", 1),
                 ("copyright_identification_start", 1), ("frame_length", 13), ("adts_buffer_fullness", 11),
                 ("number_of_raw_data_blocks_in_frame", 2)]
        fields = {name: r.bits(width) for name, width in names}
        if fields["syncword"] != 0xFFF or pos + fields["frame_length"] > len(data):
            raise AssertionError("ADTS sync lost at byte %d" % pos)
        frames.append((fields, data[pos + 7:pos + fields["frame_length"]]))
        pos += fields["frame_length"]
    return frames


# ------------------------------------------------------------------ AAC frame headers
class BitReader:
    def __init__(self, data):
        self.data, self.pos = data, 0

    def bits(self, n):
        v = 0
        for _ in range(n):
            byte = self.data[self.pos >> 3]
            v = (v << 1) | ((byte >> (7 - (self.pos & 7))) & 1)
            self.pos += 1
        return v


def frame_window_info(frame):
    """(element id, common_window or None, window_sequence, window_shape, max_sfb, group lengths)
    of the first channel of a raw data block, read from its ics_info."""
    r = BitReader(frame)
    element = r.bits(3)
    r.bits(4)  # element_instance_tag
    common = None
    if element == 1:
        common = r.bits(1)
        if not common:
            r.bits(8)  # global_gain of channel 0 precedes its ics_info
    else:
        r.bits(8)
    r.bits(1)  # ics_reserved_bit
    seq = r.bits(2)
    shape = r.bits(1)
    if seq == 2:
        max_sfb = r.bits(4)
        grouping = r.bits(7)
        groups = [1]
        for i in range(7):
            if grouping & (1 << (6 - i)):
                groups[-1] += 1
            else:
                groups.append(1)
    else:
        max_sfb = r.bits(6)
        groups = [1]
    return element, common, seq, shape, max_sfb, groups


def ffprobe_presented_samples(mp4):
    """Samples per channel that ffmpeg's demuxer presents after the edit list: the sum of the
    audio packet durations from presentation time 0 on."""
    r = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "a", "-show_entries",
                        "packet=pts,duration", "-of", "csv=p=0", mp4], capture_output=True)
    total = 0
    for line in r.stdout.decode().split():
        pts, duration = (int(v) for v in line.split(",")[:2])
        if pts >= 0:
            total += duration
    return total


def pair_stereo_mask(frame):
    """For a channel pair element with common_window 1: (ms_mask_present, ms_used flags of every
    window group and band up to max_sfb, empty unless ms_mask_present is 1). None for any other
    element or a pair without a common window."""
    r = BitReader(frame)
    if r.bits(3) != 1:  # id_syn_ele: ID_CPE
        return None
    r.bits(4)  # element_instance_tag
    if not r.bits(1):  # common_window
        return None
    r.bits(1)  # ics_reserved_bit
    seq = r.bits(2)
    r.bits(1)  # window_shape
    if seq == 2:
        max_sfb = r.bits(4)
        grouping = r.bits(7)
        groups = 1 + sum(1 for i in range(7) if not grouping & (1 << (6 - i)))
    else:
        max_sfb = r.bits(6)
        if r.bits(1):  # predictor_data_present: never set in AAC LC
            raise AssertionError("predictor_data_present set in an AAC LC stream")
        groups = 1
    present = r.bits(2)  # ms_mask_present
    used = [r.bits(1) for _ in range(groups * max_sfb)] if present == 1 else []
    return present, used


def lowpass(x, rate, cutoff):
    """x (n,) or (n, channels) with every component above `cutoff` Hz removed (one FFT over
    the whole signal: exact, and cheap for the few seconds the tests use)."""
    spectrum = np.fft.rfft(np.asarray(x, dtype=np.float64), axis=0)
    spectrum[np.fft.rfftfreq(len(x), 1.0 / rate) > cutoff] = 0
    return np.fft.irfft(spectrum, len(x), axis=0)


def third_octave_bands(low, high):
    """(lower, upper) edges in Hz of the third-octave bands from `low` up to at most `high`."""
    edges = [float(low)]
    while edges[-1] * 2 ** (1 / 3) <= high:
        edges.append(edges[-1] * 2 ** (1 / 3))
    return list(zip(edges[:-1], edges[1:]))


def band_energies_db(x, rate, bands):
    """Energy in dB of x (n,) or (n, channels) in each (lower, upper) band over the whole
    signal, shaped (bands,) or (bands, channels)."""
    power = np.abs(np.fft.rfft(np.asarray(x, dtype=np.float64), axis=0)) ** 2
    freq = np.fft.rfftfreq(len(x), 1.0 / rate)
    return np.array([10 * np.log10(np.sum(power[(freq >= lo) & (freq < hi)], axis=0) + 1e-9)
                     for lo, hi in bands])
