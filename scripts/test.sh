#!/usr/bin/env bash
# Installs what the build needs, builds and runs the whole test suite.
#   scripts/test.sh             the plain suite (build/)
#   scripts/test.sh --sanitize  under AddressSanitizer + UBSan (build-asan/)
#   scripts/test.sh --tsan      under ThreadSanitizer (build-tsan/)
set -euo pipefail
cd "$(dirname "$0")/.."

build=build
options=()
case "${1:-}" in
  "") ;;
  --sanitize)
    build=build-asan
    options=(-DPXO_SANITIZE=ON -DPXO_BUILD_BENCH=OFF)
    export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1
    export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
    ;;
  --tsan)
    build=build-tsan
    options=(-DPXO_TSAN=ON -DPXO_BUILD_BENCH=OFF)
    export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
    ;;
  *) echo "usage: $0 [--sanitize|--tsan]" >&2; exit 2 ;;
esac

jobs=$(nproc)
scripts/setup.sh
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPXO_WERROR=ON \
  "${options[@]}"
cmake --build "$build" -j "$jobs"
ctest --test-dir "$build" -j "$jobs" --output-on-failure --timeout 600 \
  2>&1 | tee "$build/ctest.log"
