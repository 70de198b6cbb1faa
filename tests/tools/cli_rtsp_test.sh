#!/bin/sh
# One scene scanned twice with the pixoria command: through the local
# camera path and through the network-camera path (the rig's pictures as
# H.264 over RTSP on loopback, 500 ms late). Both read every LED right and
# the network camera's positions are about as close as the local ones.
# Then a drifting camera filming a strip in another colour order, through
# the network camera without extra latency: compression must not pass for
# camera motion.
#   cli_rtsp_test.sh PIXORIA SCENE DRIFTING-SCENE
set -eu
pixoria=$1
scene=$2
drifting=$3
. "$(dirname "$0")/simulated_scan.sh"
scan local --scene "$scene"
scan rtsp --scene "$scene" --rtsp --camera-latency 500
grep -q "Network camera at rtsp://127.0.0.1:" "$out/rtsp.log" ||
  { echo "the scan did not use the network camera"; exit 1; }
local_error=$(value medianErrorPx "$out/local.json")
rtsp_error=$(value medianErrorPx "$out/rtsp.json")
awk -v l="$local_error" -v r="$rtsp_error" 'BEGIN { exit !(r <= l + 1.0) }' ||
  { echo "median error: local $local_error px, network $rtsp_error px"; exit 1; }
echo "cli: local and network camera scans agree (median error" \
  "$local_error px and $rtsp_error px)"
scan drifting --scene "$drifting" --rtsp --camera-latency 0
awk -v p="$(value p95ErrorPx "$out/drifting.json")" 'BEGIN { exit !(p <= 3.0) }' ||
  { echo "drifting: positions off"; cat "$out/drifting.json"; exit 1; }
echo "cli: drifting camera through the network path: 0 wrong," \
  "p95 error $(value p95ErrorPx "$out/drifting.json") px"
