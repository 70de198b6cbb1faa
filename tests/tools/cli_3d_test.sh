#!/bin/sh
# The pixoria command on a scene with two camera poses: both views scanned,
# solved in 3D with the camera's field of view given, a 3D point model
# written and the 3D figures reported.
set -eu
pixoria=$1
scene=$2
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
# The recordings and models of the temporary directory are this run's own.
export TMPDIR="$out"
"$pixoria" scan --simulate --scene "$scene" --fov 60 --name "Tree 3D" \
  --out "$out" --report "$out/report.json" > "$out/log"
for key in views solved3d interpolated3d removed3d rms3dFraction fovTrueDeg \
           fovChosenDeg; do
  grep -q "\"$key\":" "$out/report.json" || { echo "report lacks $key"; exit 1; }
done
grep -q '"views":2' "$out/report.json" || { cat "$out/report.json"; exit 1; }
grep -q '"fovChosenDeg":60' "$out/report.json" || { cat "$out/report.json"; exit 1; }
rms=$(sed 's/.*"rms3dFraction":\([0-9.e+-]*\).*/\1/' "$out/report.json")
awk -v r="$rms" 'BEGIN { exit !(r < 0.01) }' || { echo "rms3dFraction $rms"; exit 1; }
grep -q '^<multipointmodel' "$out/Tree 3D.xmodel" || { echo "not a point model"; exit 1; }
solved=$(sed 's/.*"solved3d":\([0-9]*\).*/\1/' "$out/report.json")
[ "$solved" -ge 145 ] || { cat "$out/log"; exit 1; }
echo "cli: two views scanned, solved in 3D and written as a point model"
