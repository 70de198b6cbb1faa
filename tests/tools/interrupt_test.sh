#!/usr/bin/env bash
# Ctrl-C and termination requests at every step of a controller scan, with
# the step held up by a slow controller: the pixoria command ends with
# status 130, says so on a pipe, and the controller's files end as they
# began (only what this run changed is put back; before any change, nothing
# is sent). The camera is one that films black frames.
#   interrupt_test.sh PIXORIA FPP_SIM
set -euo pipefail
pixoria=$1
fppsim=$2
work=$(mktemp -d)
trap 'kill $(jobs -p) 2> /dev/null || true; rm -rf "$work"' EXIT
export TMPDIR="$work"

address_salt=0
# shellcheck source=tests/tools/side_by_side.sh
source "$(dirname "$0")/side_by_side.sh"
address=$(address_for 0)

wait_for() {  # FILE TEXT SECONDS
  local deadline=$((SECONDS + $3))
  until grep -qF -- "$2" "$1" 2> /dev/null; do
    ((SECONDS < deadline)) || { echo "timed out waiting for '$2' in $1"; cat "$1"; return 1; }
    sleep 0.05
  done
}

failures=0
run() {  # NAME SIGNAL TRIGGER EXPECT [fpp-sim options...]
  local name=$1 signal=$2 trigger=$3 expect=$4
  shift 4
  local dir="$work/$name-$signal"
  mkdir -p "$dir"
  "$fppsim" --config fpp-pi.json --address "$address" --port 0 --log \
    --dump "$dir" "$@" > "$dir/fpp.log" 2>&1 &
  local sim=$!
  wait_for "$dir/fpp.log" "HTTP on" 10
  local http
  http=$(sed -n 's/^fpp-sim: HTTP on \([^,]*\),.*/\1/p' "$dir/fpp.log")
  "$pixoria" scan --controller "$http" --camera sim:black --out "$dir/out" \
    < /dev/null > "$dir/pixoria.log" 2>&1 &
  local scan=$!
  wait_for "$dir/fpp.log" "fpp-sim: $trigger" 30
  sleep 0.3
  kill "-$signal" "$scan"
  local status=0
  wait "$scan" || status=$?
  kill -INT "$sim"
  wait "$sim" || true
  local problem=""
  ((status == 130)) || problem="exit status $status"
  grep -q "^Interrupted" "$dir/pixoria.log" || problem="$problem; no 'Interrupted' on the pipe"
  grep -q "$expect" "$dir/pixoria.log" || problem="$problem; no '$expect'"
  for file in pixel-strings.json ci-universes.json; do
    cmp -s "$dir/start-$file" "$dir/end-$file" || problem="$problem; $file changed"
  done
  if [[ -n "$problem" ]]; then
    echo "FAIL $name ($signal): ${problem#; }"
    cat "$dir/pixoria.log"
    failures=$((failures + 1))
  else
    echo "ok   $name ($signal): controller as before"
  fi
}

# The cases of one signal run side by side, each with a controller at an
# address of its own and its own log, printed in order once all have
# ended: their scans film black frames and mostly wait on the controller.
for signal in INT TERM; do
  side_by_side run connect-info $signal "GET /api/system/info" "not changed" \
    --delay "GET /api/system/info 3000"
  side_by_side run connect-strings $signal "GET /api/channel/output/co-pixelStrings" \
    "not changed" --delay "GET /api/channel/output/co-pixelStrings 3000"
  side_by_side run connect-other-outputs $signal "GET /api/channel/output/co-universes" \
    "not changed" --delay "GET /api/channel/output/co-universes 3000"
  side_by_side run connect-universes $signal "GET /api/configfile/ci-universes.json" \
    "not changed" --delay "GET /api/configfile/ci-universes.json 3000"
  side_by_side run prepare-status $signal "GET /api/system/status" "not changed" \
    --delay "GET /api/system/status 3000"
  side_by_side run prepare-strings $signal "POST /api/channel/output/co-pixelStrings" \
    "Controller restored" \
    --delay "POST /api/channel/output/co-pixelStrings 3000"
  side_by_side run prepare-universes $signal "POST /api/channel/output/universeInputs" \
    "Controller restored" \
    --delay "POST /api/channel/output/universeInputs 3000"
  side_by_side run fpp8-restart $signal "GET /api/system/fppd/restart" \
    "Controller restored" --version 8.5.1 \
    --delay "GET /api/system/fppd/restart 3000"
  side_by_side run recording $signal "POST /api/channel/output/universeInputs" \
    "Controller restored" --delay "GET /api/nothing 0"
  wait_side_by_side
done
echo "interrupts: $failures failed"
((failures == 0))
