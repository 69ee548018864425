#!/usr/bin/env bash
# Builds the fuzz targets with clang and runs them side by side, one core each.
#
#   bash fuzz/run_fuzz.sh [SECONDS [TARGET...]]    (default 900 s, every target)
#
# FUZZ_JOBS (default: the number of cores) caps how many run at once; the others wait their turn.
# New inputs collect in build-fuzz/found/<target>/ (merge the useful ones into the corpus with
# the target's -merge=1); a crashing input is written to fuzz/regressions/<target>/, where the
# replay test picks it up. Logs: build-fuzz/logs/<target>.log.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-900}
shift $(($# > 0 ? 1 : 0))
all_targets=(fuzz_wav_input fuzz_encoder fuzz_api)
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=("${all_targets[@]}")
jobs=${FUZZ_JOBS:-$(nproc)}
if ! command -v clang++ >/dev/null 2>&1 || ! ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q >/dev/null
  apt-get install -y -q clang libclang-rt-14-dev >/dev/null
fi
cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang -DVARNEL_FUZZ=ON -DVARNEL_BUILD_TESTS=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz --target "${targets[@]}" -j"$jobs"

declare -A options=(
  [fuzz_wav_input]="-dict=fuzz/wav.dict -max_len=8192"
  [fuzz_encoder]="-max_len=20000"
  [fuzz_api]="-max_len=1024"
)
mkdir -p build-fuzz/logs
status=0
running=0
for target in "${targets[@]}"; do
  if [ "$running" -ge "$jobs" ]; then
    wait -n || status=1
    running=$((running - 1))
  fi
  mkdir -p "build-fuzz/found/$target" "fuzz/regressions/$target"
  # shellcheck disable=SC2086
  build-fuzz/fuzz/$target -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 -print_final_stats=1 \
    ${options[$target]} -artifact_prefix="fuzz/regressions/$target/" \
    "build-fuzz/found/$target" "fuzz/corpus/$target" >"build-fuzz/logs/$target.log" 2>&1 &
  running=$((running + 1))
done
while [ "$running" -gt 0 ]; do
  wait -n || status=1
  running=$((running - 1))
done
for target in "${targets[@]}"; do
  echo "== $target"
  grep -E '^stat::(number_of_executed_units|average_exec_per_sec)' "build-fuzz/logs/$target.log" || true
  grep -E '^(SUMMARY|varnel fuzz|artifact_prefix)' "build-fuzz/logs/$target.log" || true
done
exit $status
