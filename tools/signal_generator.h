// Generated test signals at the 16-bit scale, shared by the signal tool and the benchmarks.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace varnel::tools {

// Sample i of channel `channel` of a generated signal: music (a chord with vibrato, a bass
// line and noise-burst beats), tone (1 kHz sine), noise (white), clicks (sharp clicks over a
// quiet tone) or silence. Unclipped; `rng` supplies the noise.
inline double sample(const std::string& kind, long i, int channel, double rate, std::mt19937& rng) {
    const double t = static_cast<double>(i) / rate;
    const double pi = 3.14159265358979323846;
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    if (kind == "tone") return 10000.0 * std::sin(2 * pi * 1000.0 * t);
    if (kind == "noise") return 8000.0 * u(rng);
    if (kind == "silence") return 0.0;
    if (kind == "clicks") {
        const long period = static_cast<long>(rate * 0.25);
        const long k = i % period;
        const double click = k < 64 ? 20000.0 * std::exp(-k / 12.0) * (k % 2 ? -1.0 : 1.0) : 0.0;
        return click + 300.0 * std::sin(2 * pi * 440.0 * t);
    }
    // music: a slowly changing chord with vibrato, a bass line, a little noise, and a beat.
    const double notes[4] = {220.0, 277.18, 329.63, 440.0};
    const int bar = static_cast<int>(t / 2.0) % 4;
    double s = 0.0;
    for (int n = 0; n < 4; ++n) {
        const double f = notes[n] * (bar % 2 ? 1.122 : 1.0) * (1.0 + 0.003 * std::sin(2 * pi * 5.0 * t));
        s += 2500.0 / (n + 1) * std::sin(2 * pi * f * t + channel * 0.3 * n);
        s += 600.0 / (n + 1) * std::sin(2 * pi * 3 * f * t);
    }
    s += 3000.0 * std::sin(2 * pi * (55.0 * (1 + bar)) * t);
    const double beat = std::fmod(t, 0.5);
    if (beat < 0.05) s += 4000.0 * std::exp(-beat * 60.0) * u(rng);
    s += 150.0 * u(rng);
    return s;
}


namespace detail {
inline void le16(std::FILE* f, uint16_t v) {
    const uint8_t b[2] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)};
    std::fwrite(b, 1, 2, f);
}
inline void le32(std::FILE* f, uint32_t v) {
    const uint8_t b[4] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
                          static_cast<uint8_t>(v >> 24)};
    std::fwrite(b, 1, 4, f);
}
}  // namespace detail

// Writes `seconds` of a generated signal as a 16-bit PCM WAV file; false when it cannot.
inline bool writeSignalWav(const char* path, const std::string& kind, double seconds, int rate, int channels) {
    using detail::le16;
    using detail::le32;
    std::FILE* f = std::fopen(path, "wb");
    if (!f) return false;
    const long frames = static_cast<long>(seconds * rate);
    const uint32_t dataBytes = static_cast<uint32_t>(frames * channels * 2);
    std::fwrite("RIFF", 1, 4, f);
    le32(f, 36 + dataBytes);
    std::fwrite("WAVEfmt ", 1, 8, f);
    le32(f, 16);
    le16(f, 1);
    le16(f, static_cast<uint16_t>(channels));
    le32(f, static_cast<uint32_t>(rate));
    le32(f, static_cast<uint32_t>(rate * channels * 2));
    le16(f, static_cast<uint16_t>(channels * 2));
    le16(f, 16);
    std::fwrite("data", 1, 4, f);
    le32(f, dataBytes);
    std::mt19937 rng(1234);
    std::vector<uint8_t> buf;
    buf.reserve(65536);
    for (long i = 0; i < frames; ++i) {
        for (int c = 0; c < channels; ++c) {
            double v = std::round(sample(kind, i, c, rate, rng));
            v = v > 32767 ? 32767 : (v < -32768 ? -32768 : v);
            const auto s = static_cast<uint16_t>(static_cast<int16_t>(v));
            buf.push_back(static_cast<uint8_t>(s));
            buf.push_back(static_cast<uint8_t>(s >> 8));
        }
        if (buf.size() >= 65000) {
            std::fwrite(buf.data(), 1, buf.size(), f);
            buf.clear();
        }
    }
    std::fwrite(buf.data(), 1, buf.size(), f);
    return std::fclose(f) == 0;
}

}  // namespace varnel::tools
