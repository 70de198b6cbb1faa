#!/usr/bin/env bash
# Installs what the build needs, builds and runs the whole test suite.
#   scripts/test.sh             the plain suite (build/)
#   scripts/test.sh --sanitize  under AddressSanitizer + UBSan, built by Clang (build-asan/)
#   scripts/test.sh --tsan      under ThreadSanitizer (build-tsan/)
#   scripts/test.sh --quick     the plain build without the real-time scans
#
# The sanitizer builds run every test but the real-time ones (label
# "realtime": scans of the virtual rig filmed in real time, which a
# sanitizer slows below a camera's frame rate). Under AddressSanitizer the
# few named in sanitizer_realtime below run too: one plain scan, the
# irregular camera, a camera that stops, closing the window during a scan,
# and interrupting the command at every step. ThreadSanitizer slows the rig
# too far for any of them (they would only report themselves skipped).
set -euo pipefail
cd "$(dirname "$0")/.."

build=build
options=()
quick=0
sanitizer_realtime='RigScan\.(DefaultSceneBehindAnUnselectedPort|RollingShutterJitteredAndDroppedFrames|CameraThatStopsDuringTheRecording)|WizardOnTheRig\.ClosingDuringAScanStopsItAndDoesNotWait|tools/InterruptsAtEveryStep'
case "${1:-}" in
  "") ;;
  --quick) quick=1 ;;
  --sanitize)
    quick=2
    build=build-asan
    # Built with Clang, benchmarks too: the one build of everything by
    # Clang, with warnings as errors, that CI makes (and Clang builds
    # instrumented code in half the time GCC takes).
    options=(-DPXO_SANITIZE=ON -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++)
    export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1
    export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
    ;;
  --tsan)
    quick=1
    build=build-tsan
    options=(-DPXO_TSAN=ON -DPXO_BUILD_BENCH=OFF)
    export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
    ;;
  *) echo "usage: $0 [--sanitize|--tsan|--quick]" >&2; exit 2 ;;
esac

jobs=$(nproc)
scripts/setup.sh
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPXO_WERROR=ON \
  "${options[@]}"
cmake --build "$build" -j "$jobs"
run() {
  ctest --test-dir "$build" -j "$jobs" --output-on-failure --timeout 600 "$@"
}
if ((quick == 0)); then
  run 2>&1 | tee "$build/ctest.log"
elif ((quick == 1)); then
  run -LE realtime 2>&1 | tee "$build/ctest.log"
else
  # Two runs, one log: the totals line of each is summed by .ci/run.
  { run -LE realtime; run -L realtime -R "$sanitizer_realtime"; } 2>&1 |
    tee "$build/ctest.log"
fi
