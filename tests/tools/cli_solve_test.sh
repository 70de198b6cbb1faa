#!/bin/sh
# pixoria solve over saved scan-data folders, one a view.
#   cli_solve_test.sh PIXORIA SCENE VIEWS FOV MAX_RMS [OTHER-SCENE]
# 1. A multi-pose scan solves its views live; solving its saved folders
#    again places every LED where the live solve did (within 1e-3 of the
#    prop's size: the CSVs, at unit size). With PXO_LIVE_SCAN set (the
#    --out folder of such a scan of SCENE at FOV, made by the caller) and
#    PXO_LIVE_CSV (its CSV), that scan is taken instead of making one.
# 2. Solved with the scene to score against: within MAX_RMS of the prop's
#    size. Without OTHER-SCENE, the poses solved are scanned again one at
#    a time (--view K), each in its own session, and folders of two
#    different props are refused, naming them.
# 3. With OTHER-SCENE (another prop of the same LED count on the same
#    port), its view added to the scene's is left out of the solve, saying
#    why, and the rest solve as before.
set -eu
pixoria=$1
scene=$2
views=$3
fov=$4
max_rms=$5
other_scene=${6:-}
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
export TMPDIR="$out"
fail() { echo "$1"; shift; for f in "$@"; do cat "$f"; done; exit 1; }

live=${PXO_LIVE_SCAN:-$out/multi}
live_csv=${PXO_LIVE_CSV:-$live/Prop.csv}
if [ -z "${PXO_LIVE_SCAN:-}" ]; then
  "$pixoria" scan --simulate --scene "$scene" --fov "$fov" --name Prop \
    --out "$live" > "$out/multi.log" || fail "multi-pose scan" "$out/multi.log"
else
  echo "(scanned by the caller into $live)" > "$out/multi.log"
fi
set -- "$live"/*/scan_*
[ "$#" = "$views" ] || fail "$# folders for $views views" "$out/multi.log"
"$pixoria" solve "$@" --fov "$fov" --name Prop --out "$out/again" \
  > "$out/again.log" || fail "solve of the live folders" "$out/again.log"
awk -F, 'NR == FNR { if (FNR > 1) live[$1] = $2 " " $3 " " $4; next }
         FNR > 1 {
           if (!($1 in live)) { print "LED " $1 " not placed live"; bad = 1; next }
           split(live[$1], p, " ")
           for (i = 1; i <= 3; ++i) {
             d = p[i] - $(i + 1); if (d < 0) d = -d
             if (d > 1e-3) { print "LED " $1 " moved by " d; bad = 1 }
           }
           ++seen
         }
         END { if (seen != length(live)) { print seen " of " length(live) " placed"; bad = 1 }
               exit bad }' "$live_csv" "$out/again/Prop.csv" ||
  fail "the saved folders solve differently" "$out/multi.log" "$out/again.log"

# The views to score: scanned apart, or the live scan's own (a test of
# the scanning apart is made once, with the scene of two views).
set --
k=1
while [ "$k" -le "$views" ]; do
  if [ -z "$other_scene" ]; then
    "$pixoria" scan --simulate --scene "$scene" --view "$k" --name "View $k" \
      --out "$out/view$k" > "$out/view$k.log" || fail "view $k" "$out/view$k.log"
    grep -q "^Accuracy:   view $k: " "$out/view$k.log" || fail "view $k named" "$out/view$k.log"
    [ ! -e "$out/view$k/Prop.csv" ] || fail "view $k solved alone"
    set -- "$@" "$out"/view$k/*/scan_*
  fi
  k=$((k + 1))
done
[ -n "$other_scene" ] && set -- "$live"/*/scan_*
views_scored="$*"
"$pixoria" solve "$@" --fov "$fov" --name Prop --out "$out/solved" \
  --scene "$scene" --report "$out/solved.json" > "$out/solved.log" ||
  fail "solve of the views" "$out/solved.log"
value() { sed "s/.*\"$1\":\([0-9.e+-]*\).*/\1/" "$out/solved.json"; }
[ "$(value views)" = "$views" ] || fail "views" "$out/solved.json"
rms=$(value rms3dSolvedFraction)
awk -v r="$rms" -v m="$max_rms" 'BEGIN { exit !(r <= m) }' ||
  fail "rms $rms" "$out/solved.log" "$out/solved.json"
grep -q '^<multipointmodel' "$out/solved/Prop.xmodel" || fail "not a point model"
k=1
while [ "$k" -le "$views" ]; do
  grep -q "^    View $k: [0-9]* LEDs seen, .* px from the solve (median), used$" \
    "$out/solved.log" || fail "view $k not reported" "$out/solved.log"
  k=$((k + 1))
done
grep -q "^    LEDs placed from 2 views: [0-9]*.*; estimated: [0-9]*$" \
  "$out/solved.log" || fail "no count of views per LED" "$out/solved.log"
if [ "$views" -ge 3 ]; then
  grep -q "^    Every LED views 1 to $((views - 1)) placed is still placed$" \
    "$out/solved.log" || fail "the last view took LEDs away" "$out/solved.log"
fi
head -n 1 "$out/solved/Prop.csv" | grep -qx 'index,x,y,z' || fail "CSV header"

if [ -z "$other_scene" ]; then
  # Another prop: the built-in 10 x 10 matrix.
  "$pixoria" scan --simulate --name Other --out "$out/other" > "$out/other.log" ||
    fail "other prop" "$out/other.log"
  set -- "$out"/view1/*/scan_* "$out"/other/*/scan_*
  if "$pixoria" solve "$@" --out "$out/mixed" > "$out/mixed.log" 2>&1; then
    fail "two props solved together" "$out/mixed.log"
  fi
  grep -q "not views of one prop: .*view1.* has [0-9]* LEDs, .*other.* has 1[0-9]* LEDs" \
    "$out/mixed.log" || fail "the refusal" "$out/mixed.log"
else
  "$pixoria" scan --simulate --scene "$other_scene" --name Stranger \
    --out "$out/stranger" > "$out/stranger.log" || fail "stranger" "$out/stranger.log"
  # shellcheck disable=SC2086
  set -- $views_scored "$out"/stranger/*/scan_*
  "$pixoria" solve "$@" --fov "$fov" --name Prop --out "$out/with-stranger" \
    --scene "$scene" --report "$out/with-stranger.json" > "$out/with-stranger.log" ||
    fail "solve with a stranger" "$out/with-stranger.log"
  grep -q "^    View $((views + 1)): [0-9]* LEDs seen.*, left out: " \
    "$out/with-stranger.log" || fail "the stranger was used" "$out/with-stranger.log"
  a=$(sed 's/.*"solved3d":\([0-9]*\).*/\1/' "$out/solved.json")
  b=$(sed 's/.*"solved3d":\([0-9]*\).*/\1/' "$out/with-stranger.json")
  [ "$a" = "$b" ] || fail "$b LEDs placed with the stranger, $a without" "$out/with-stranger.log"
fi
echo "cli: $views views solved live and from their folders alike, and within $max_rms"
