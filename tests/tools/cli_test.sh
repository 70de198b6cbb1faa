#!/bin/sh
# The pixoria command end to end: a simulated scan writes a model, the scan
# data, a preview and a report; the saved folder decodes again offline.
set -eu
pixoria=$1
scene=$2
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
# The recordings and models of the temporary directory are this run's own.
export TMPDIR="$out"
"$pixoria" scan --simulate --scene "$scene" --out "$out" --report "$out/report.json" > "$out/log"
for key in leds visible correct wrong missed estimated medianErrorPx p95ErrorPx \
           recordingSeconds processingSeconds modelFile scanDataFolder; do
  grep -q "\"$key\":" "$out/report.json" || { echo "report lacks $key"; exit 1; }
done
grep -q '"wrong":0' "$out/report.json" || { cat "$out/report.json"; exit 1; }
ls "$out"/*.xmodel "$out/preview.png" > /dev/null
folder=$(ls -d "$out"/GlowtraceDebug/scan_*)
"$pixoria" decode "$folder" --out "$out" --name Again | grep -q "Decoded"
ls "$out/Again.xmodel" > /dev/null
! "$pixoria" scan --bogus 2> /dev/null
# A controller with a password: the rig knows it; a wrong one is refused.
locked=$(dirname "$0")/../data/scenes/locked-arch.json
! "$pixoria" scan --simulate --scene "$locked" --out "$out/locked" \
  --password wrong > "$out/locked.log" 2>&1
grep -q "authentication required" "$out/locked.log"
"$pixoria" scan --simulate --scene "$locked" --out "$out/locked" \
  > "$out/locked.log" 2>&1 || { cat "$out/locked.log"; exit 1; }
echo "cli: scan, report, preview, offline decode and a locked controller work"
