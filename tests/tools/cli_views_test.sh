#!/bin/sh
# pixoria scan --views against the rig served on its own (`pixoria serve
# --simulate`): a two-pose scene whose network camera is carried to the
# next pose after each recording. One session scans both views: the
# controller is prepared once and put back once, both views' scan-data
# folders are kept, and the 3D model (scored by `pixoria solve` of those
# folders against the scene) is within MAX_RMS of the prop's size.
# Without Enter to go on with, it stops after the first view and still puts
# the controller back.
#   cli_views_test.sh PIXORIA SCENE MAX_RMS
set -eu
pixoria=$1
scene=$2
max_rms=$3
out=$(mktemp -d)
export TMPDIR="$out"
trap 'rm -rf "$out"' EXIT
fail() { echo "$1"; shift; for f in "$@"; do cat "$f"; done; exit 1; }

# Bad usage: exit status 2 and the reason, before anything starts.
refused() {
  expected=$1
  shift
  status=0
  "$pixoria" "$@" > "$out/refused.log" 2>&1 || status=$?
  [ "$status" = 2 ] && grep -q -- "$expected" "$out/refused.log" ||
    fail "pixoria $*: status $status" "$out/refused.log"
}
refused "--views is for a controller" scan --simulate --views 2
refused "--view K picks a pose" scan --controller 127.0.0.1 --view 2
refused "--view-wait is the pause" scan --controller 127.0.0.1 --view-wait 2
refused "--views is how many" scan --controller 127.0.0.1 --views 0
refused "--view is a pose of the scene, 1 to 2" scan --simulate --scene "$scene" --view 3
refused "solve needs two or more" solve "$out"

"$pixoria" serve --simulate --scene "$scene" --log-requests > "$out/rig.log" 2>&1 &
rig=$!
trap 'kill "$rig" 2>/dev/null || true; wait "$rig" 2>/dev/null || true; rm -rf "$out"' EXIT
for _ in $(seq 100); do grep -q '^camera ' "$out/rig.log" && break; sleep 0.1; done
controller=$(sed -n 's/^controller //p' "$out/rig.log")
camera=$(sed -n 's/^camera //p' "$out/rig.log")
[ -n "$camera" ] || fail "the rig did not start" "$out/rig.log"
grep -q '^poses 2 ' "$out/rig.log" || fail "not a two-pose rig" "$out/rig.log"

before=$(wc -l < "$out/rig.log")
"$pixoria" scan --controller "$controller" --rtsp "$camera" --views 2 \
  --view-wait 2 --name Prop --out "$out/scan" < /dev/null > "$out/scan.log" 2>&1 ||
  fail "the scan of two views" "$out/scan.log"
for k in 1 2; do
  grep -q "^view $k of 2: [0-9]* of 150 LEDs seen" "$out/scan.log" ||
    fail "view $k not reported" "$out/scan.log"
done
grep -q "^Move the camera to the next place: view 2 of 2 starts in 2 s" \
  "$out/scan.log" || fail "no pause between the views" "$out/scan.log"
# The pixel-strings file written twice in this run: the scan's, then the
# user's back; nothing between the views.
writes=$(sed -n "$((before + 1)),\$p" "$out/rig.log" |
  grep -c "^fpp-sim: POST .*[Ss]trings" || true)
[ "$writes" = 2 ] || fail "$writes writes of the port settings" "$out/rig.log"
set -- $(sed -n 's/^Scan data: //p' "$out/scan.log")
[ "$#" = 2 ] || fail "$# scan-data folders" "$out/scan.log"
[ -d "$1" ] && [ -d "$2" ] && [ "$1" != "$2" ] || fail "folders" "$out/scan.log"
grep -q '^<multipointmodel' "$out/scan/Prop.xmodel" || fail "no 3D model" "$out/scan.log"
"$pixoria" solve "$@" --out "$out/solved" --scene "$scene" \
  --report "$out/solved.json" > "$out/solved.log" || fail "solve" "$out/solved.log"
rms=$(sed 's/.*"rms3dSolvedFraction":\([0-9.e+-]*\).*/\1/' "$out/solved.json")
awk -v r="$rms" -v m="$max_rms" 'BEGIN { exit !(r <= m) }' ||
  fail "rms $rms" "$out/scan.log" "$out/solved.log"
# No stdin and no --view-wait: after the first view the command cannot
# wait for Enter, says so and still puts the controller back.
before=$(wc -l < "$out/rig.log")
if "$pixoria" scan --controller "$controller" --rtsp "$camera" --views 2 \
     --name Prop --out "$out/noinput" < /dev/null > "$out/noinput.log" 2>&1; then
  fail "went on without Enter" "$out/noinput.log"
fi
grep -q "no Enter to go on with" "$out/noinput.log" || fail "why it stopped" "$out/noinput.log"
writes=$(sed -n "$((before + 1)),\$p" "$out/rig.log" |
  grep -c "^fpp-sim: POST .*[Ss]trings" || true)
[ "$writes" = 2 ] || fail "$writes writes without Enter" "$out/rig.log"

echo "cli: two views through one session, one prepare and one restore, 3D within $max_rms"
