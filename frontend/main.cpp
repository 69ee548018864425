#include <cstdio>

#include "frontend/encode_loop.h"

int main(int argc, char** argv) { return varnel::runProgram(argc, argv, stdout, stderr); }
