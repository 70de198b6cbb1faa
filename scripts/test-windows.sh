#!/usr/bin/env bash
# Builds the Windows tree (scripts/build-windows.sh) and runs its tests
# under Wine: a prefix of the build's own, a Wine server kept warm for the
# whole run, CTest driving each test program through wine. The cross tests
# against Linux servers need the Linux tree built (build/; scripts/test.sh
# or scripts/test-quick.sh make it).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/build-windows.sh
build=build-windows
export WINEPREFIX="$PWD/$build/wine-prefix"
export PXO_WINEPREFIX="$WINEPREFIX"
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" LANG=C.UTF-8
unset TZ DISPLAY

# A new prefix, made quietly: Wine's first process hands its output to the
# services it starts, and a pipe in between would never close.
if [[ ! -d "$WINEPREFIX" ]]; then
  echo "test-windows: making the Wine prefix"
  wineboot -i </dev/null >/dev/null 2>&1 || true
  wineserver -w
  # A crash prints its backtrace and ends, instead of waiting at a dialog.
  wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD \
    /d 0 /f </dev/null >/dev/null 2>&1 || true
  wineserver -w
fi
wineserver -p
trap 'wineserver -k 2>/dev/null || true' EXIT
wine cmd /c exit </dev/null >/dev/null 2>&1 || true

# A test that fails is run once more before it counts as failed: now and
# then a Wine process ends at once with no output at all (a fraction of a
# second, before the program's own first line), which no second run
# repeats. Each one that needed the second run is named below, with the
# output of its first.
ctest --test-dir "$build" -j "$(nproc)" --output-on-failure --timeout 300 \
  --repeat until-pass:2 2>&1 | tee "$build/ctest.log"
echo "=== Windows tests that passed only on their second run"
grep -E "^ *[0-9]+/[0-9]+ Test +#[0-9]+: .*\*\*\*(Failed|Exception)" "$build/ctest.log" |
  sed -E 's/^ *[0-9]+\/[0-9]+ Test +#[0-9]+: ([^ ]+) .*/\1/' |
  while read -r name; do
    grep -qE "Test +#[0-9]+: $name \.+ +Passed" "$build/ctest.log" && echo "$name"
  done || true
echo "=== Windows tests skipped, and why"
grep -E "\*\*\*Skipped|Not Run" "$build/ctest.log" || echo "(none)"
grep -h -B1 -E "^\[  SKIPPED \] [A-Za-z]" "$build/Testing/Temporary/LastTest.log" \
  2>/dev/null | grep -v -E "^\[  SKIPPED|^--" | sort -u || true
grep -E "tests passed, [0-9]+ tests failed out of [0-9]+" "$build/ctest.log" | tail -n 1
