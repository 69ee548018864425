#!/usr/bin/env bash
# Builds the encoder, generates a 5-second stereo demo signal and encodes it to demo/demo.mp4.
set -euo pipefail
cd "$(dirname "$0")/.."
# The libraries through which the program reads FLAC, AIFF and other formats and converts
# sampling rates; it builds without them, reading WAV at the AAC rates only.
if ! { command -v pkg-config && pkg-config --exists sndfile soxr; } >/dev/null 2>&1 && command -v apt-get >/dev/null; then
  echo "installing pkg-config, libsndfile and libsoxr with apt-get..."
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q >/dev/null && apt-get install -y -q pkg-config libsndfile1-dev libsoxr-dev >/dev/null
fi
echo "configuring and building the encoder in build/ (a minute or two the first time)..."
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc 2>/dev/null || echo 2)" --target VarnelAacEnc make_signal >/dev/null
echo "generating a 5-second stereo demo signal and encoding it at 128 kbit/s..."
mkdir -p demo
build/tools/make_signal music 5 44100 2 demo/demo.wav
build/VarnelAacEnc demo/demo.wav demo/demo.mp4 128000
echo
echo "wrote demo/demo.mp4 (from demo/demo.wav)"
