// Cost of the analysis stages per channel and frame: the transient detection and block
// switching decision, and the filterbank for a long block and for eight short windows.
//
// Usage: analysis_benchmark [ITERATIONS]
// Each stage runs ITERATIONS times (default 100000) in each of several runs, over a history
// that is shifted by one frame every 64 calls so that the detectors see changing input: once
// with full-scale noise and once with the music-like signal of tools/signal_generator.h (a
// chord, a bass line and noise-burst beats, so that the decision meets attacks). Printed per call, in microseconds: the fastest run's wall-clock time
// (std::chrono::steady_clock) and its processor time (std::clock), which stays meaningful
// when other processes share the machine.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "analysis/block_switching.h"
#include "analysis/filterbank.h"
#include "encoder/aac_encoder.h"
#include "tools/signal_generator.h"

namespace {

using namespace varnel;

constexpr int kRuns = 7;
constexpr int kSignalFrames = 88;  // about two seconds at 44100 Hz: four beats of the music-like signal

// A channel's history, shifted the way the encoder shifts it, with frames of full-scale noise
// (kind "noise") or of a generated signal at 44100 Hz.
struct Signal {
    Signal(const char* kind, unsigned seed) : frames(kSignalFrames * kFrameLength) {
        std::mt19937 rng(seed);
        std::uniform_real_distribution<double> u(-32767.0, 32767.0);
        for (size_t i = 0; i < frames.size(); ++i)
            frames[i] = std::string(kind) == "noise" ? u(rng) : tools::sample(kind, static_cast<long>(i), 0, 44100, rng);
        for (int f = 0; f < 3; ++f) shift();
    }
    void shift() {
        double* h = buffer->timeSamples();
        std::copy(h + kFrameLength, h + kHistoryLength, h);
        const double* frame = frames.data() + kFrameLength * (next++ % kSignalFrames);
        std::copy(frame, frame + kFrameLength, h + 2 * kFrameLength);
    }
    std::vector<double> frames;
    int next = 0;
    std::unique_ptr<ChannelBuffer> buffer = std::make_unique<ChannelBuffer>();
};

struct Cost {
    double wall;       // microseconds per call
    double processor;  // microseconds per call
};

// The fastest of kRuns runs of `iterations` calls of `body`.
template <typename Body>
Cost costPerCall(long iterations, Signal& signal, Body body) {
    Cost best{1e30, 1e30};
    for (int r = 0; r < kRuns; ++r) {
        const auto start = std::chrono::steady_clock::now();
        const std::clock_t startCpu = std::clock();
        for (long i = 0; i < iterations; ++i) {
            if (i % 64 == 0) signal.shift();
            body();
        }
        const std::clock_t stopCpu = std::clock();
        const auto stop = std::chrono::steady_clock::now();
        best.wall = std::min(best.wall, std::chrono::duration<double, std::micro>(stop - start).count() / iterations);
        best.processor = std::min(best.processor, 1e6 * static_cast<double>(stopCpu - startCpu) / CLOCKS_PER_SEC / iterations);
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    const long iterations = argc > 1 ? std::atol(argv[1]) : 100000;
    if (iterations <= 0) {
        std::fprintf(stderr, "usage: analysis_benchmark [ITERATIONS]\n");
        return 1;
    }
    double checksum = 0.0;
    std::printf("per channel and frame, fastest of %d runs of %ld calls     wall   processor\n", kRuns, iterations);
    for (const char* kind : {"noise", "music"}) {
        Signal signal(kind, 1);
        const BlockSwitchingContext context{4, 1, kMaxBitsPerChannel, true};  // 44100 Hz mono, TNS on
        IcsInfo ics{};
        initIcsInfo(ics);
        TransientDetector detector{};
        initTransientDetector(detector);
        long shortDecisions = 0;
        long decisions = 0;

        const Cost decision = costPerCall(iterations, signal, [&] {
            decideWindowSequence(*signal.buffer, ics, detector, context);
            shortDecisions += ics.windowSequence == EIGHT_SHORT_SEQUENCE;
            ++decisions;
            checksum += ics.windowSequence + detector.blockEnergyMean;
        });

        auto filterbank = [&](int sequence) {
            IcsInfo info{};
            initIcsInfo(info);
            info.windowSequence = sequence;
            return costPerCall(iterations, signal, [&] {
                analysisFilterbank(*signal.buffer, info);
                checksum += signal.buffer->spectrum[17];
            });
        };
        const Cost longBlock = filterbank(ONLY_LONG_SEQUENCE);
        const Cost shortBlock = filterbank(EIGHT_SHORT_SEQUENCE);

        std::printf("%s input (%.1f %% of the decisions short):\n", kind, 100.0 * shortDecisions / decisions);
        auto line = [](const char* name, Cost c) { std::printf("  %-44s %7.3f us %7.3f us\n", name, c.wall, c.processor); };
        line("transient detection and block switching", decision);
        line("filterbank, long block", longBlock);
        line("filterbank, eight short windows", shortBlock);
    }
    std::printf("(checksum %g)\n", checksum);
    return 0;
}
