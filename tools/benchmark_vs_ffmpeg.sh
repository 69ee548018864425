#!/usr/bin/env bash
# Whole-process speed and memory of VarnelAacEnc against ffmpeg's native AAC encoder.
#
# Usage: tools/benchmark_vs_ffmpeg.sh [BUILD_DIR [RUNS [LONG_MINUTES]]]
#   BUILD_DIR     a built tree (default build-perf) with VarnelAacEnc and tools/make_signal
#   RUNS          encodes per program (default 5); the median user+sys CPU time is reported
#   LONG_MINUTES  length of the long input used for the memory check (default 10; 0 skips it)
#
# Generates 60 s of stereo 44100 Hz music-like audio with make_signal, encodes it RUNS times with
# each program at 128 kbit/s, and prints the median CPU time of each, the ratio ffmpeg/ours, our
# speed as a multiple of real time and our peak resident set size (from /usr/bin/time or GNU
# time's format). The long input shows whether memory grows with length: its peak RSS should
# equal the 60 s one up to the MP4 sample tables (4 bytes per frame, about 170 kB per hour).
# Finally it prints the per-stage split of the encoder core from encoder_benchmark.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-perf}
runs=${2:-5}
long_minutes=${3:-10}
enc="$build/VarnelAacEnc"
gen="$build/tools/make_signal"
for f in "$enc" "$gen" "$build/tools/encoder_benchmark"; do
  [ -x "$f" ] || { echo "missing $f: build $build first" >&2; exit 1; }
done
command -v ffmpeg >/dev/null || { echo "ffmpeg not found" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "/usr/bin/time not found (apt-get install time)" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$gen" music 60 44100 2 "$work/in.wav"

# Runs a command under GNU time; prints "cpu_seconds peak_rss_kib".
measure() {
  /usr/bin/time -f "%U %S %M" -o "$work/time.txt" "$@" >/dev/null 2>&1
  awk '{ printf "%.3f %d\n", $1 + $2, $3 }' "$work/time.txt"
}
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

: >"$work/ours.txt"
: >"$work/ffmpeg.txt"
for ((i = 0; i < runs; ++i)); do
  measure "$enc" "$work/in.wav" "$work/ours.mp4" 128000 >>"$work/ours.txt"
  measure ffmpeg -nostdin -y -v error -i "$work/in.wav" -c:a aac -b:a 128k "$work/ffmpeg.m4a" >>"$work/ffmpeg.txt"
done
ours=$(cut -d' ' -f1 "$work/ours.txt" | median)
theirs=$(cut -d' ' -f1 "$work/ffmpeg.txt" | median)
rss=$(cut -d' ' -f2 "$work/ours.txt" | sort -n | tail -1)
echo "60 s stereo 44100 Hz music-like, 128 kbit/s, $runs runs each"
echo "  VarnelAacEnc CPU s: $(cut -d' ' -f1 "$work/ours.txt" | tr '\n' ' ')-> median $ours"
echo "  ffmpeg aac   CPU s: $(cut -d' ' -f1 "$work/ffmpeg.txt" | tr '\n' ' ')-> median $theirs"
awk -v o="$ours" -v t="$theirs" 'BEGIN {
  printf "  ratio ffmpeg/ours: %.2f (goal >= 4), ours: %.0f x real time\n", t / o, 60 / o }'
echo "  VarnelAacEnc peak RSS: $rss KiB"

if [ "$long_minutes" -gt 0 ]; then
  "$gen" music $((long_minutes * 60)) 44100 2 "$work/long.wav"
  read -r long_cpu long_rss < <(measure "$enc" "$work/long.wav" "$work/long.mp4" 128000)
  rm -f "$work/long.wav" "$work/long.mp4"
  echo "  $long_minutes min input: CPU $long_cpu s, peak RSS $long_rss KiB" \
       "(60 s: $rss KiB; growth $((long_rss - rss)) KiB)"
fi

echo "encoder core stages (encoder_benchmark):"
"$build/tools/encoder_benchmark" | sed 's/^/  /'
