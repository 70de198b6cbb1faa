#!/usr/bin/env bash
# Builds every libFuzzer target with clang (ASan + UBSan) and runs each for a
# bounded time from its seed corpus in fuzz/corpus/<target>/.
#   scripts/fuzz.sh [seconds per target, default 60]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
build=build-fuzz

scripts/setup.sh
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DPXO_WERROR=ON -DPXO_BUILD_FUZZ=ON -DPXO_SANITIZE=ON -DPXO_BUILD_TESTS=OFF \
  -DPXO_BUILD_BENCH=OFF
cmake --build "$build" -j "$(nproc)"

for target in "$build"/fuzz/fuzz_*; do
  name=${target##*/fuzz_}
  work=$(mktemp -d)
  corpora=("$work")
  [[ -d fuzz/corpus/$name ]] && corpora+=("fuzz/corpus/$name")
  echo "fuzz: $name for ${seconds}s"
  if ! "$target" -max_total_time="$seconds" -max_len=65536 -rss_limit_mb=2048 \
      -print_final_stats=1 "${corpora[@]}" >"$work.log" 2>&1; then
    cat "$work.log"
    echo "fuzz: $name failed" >&2
    exit 1
  fi
  inputs=$(sed -nE 's/^stat::number_of_executed_units: *([0-9]+).*/\1/p' "$work.log")
  added=$(sed -nE 's/^stat::new_units_added: *([0-9]+).*/\1/p' "$work.log")
  echo "fuzz: $name: ${inputs:-?} inputs tried, ${added:-?} new, no crash"
  rm -rf "$work" "$work.log"
done
