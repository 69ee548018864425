// Speed of the library interface: encodes a generated signal (default 60 s of stereo 44100 Hz
// music-like audio at 128 kbit/s) from memory through varnel_aac_encode_int16, with one encoder
// or with two encoders in two threads, and prints the speed as multiples of real time (audio
// seconds per second of CPU time, and per second of wall time). Compare with encoder_benchmark,
// which drives the encoder core through the WAV reader.
//
// Usage: library_benchmark [KIND [SECONDS [RATE [CHANNELS [BITRATE [THREADS]]]]]]
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tools/signal_generator.h"
#include "varnel/aac_encoder.h"

namespace {

// Encodes the whole signal; returns the number of access-unit bytes, or -1 on a refusal.
long long encodeAll(const std::vector<int16_t>& pcm, int rate, int channels, int bitRate) {
    VarnelAacEncoder* enc = varnel_aac_encoder_open(rate, channels, bitRate, nullptr);
    if (!enc) return -1;
    unsigned char au[VARNEL_AAC_MAX_ACCESS_UNIT_BYTES];
    long long bytes = 0;
    const long total = static_cast<long>(pcm.size()) / channels;
    for (long n = 0; n < total; n += VARNEL_AAC_FRAME_LENGTH) {
        const int count = static_cast<int>(total - n < VARNEL_AAC_FRAME_LENGTH ? total - n : VARNEL_AAC_FRAME_LENGTH);
        const int size = varnel_aac_encode_int16(enc, pcm.data() + n * channels, count, au, sizeof au);
        if (size < 0) return -1;
        bytes += size;
    }
    for (int size; (size = varnel_aac_encoder_flush(enc, au, sizeof au)) > 0;) bytes += size;
    varnel_aac_encoder_destroy(enc);
    return bytes;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string kind = argc > 1 ? argv[1] : "music";
    const double seconds = argc > 2 ? std::atof(argv[2]) : 60.0;
    const int rate = argc > 3 ? std::atoi(argv[3]) : 44100;
    const int channels = argc > 4 ? std::atoi(argv[4]) : 2;
    const int bitRate = argc > 5 ? std::atoi(argv[5]) : 128000;
    const int threads = argc > 6 ? std::atoi(argv[6]) : 1;

    std::mt19937 rng(1234);
    const long frames = static_cast<long>(seconds * rate);
    std::vector<int16_t> pcm;
    pcm.reserve(static_cast<size_t>(frames * channels));
    for (long i = 0; i < frames; ++i)
        for (int c = 0; c < channels; ++c)
            pcm.push_back(static_cast<int16_t>(std::fmax(-32768.0, std::fmin(32767.0, std::round(
                varnel::tools::sample(kind, i, c, rate, rng))))));

    const std::clock_t cpuStart = std::clock();
    const auto wallStart = std::chrono::steady_clock::now();
    std::vector<long long> bytes(static_cast<size_t>(threads));
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([&, t] { bytes[static_cast<size_t>(t)] = encodeAll(pcm, rate, channels, bitRate); });
    for (std::thread& w : workers) w.join();
    const double cpu = static_cast<double>(std::clock() - cpuStart) / CLOCKS_PER_SEC;
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
    for (long long b : bytes)
        if (b < 0) return std::fprintf(stderr, "an encoder refused a call\n"), 1;

    const double audio = seconds * threads;
    std::printf("signal: %s, %.1f s, %d Hz, %d channel(s), %d bit/s, %d encoder(s)\n", kind.c_str(), seconds, rate,
                channels, bitRate, threads);
    std::printf("audio bytes per encoder: %lld (%.1f kbit/s)\n", bytes[0], bytes[0] * 8.0 / seconds / 1000.0);
    std::printf("CPU time: %.3f s, %.1f x real time; wall time %.3f s, %.1f x real time\n", cpu,
                cpu > 0 ? audio / cpu : 0.0, wall, wall > 0 ? audio / wall : 0.0);
    return 0;
}
