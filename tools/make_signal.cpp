// Writes a generated 16-bit PCM WAV file for demos and benchmarks.
//
// Usage: make_signal KIND SECONDS RATE CHANNELS OUT.wav
// KIND: music, tone, noise, clicks or silence (see signal_generator.h).
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tools/signal_generator.h"

int main(int argc, char** argv) {
    if (argc != 6) {
        std::fprintf(stderr, "usage: make_signal music|tone|noise|clicks|silence SECONDS RATE CHANNELS OUT.wav\n");
        return 1;
    }
    const double seconds = std::atof(argv[2]);
    const int rate = std::atoi(argv[3]);
    const int channels = std::atoi(argv[4]);
    if (seconds < 0 || rate <= 0 || channels < 1 || channels > 2) {
        std::fprintf(stderr, "make_signal: bad arguments\n");
        return 1;
    }
    if (!varnel::tools::writeSignalWav(argv[5], argv[1], seconds, rate, channels)) {
        std::perror(argv[5]);
        return 1;
    }
    return 0;
}
