#!/usr/bin/env bash
# Builds the encoder and runs every test: unit tests, integration tests against real decoders
# (ffmpeg, faad and gstreamer), then all of them again under AddressSanitizer and UndefinedBehaviorSanitizer.
# The sanitizer build leaves the vector build of the hot kernels out, so that the baseline
# kernels pass every test as well (the release build runs the vector ones where the CPU has them).
# Installs the decoders, the other MP4 readers, numpy and the input libraries (libsndfile, libsoxr)
# with apt-get when they are missing.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)

need=()
command -v ffmpeg >/dev/null 2>&1 || need+=(ffmpeg)
command -v faad >/dev/null 2>&1 || need+=(faad)
/usr/bin/python3 -c 'import numpy' >/dev/null 2>&1 || need+=(python3-numpy)
command -v cmake >/dev/null 2>&1 || need+=(cmake)
# The installed library is built against through pkg-config, which also finds the libraries
# the program reads other formats and converts rates with.
command -v pkg-config >/dev/null 2>&1 || need+=(pkg-config)
pkg-config --exists sndfile 2>/dev/null || need+=(libsndfile1-dev)
pkg-config --exists soxr 2>/dev/null || need+=(libsoxr-dev)
# Other readers of the MP4 file, checked when present.
command -v mediainfo >/dev/null 2>&1 || need+=(mediainfo)
command -v AtomicParsley >/dev/null 2>&1 || need+=(atomicparsley)
command -v exiftool >/dev/null 2>&1 || need+=(libimage-exiftool-perl)
command -v gst-launch-1.0 >/dev/null 2>&1 || need+=(gstreamer1.0-tools gstreamer1.0-plugins-good)
# gstreamer's faad element, through which the tests decode with gstreamer as a third decoder.
gst-inspect-1.0 faad >/dev/null 2>&1 || need+=(gstreamer1.0-plugins-bad)
if [ ${#need[@]} -gt 0 ]; then
  echo "== installing ${need[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q >/dev/null
  apt-get install -y -q "${need[@]}" >/dev/null
fi

echo "== release build and all tests"
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"

echo "== all tests again under AddressSanitizer and UndefinedBehaviorSanitizer, baseline kernels only"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DVARNEL_SANITIZE=ON -DVARNEL_VECTOR_KERNELS=OFF >/dev/null
cmake --build build-asan -j"$jobs"
ctest --test-dir build-asan --output-on-failure -j"$jobs"
