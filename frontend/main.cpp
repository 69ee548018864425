#include <csignal>
#include <cstdio>

#include "frontend/encode_loop.h"

int main(int argc, char** argv) {
    // A reader of the console lines that goes away (`VarnelAacEnc ... | head`) must not end the
    // run: writes to it then fail quietly, and a failed write of the audio itself is reported.
    std::signal(SIGPIPE, SIG_IGN);
    return varnel::runProgram(argc, argv, stdout, stderr);
}
