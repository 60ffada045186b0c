#!/usr/bin/env bash
# Builds the fuzz targets with clang 14 (ASan and UBSan) in build-fuzz/ and
# runs them all at once, each for the given seconds (default 30) from its
# seed corpus under fuzz/corpus/. A crash, a sanitizer report or a broken
# round trip fails the run; its input is left in build-fuzz/work/<target>/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
flags="-O1 -gline-tables-only -fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer"

CC=clang-14 CXX=clang++-14 cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=None \
  -DVETU_BUILD_FUZZ=ON -DVETU_BUILD_TESTS=OFF -DVETU_BUILD_BENCH=OFF \
  -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" >/dev/null
cmake --build build-fuzz --target vetu_fuzz

export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:suppressions=$PWD/fuzz/ubsan.supp"
targets=(label_text path_safety conf_file device_xml identity_data pkg_data)
declare -A pids
for t in "${targets[@]}"; do
  work="build-fuzz/work/$t"
  rm -rf "$work" && mkdir -p "$work/corpus"
  build-fuzz/fuzz/fuzz_"$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$work/" "$work/corpus" "fuzz/corpus/$t" >"$work/log" 2>&1 &
  pids[$t]=$!
done
failed=0
for t in "${targets[@]}"; do
  if wait "${pids[$t]}"; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "build-fuzz/work/$t/log")
    echo "fuzz $t: ${runs:-?} executions, nothing found"
  else
    echo "fuzz $t: FAILED"
    tail -n 60 "build-fuzz/work/$t/log"
    failed=1
  fi
done
exit "$failed"
