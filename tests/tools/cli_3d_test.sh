#!/bin/sh
# The pixoria command on a scene with two or more camera poses: every view
# scanned, solved in 3D, a 3D point model written and the 3D figures
# reported.
#   cli_3d_test.sh PIXORIA SCENE VIEWS FOV MIN_SOLVED MAX_RMS [planar]
#   cli_3d_test.sh PIXORIA SCENE VIEWS FOV MIN_SOLVED MAX_RMS solve SOLVE_RMS [OTHER-SCENE]
# With "solve", the scan's saved views then go through cli_solve_test.sh
# (SOLVE_RMS and OTHER-SCENE are its MAX_RMS and OTHER-SCENE), which
# takes them instead of scanning the scene again.
# FOV 0 leaves the field of view to the search (it must land within 4° of
# the scene's, except for a flat prop, whose two views leave the angle
# open without changing its shape); MAX_RMS bounds the RMS of the triangulated LEDs as a
# fraction of the prop's extent; the LEDs two views saw must be solved
# (98 % of them, or removed as outliers).
set -eu
pixoria=$1
scene=$2
views=$3
fov=$4
min_solved=$5
max_rms=$6
planar=${7:-}
if [ "$planar" = solve ]; then
  shift 7
  planar=""
  solve_with="$*"
fi
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
# The recordings and models of the temporary directory are this run's own.
export TMPDIR="$out"
"$pixoria" scan --simulate --scene "$scene" --fov "$fov" --name "Prop 3D" \
  --out "$out" --report "$out/report.json" > "$out/log"
fail() { echo "$1"; cat "$out/log" "$out/report.json"; exit 1; }
for key in views solved3d interpolated3d removed3d rms3dFraction \
           rms3dSolvedFraction seenTwice3d seenTwiceSolved3d fovTrueDeg \
           fovChosenDeg; do
  grep -q "\"$key\":" "$out/report.json" || fail "report lacks $key"
done
value() { sed "s/.*\"$1\":\([0-9.e+-]*\).*/\1/" "$out/report.json"; }
[ "$(value views)" = "$views" ] || fail "views"
chosen=$(value fovChosenDeg)
true_fov=$(value fovTrueDeg)
if [ "$fov" = 0 ] && [ -z "$planar" ]; then
  awk -v c="$chosen" -v t="$true_fov" 'BEGIN { d = c - t; exit !(d <= 4 && d >= -4) }' ||
    fail "FOV chosen $chosen, true $true_fov"
  grep -q "Field of view searched: " "$out/log" || fail "no word of the search"
elif [ "$fov" != 0 ]; then
  [ "$chosen" = "$fov" ] || fail "FOV chosen $chosen"
fi
rms=$(value rms3dSolvedFraction)
awk -v r="$rms" -v m="$max_rms" 'BEGIN { exit !(r <= m) }' || fail "rms $rms"
[ "$(value solved3d)" -ge "$min_solved" ] || fail "solved"
# Every LED two views saw is triangulated, but for the odd one a view
# placed badly (its rays miss, or the outlier removal takes it): 2 %.
[ $(( 50 * ($(value seenTwiceSolved3d) + $(value removed3d)) )) -ge $(( 49 * $(value seenTwice3d) )) ] ||
  fail "seen twice"
if [ -n "$planar" ]; then
  grep -q "3D: .*, planar (FOV" "$out/log" || fail "not planar"
fi
grep -q '^<multipointmodel' "$out/Prop 3D.xmodel" || fail "not a point model"
echo "cli: $views views scanned, solved in 3D and written as a point model"
if [ -n "${solve_with+set}" ]; then
  # shellcheck disable=SC2086
  PXO_LIVE_SCAN="$out" PXO_LIVE_CSV="$out/Prop 3D.csv" \
    "$(dirname "$0")/cli_solve_test.sh" "$pixoria" "$scene" "$views" "$fov" $solve_with
fi
