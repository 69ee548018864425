#!/usr/bin/env bash
# Whole-process speed and memory of VarnelAacEnc against ffmpeg's native AAC encoder.
#
# Usage: tools/benchmark_vs_ffmpeg.sh [BUILD_DIR [RUNS [LONG_MINUTES]]]
#   BUILD_DIR     a built tree (default build-perf) with VarnelAacEnc and tools/make_signal
#   RUNS          encodes per program and mode (default 11); the median user+sys CPU time is
#                 reported. Our encode takes about a tenth of a second, and on a shared machine
#                 single runs of it vary by a quarter: fewer runs make the median swing.
#   LONG_MINUTES  length of the long input used for the memory check (default 20; 0 skips it)
#
# Generates 60 s of stereo 44100 Hz music-like audio with make_signal and encodes it RUNS times
# at 128 kbit/s with ffmpeg's aac encoder and with VarnelAacEnc in the default and in the
# perceptual mode, interleaved, so that a load on the machine falls on all alike. Prints the
# median CPU time of each, the ratio ffmpeg/ours per mode against its goal, our speed as a
# multiple of real time and our peak resident set size (GNU time) at 60 s and on the long input,
# in both modes, against the 4 MiB goal; and the machine's load average before and after. The
# long input shows how memory grows with length: the sample-size table takes about 4 bytes per
# frame. Then CPU per channel of a 5.1 version of the input against stereo, and the CPU time of
# --he at 48 kbit/s against ffmpeg's aac at 48 kbit/s. Finally it prints
# the per-stage split of the encoder core from encoder_benchmark.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-perf}
runs=${2:-11}
long_minutes=${3:-20}
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
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"

# Runs a command under GNU time; prints "cpu_seconds peak_rss_kib": the peak resident set from
# GNU time, the user + system CPU time from the shell's children times, which count
# milliseconds (GNU time rounds to 10 ms, a tenth of what the encoder takes).
measure() {
  # `times` prints the shell's own times, then its children's.
  (
    /usr/bin/time -f "%M" -o "$work/rss.txt" "$@" >/dev/null 2>&1
    times
  ) | awk 'NR == 2 { split($1, u, "m"); split($2, s, "m"); printf "%.3f ", u[1] * 60 + u[2] + s[1] * 60 + s[2] }'
  cat "$work/rss.txt"
}
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

: >"$work/default.txt"
: >"$work/perceptual.txt"
: >"$work/ffmpeg.txt"
for ((i = 0; i < runs; ++i)); do
  measure ffmpeg -nostdin -y -v error -i "$work/in.wav" -c:a aac -b:a 128k "$work/ffmpeg.m4a" >>"$work/ffmpeg.txt"
  measure "$enc" "$work/in.wav" "$work/ours.mp4" 128000 >>"$work/default.txt"
  measure "$enc" --perceptual "$work/in.wav" "$work/ours.mp4" 128000 >>"$work/perceptual.txt"
done
theirs=$(cut -d' ' -f1 "$work/ffmpeg.txt" | median)
echo "60 s stereo 44100 Hz music-like, 128 kbit/s, $runs runs each"
echo "  ffmpeg aac           CPU s: $(cut -d' ' -f1 "$work/ffmpeg.txt" | tr '\n' ' ')-> median $theirs"
for mode in default perceptual; do
  ours=$(cut -d' ' -f1 "$work/$mode.txt" | median)
  rss=$(cut -d' ' -f2 "$work/$mode.txt" | sort -n | tail -1)
  goal=$([ "$mode" = default ] && echo 10 || echo 6)
  printf "  VarnelAacEnc %-10s CPU s: %s-> median %s\n" "$mode" "$(cut -d' ' -f1 "$work/$mode.txt" | tr '\n' ' ')" "$ours"
  awk -v o="$ours" -v t="$theirs" -v g="$goal" -v m="$mode" -v r="$rss" 'BEGIN {
    printf "    %s: ratio ffmpeg/ours %.2f (goal >= %d), %.0f x real time, peak RSS %d KiB\n", m, t / o, g, 60 / o, r }'
  echo "$rss" >"$work/$mode.rss"
done

if [ "$long_minutes" -gt 0 ]; then
  "$gen" music $((long_minutes * 60)) 44100 2 "$work/long.wav"
  for mode in default perceptual; do
    flag=$([ "$mode" = perceptual ] && echo --perceptual || true)
    read -r long_cpu long_rss < <(measure "$enc" $flag "$work/long.wav" "$work/long.mp4" 128000)
    rss=$(cat "$work/$mode.rss")
    echo "  $long_minutes min input, $mode: CPU $long_cpu s, peak RSS $long_rss KiB (goal < 4096;" \
         "60 s: $rss KiB, growth $((long_rss - rss)) KiB)"
  done
  rm -f "$work/long.wav" "$work/long.mp4"
fi
# CPU per channel of 5.1 against stereo: the same 60 s with a centre and an LFE channel (the
# pair's mean) and a surround pair (the pair crossed over), at 64 kbit/s for each full-range
# channel and 16 kbit/s for the LFE, against the stereo file at 128 kbit/s.
ffmpeg -nostdin -y -v error -i "$work/in.wav" -filter_complex \
  "pan=5.1|FL=c0|FR=c1|FC=0.5*c0+0.5*c1|LFE=0.5*c0+0.5*c1|BL=0.8*c1+0.2*c0|BR=0.8*c0+0.2*c1" \
  -c:a pcm_s16le "$work/in51.wav"
for mode in default perceptual; do
  flag=$([ "$mode" = perceptual ] && echo --perceptual || true)
  : >"$work/51.txt"
  : >"$work/20.txt"
  # Interleaved with stereo runs of its own, so that a drift of the machine falls on both.
  for ((i = 0; i < runs; ++i)); do
    measure "$enc" $flag "$work/in51.wav" "$work/ours51.mp4" 336000 >>"$work/51.txt"
    measure "$enc" $flag "$work/in.wav" "$work/ours.mp4" 128000 >>"$work/20.txt"
  done
  multi=$(cut -d' ' -f1 "$work/51.txt" | median)
  stereo=$(cut -d' ' -f1 "$work/20.txt" | median)
  awk -v m="$multi" -v s="$stereo" -v mode="$mode" 'BEGIN {
    printf "  5.1, %s: CPU %.3f s, %.4f s per channel against %.4f for stereo (%.2f; goal within about 1.10)\n",
           mode, m, m / 6, s / 2, (m / 6) / (s / 2) }'
done
# HE-AAC at 48 kbit/s stereo against ffmpeg's aac at the same rate (which codes AAC-LC: it
# has no HE-AAC), interleaved.
: >"$work/he.txt"
: >"$work/ffmpeg48.txt"
for ((i = 0; i < runs; ++i)); do
  measure ffmpeg -nostdin -y -v error -i "$work/in.wav" -c:a aac -b:a 48k "$work/ffmpeg48.m4a" >>"$work/ffmpeg48.txt"
  measure "$enc" --he "$work/in.wav" "$work/he.mp4" 48000 >>"$work/he.txt"
done
he=$(cut -d' ' -f1 "$work/he.txt" | median)
theirs48=$(cut -d' ' -f1 "$work/ffmpeg48.txt" | median)
awk -v o="$he" -v t="$theirs48" -v r="$(cut -d' ' -f2 "$work/he.txt" | sort -n | tail -1)" 'BEGIN {
  printf "  --he at 48 kbit/s: CPU %.3f s against ffmpeg aac %.3f s: ratio %.2f (goal >= 3), peak RSS %d KiB\n",
         o, t, t / o, r }'
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"

echo "encoder core stages (encoder_benchmark):"
"$build/tools/encoder_benchmark" | sed 's/^/  /'
