// The program with switchable tools, for comparisons in the integration tests:
//   varnel_encode_with OPTIONS MIDSIDE input.wav output.mp4 TotalBitRate
// OPTIONS are the encoder's option bits (1 TNS, 2 noise substitution, 4 perceptual mode),
// MIDSIDE 0 or 1.
#include <cstdio>
#include <cstdlib>

#include "frontend/encode_loop.h"

int main(int argc, char** argv) {
    if (argc != 6) {
        std::fprintf(stderr, "usage: varnel_encode_with OPTIONS MIDSIDE input.wav output.mp4 TotalBitRate\n");
        return 1;
    }
    varnel::ProgramSettings settings;
    settings.options = std::atoi(argv[1]) | (std::atoi(argv[2]) != 0 ? varnel::kOptionMidSide : 0);
    const char* args[] = {argv[0], argv[3], argv[4], argv[5]};
    return varnel::runProgram(4, args, stdout, stderr, settings);
}
