"""Test signals as int16 arrays shaped (n, channels), deterministic for a given seed."""
import numpy as np


def _clip(x):
    return np.clip(np.round(x), -32768, 32767).astype(np.int16)


def sine(rate, seconds, freq=1000.0, amp=10000.0, channels=1):
    t = np.arange(int(rate * seconds)) / rate
    x = amp * np.sin(2 * np.pi * freq * t)
    return _clip(np.repeat(x[:, None], channels, axis=1))


def sweep(rate, seconds, channels=1, amp=8000.0):
    n = int(rate * seconds)
    t = np.arange(n) / rate
    f0, f1 = 50.0, rate * 0.45
    phase = 2 * np.pi * f0 * seconds / np.log(f1 / f0) * (np.exp(t / seconds * np.log(f1 / f0)) - 1)
    x = amp * np.sin(phase)
    return _clip(np.repeat(x[:, None], channels, axis=1))


def noise(rate, seconds, channels=1, amp=6000.0, seed=1):
    rng = np.random.default_rng(seed)
    return _clip(amp * rng.uniform(-1, 1, (int(rate * seconds), channels)))


def music(rate, seconds, channels=2, seed=2):
    """A chord with vibrato, a bass line, noise-burst beats and a little hiss."""
    rng = np.random.default_rng(seed)
    n = int(rate * seconds)
    t = np.arange(n) / rate
    out = np.zeros((n, channels))
    notes = [220.0, 277.18, 329.63, 440.0, 554.37]
    for c in range(channels):
        x = np.zeros(n)
        for k, f in enumerate(notes):
            if f * 3 < rate / 2:
                vib = 1 + 0.004 * np.sin(2 * np.pi * 5.5 * t + k)
                x += 2500 / (k + 1) * np.sin(2 * np.pi * f * vib * t + c * 0.4 * k)
                x += 500 / (k + 1) * np.sin(2 * np.pi * 3 * f * t + c)
        x += 3000 * np.sin(2 * np.pi * 55 * (1 + (t // 1) % 3) * t)
        beat = np.mod(t, 0.5)
        x += 5000 * np.exp(-beat * 40) * rng.uniform(-1, 1, n) * (beat < 0.1)
        x += 100 * rng.uniform(-1, 1, n)
        out[:, c] = x
    return _clip(out)


def speech(rate, seconds, channels=1, seed=3):
    """Voiced segments (a glottal pulse train through formant resonances) with pauses and
    fricative noise: the envelope and spectrum move like speech."""
    rng = np.random.default_rng(seed)
    n = int(rate * seconds)
    t = np.arange(n) / rate
    f0 = 120 + 30 * np.sin(2 * np.pi * 0.7 * t)
    phase = np.cumsum(f0 / rate)
    pulses = (np.diff(np.floor(phase), prepend=0) > 0).astype(float) * 8000
    x = np.zeros(n)
    for fc, bw, g in [(700, 130, 1.0), (1220, 70, 0.6), (2600, 160, 0.3)]:
        if fc < rate / 2:
            r = np.exp(-np.pi * bw / rate)
            a1, a2 = 2 * r * np.cos(2 * np.pi * fc / rate), -r * r
            y = np.zeros(n)
            for i in range(2, n):
                y[i] = pulses[i] + a1 * y[i - 1] + a2 * y[i - 2]
            x += g * y
    syll = (np.sin(2 * np.pi * 3.0 * t) > -0.2).astype(float)
    fric = (np.sin(2 * np.pi * 3.0 * t + 2.2) > 0.8) * rng.normal(0, 1500, n)
    x = x / (np.max(np.abs(x)) + 1e-9) * 12000 * syll + fric
    return _clip(np.repeat(x[:, None], channels, axis=1) + rng.normal(0, 20, (n, channels)))


def clicks(rate, seconds, channels=1, interval=0.25, seed=4):
    """Castanet-like: sharp decaying clicks over a quiet tone."""
    rng = np.random.default_rng(seed)
    n = int(rate * seconds)
    t = np.arange(n) / rate
    x = 300 * np.sin(2 * np.pi * 440 * t)
    period = int(rate * interval)
    for start in range(period // 2, n, period):
        k = np.arange(min(int(rate * 0.004), n - start))
        x[start:start + len(k)] += 20000 * np.exp(-k / (rate * 0.0006)) * rng.uniform(-1, 1, len(k))
    out = np.repeat(x[:, None], channels, axis=1)
    if channels == 2:
        out[:, 1] *= 0.7
    return _clip(out)


def silence(rate, seconds, channels=1):
    return np.zeros((int(rate * seconds), channels), dtype=np.int16)


def pink_noise(rate, seconds, channels=2, amp=6000.0, seed=6):
    """Noise whose power falls 3 dB per octave, each channel its own (white noise shaped by
    1/sqrt(f) in one FFT)."""
    rng = np.random.default_rng(seed)
    n = int(rate * seconds)
    spectrum = np.fft.rfft(rng.normal(0, 1, (n, channels)), axis=0)
    f = np.fft.rfftfreq(n, 1.0 / rate)
    spectrum *= 1 / np.sqrt(np.maximum(f, 20.0))[:, None]
    x = np.fft.irfft(spectrum, n, axis=0)
    return _clip(x / np.max(np.abs(x)) * amp * 3)


def bursts(rate, seconds, channels=2, interval=0.37, seed=7):
    """Loud noise bursts of 30 ms over a quiet tone, at independent times in each channel."""
    rng = np.random.default_rng(seed)
    n = int(rate * seconds)
    t = np.arange(n) / rate
    out = np.zeros((n, channels))
    for c in range(channels):
        out[:, c] = 400 * np.sin(2 * np.pi * (330 + 110 * c) * t)
        start = int(rng.uniform(0, interval) * rate)
        while start < n:
            k = min(int(0.03 * rate), n - start)
            out[start:start + k, c] += 16000 * rng.uniform(-1, 1, k)
            start += int(rng.uniform(0.5, 1.5) * interval * rate)
    return _clip(out)
