#!/usr/bin/env bash
# A controller scan killed outright (SIGKILL: a crash, a power cut, "End
# task") at every step from the first change of the controller to the end of
# putting it back, then recovered, once by `pixoria restore` and once by the
# next scan: each time every file of the controller's ends byte for byte as
# it began. Then a restore whose writes the controller refuses (exit 1, the
# message names `pixoria restore`, the record kept, and a later `pixoria
# restore` puts everything back once the controller takes writes again),
# a player that is not running (nothing written), and mistyped options
# (exit 2, nothing asked of the controller). The camera films black frames.
#   crash_test.sh PIXORIA FPP_SIM
set -euo pipefail
pixoria=$1
fppsim=$2
work=$(mktemp -d)
trap 'kill $(jobs -p) 2> /dev/null || true; [[ -n "${KEEP:-}" ]] || rm -rf "$work"' EXIT
export TMPDIR="$work"
export XDG_STATE_HOME="$work/state"

address_salt=1
# shellcheck source=tests/tools/side_by_side.sh
source "$(dirname "$0")/side_by_side.sh"
address=$(address_for 0)

# Waits until FILE holds TEXT at least COUNT times.
wait_for() {  # FILE TEXT COUNT SECONDS
  local deadline=$((SECONDS + $4))
  local seen
  until seen=$(grep -cF -- "$2" "$1" 2> /dev/null) || seen=0; ((seen >= $3)); do
    ((SECONDS < deadline)) || { echo "timed out waiting for '$2' x$3 in $1"; cat "$1"; return 1; }
    sleep 0.05
  done
}

sim_pid=""
http=""
start_sim() {  # DIR [fpp-sim options...]
  local dir=$1
  shift
  mkdir -p "$dir"
  "$fppsim" --config fpp-pi.json --address "$address" --port 0 --log \
    --dump "$dir" "$@" > "$dir/fpp.log" 2>&1 &
  sim_pid=$!
  wait_for "$dir/fpp.log" "HTTP on" 1 10
  http=$(sed -n 's/^fpp-sim: HTTP on \([^,]*\),.*/\1/p' "$dir/fpp.log")
}
stop_sim() {
  kill -INT "$sim_pid"
  wait "$sim_pid" || true
}

failures=0
problem=""
check_files() {  # DIR
  for file in pixel-strings.json ci-universes.json; do
    cmp -s "$1/start-$file" "$1/end-$file" || problem="$problem; $file not as it began"
  done
}
report() {  # NAME DIR
  if [[ -n "$problem" ]]; then
    echo "FAIL $1: ${problem#; }"
    for log in "$2"/*.log; do echo "--- $log"; cat "$log"; done
    failures=$((failures + 1))
  else
    echo "ok   $1"
  fi
  problem=""
}

# Starts a scan, waits for the COUNT-th TRIGGER request, kills the scan
# with SIGKILL and lets a request still on its way (held up SETTLE seconds
# by the controller) land.
crash_scan() {  # DIR TRIGGER COUNT SETTLE
  "$pixoria" scan --controller "$http" --camera sim:black --out "$1/out" \
    < /dev/null > "$1/scan.log" 2>&1 &
  local scan=$!
  wait_for "$1/fpp.log" "fpp-sim: $2" "$3" 60
  sleep 0.3
  kill -KILL "$scan"
  wait "$scan" 2> /dev/null || true
  sleep "$4"
  "$pixoria" restore --list > "$1/list.log" 2>&1
  grep -q "^controller $http" "$1/list.log" || problem="$problem; no restore record after the crash"
}

# NAME TRIGGER COUNT SETTLE LEFT [fpp-sim options...]; LEFT: "scan" when
# the crash leaves some of the scan's configuration on the controller,
# "none" when everything was already back.
crash_case() {
  local name=$1 trigger=$2 count=$3 settle=$4 left=$5
  shift 5
  # Recovered by `pixoria restore`.
  local dir="$work/$name-restore"
  start_sim "$dir" "$@"
  crash_scan "$dir" "$trigger" "$count" "$settle"
  if ! "$pixoria" restore --controller "$http" > "$dir/restore.log" 2>&1; then
    problem="$problem; pixoria restore failed"
  fi
  "$pixoria" restore --list > "$dir/after.log" 2>&1
  grep -q "^controller $http" "$dir/after.log" && problem="$problem; the record is still there"
  stop_sim
  check_files "$dir"
  report "$name, then pixoria restore" "$dir"

  # Recovered by the next scan, which must not take the scan's
  # configuration for the user's own.
  dir="$work/$name-next-scan"
  start_sim "$dir" "$@"
  crash_scan "$dir" "$trigger" "$count" "$settle"
  "$pixoria" scan --controller "$http" --camera sim:black --out "$dir/out2" \
    < /dev/null > "$dir/next.log" 2>&1 || true
  grep -q "^Controller ports:" "$dir/next.log" || problem="$problem; the next scan did not connect"
  local said=no
  grep -qF "Putting back the configuration an earlier scan left on $http" "$dir/next.log" && said=yes
  if [[ $left == scan && $said == no ]]; then
    problem="$problem; the next scan did not say it put the configuration back"
  elif [[ $left == none && $said == yes ]]; then
    problem="$problem; the next scan put back what was already back"
  fi
  stop_sim
  check_files "$dir"
  report "$name, then the next scan" "$dir"
}

# The cases run side by side, each with a controller at an address of its
# own and its own log, printed in order once all have ended: their scans
# film black frames and mostly wait on the controller.
side_by_side crash_case scan-pixel-strings "POST /api/channel/output/co-pixelStrings" 1 2.5 scan \
  --delay "POST /api/channel/output/co-pixelStrings 2000"
side_by_side crash_case scan-universe-input "POST /api/channel/output/universeInputs" 1 2.5 scan \
  --delay "POST /api/channel/output/universeInputs 2000"
side_by_side crash_case scanning "POST /api/channel/output/universeInputs" 1 1 scan
side_by_side crash_case fpp8-restart "GET /api/system/fppd/restart" 1 2.5 scan --version 8.5.1 \
  --delay "GET /api/system/fppd/restart 2000"
side_by_side crash_case restoring-pixel-strings "POST /api/channel/output/co-pixelStrings" 2 1.5 scan \
  --delay "POST /api/channel/output/co-pixelStrings 1000"
side_by_side crash_case restoring-universe-input "POST /api/channel/output/universeInputs" 2 1.5 none \
  --delay "POST /api/channel/output/universeInputs 1000"
wait_side_by_side

# The controller refuses every write after the scan's own: the restore
# fails out loud and keeps the record; back, `pixoria restore` finishes.
dir="$work/refused-restore"
start_sim "$dir" --refuse "POST /api/channel/output/co-pixelStrings 2"
status=0
"$pixoria" scan --controller "$http" --camera sim:black --out "$dir/out" \
  --restore-wait 2 < /dev/null > "$dir/scan.log" 2>&1 || status=$?
((status != 0)) || problem="$problem; the scan exited 0"
grep -q "pixoria restore --controller $http" "$dir/scan.log" || problem="$problem; no word of pixoria restore"
grep -q "could not put the configuration of $http back" "$dir/scan.log" || problem="$problem; no word that the controller is not back"
"$pixoria" restore --list > "$dir/list.log" 2>&1
grep -q "^controller $http" "$dir/list.log" || problem="$problem; the record was not kept"
kill -USR1 "$sim_pid"
wait_for "$dir/fpp.log" "refusals ended" 1 10
"$pixoria" restore --controller "$http" > "$dir/restore.log" 2>&1 || problem="$problem; the later restore failed"
grep -q "nothing to put back for $http" <("$pixoria" restore --controller "$http") || problem="$problem; a second restore found a record"
stop_sim
check_files "$dir"
report "a refused restore, then pixoria restore" "$dir"

# The player is not running: said so, and nothing written.
dir="$work/player-stopped"
start_sim "$dir" --status stopped
status=0
"$pixoria" scan --controller "$http" --camera sim:black --out "$dir/out" \
  < /dev/null > "$dir/scan.log" 2>&1 || status=$?
((status == 1)) || problem="$problem; exit status $status"
grep -q "fppd) is not running" "$dir/scan.log" || problem="$problem; no word that the player is not running"
grep -qE "fpp-sim: (POST|DELETE)" "$dir/fpp.log" && problem="$problem; something was written"
stop_sim
check_files "$dir"
report "the player not running" "$dir"

# Mistyped options: the usage, exit 2, nothing asked of the controller.
dir="$work/bad-options"
start_sim "$dir"
for args in "--port 1" "--ports 1,x" "--ports" "--fov abc" "--restore-wait soon"; do
  status=0
  # shellcheck disable=SC2086
  "$pixoria" scan --controller "$http" --camera sim:black $args \
    < /dev/null > "$dir/bad.log" 2>&1 || status=$?
  ((status == 2)) || problem="$problem; '$args' exited $status"
  grep -q "^usage:" "$dir/bad.log" || problem="$problem; '$args' gave no usage"
done
grep -q "fpp-sim: GET" "$dir/fpp.log" && problem="$problem; the controller was asked"
stop_sim
report "mistyped options" "$dir"

echo "crashes: $failures failed"
((failures == 0))
