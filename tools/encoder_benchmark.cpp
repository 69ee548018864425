// Encoder speed: encodes a generated signal (default 60 s of stereo 44100 Hz music-like audio
// at 128 kbit/s) through the encoder core, in the default and in the perceptual mode (TNS and
// noise substitution on), and prints each mode's speed as multiples of real time (audio seconds
// per CPU second) with the share of each pipeline stage (the perceptual mode's tools count as
// part of its search).
//
// Usage: encoder_benchmark [KIND [SECONDS [RATE [CHANNELS [BITRATE]]]]]
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

#include "bitstream/bit_writer.h"
#include "encoder/aac_encoder.h"
#include "frontend/wav_input.h"
#include "tools/signal_generator.h"

// The calling thread's CPU time in seconds: what the stages are measured with.
static double threadCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

static int runMode(const char* mode, int options, const std::string& wav, const std::string& kind,
                   double seconds, int rate, int channels, int bitRate) {
    using namespace varnel;
    InputStreamParams params;
    params.fileName = wav;
    params.trailingSilentFrames = 2;
    std::unique_ptr<InputStream> stream;
    std::string error;
    if (openInputStream(params, &stream, &error) != kStreamOk) {
        std::fprintf(stderr, "%s: %s\n", wav.c_str(), error.c_str());
        return 1;
    }
    EncoderConfig config;
    config.totalBitRate = bitRate;
    config.options = options;
    std::unique_ptr<AacEncoder> encoder;
    if (openEncoder(config, std::move(stream), &encoder) != OpenStatus::Ok) {
        std::fprintf(stderr, "cannot open the encoder\n");
        return 1;
    }
    StageTimes times;
    times.clock = threadCpuSeconds;
    encoder->stageTimes = &times;

    long frames = 0;
    uint64_t bytes = 0;
    const std::clock_t start = std::clock();
    while (true) {
        if (encoder->encodeFrame() != FrameStatus::Written) break;
        bytes += encoder->block().size();
        ++frames;
    }
    const double cpu = static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC;
    encoder->closeEncoder();

    const double total = times.input + times.analysis + times.tools + times.search + times.writing;
    const double audio = seconds;
    std::printf("%s mode; signal: %s, %.1f s, %d Hz, %d channel(s), %d bit/s\n", mode, kind.c_str(), seconds, rate,
                channels, bitRate);
    std::printf("frames: %ld, audio bytes: %llu (%.1f kbit/s)\n", frames, static_cast<unsigned long long>(bytes),
                bytes * 8.0 / (frames * 1024.0 / rate) / 1000.0);
    std::printf("encoder core CPU time: %.3f s, speed: %.1f x real time\n", cpu, cpu > 0 ? audio / cpu : 0.0);
    auto share = [&](const char* name, double t) {
        std::printf("  %-34s %7.3f s  %5.1f %%\n", name, t, total > 0 ? 100.0 * t / total : 0.0);
    };
    share("input and history", times.input);
    share("analysis (blocks, model, filterbank)", times.analysis);
    share("tools (bandwidth, M/S, TNS, PNS)", times.tools);
    share("quantisation search + sectioning", times.search);
    share("syntax writing", times.writing);
    return 0;
}

int main(int argc, char** argv) {
    using namespace varnel;
    const std::string kind = argc > 1 ? argv[1] : "music";
    const double seconds = argc > 2 ? std::atof(argv[2]) : 60.0;
    const int rate = argc > 3 ? std::atoi(argv[3]) : 44100;
    const int channels = argc > 4 ? std::atoi(argv[4]) : 2;
    const int bitRate = argc > 5 ? std::atoi(argv[5]) : 128000;
    // A private scratch file: created empty by mkstemp, then written by the generator.
    std::string wav = (std::filesystem::temp_directory_path() / "varnel_encoder_benchmark.XXXXXX").string();
    const int fd = mkstemp(wav.data());
    if (fd < 0) {
        std::fprintf(stderr, "cannot create a temporary file\n");
        return 1;
    }
    close(fd);
    if (!tools::writeSignalWav(wav.c_str(), kind, seconds, rate, channels)) {
        std::filesystem::remove(wav);
        std::fprintf(stderr, "cannot write %s\n", wav.c_str());
        return 1;
    }

    int status = runMode("default", kDefaultOptions, wav, kind, seconds, rate, channels, bitRate);
    if (status == 0)
        status = runMode("perceptual", kDefaultOptions | kOptionPns | kOptionPerceptual, wav, kind, seconds, rate,
                         channels, bitRate);
    std::filesystem::remove(wav);
    return status;
}
