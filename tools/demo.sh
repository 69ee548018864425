#!/usr/bin/env bash
# Builds the encoder, generates a 5-second stereo demo signal and encodes it to demo/demo.mp4.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc 2>/dev/null || echo 2)" --target VarnelAacEnc make_signal >/dev/null
mkdir -p demo
build/tools/make_signal music 5 44100 2 demo/demo.wav
build/VarnelAacEnc demo/demo.wav demo/demo.mp4 128000
echo
echo "wrote demo/demo.mp4 (from demo/demo.wav)"
