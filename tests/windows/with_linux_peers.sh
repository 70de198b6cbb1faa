#!/usr/bin/env bash
# Starts the Linux servers for linux_peers_test.exe, runs it under Wine and
# checks on the Linux side what the Windows client did: the controller's
# files back byte for byte after the scan configuration, and every DDP
# packet received while it was on.
#   with_linux_peers.sh FPP-SIM GST-RTSP-SERVER.PY TEST.EXE
# Exit 77 (skipped) when the Linux fpp-sim has not been built.
set -euo pipefail
fppSim=$1 gstServer=$2 test=$3
if [[ ! -x "$fppSim" ]]; then
  echo "with_linux_peers: no Linux fpp-sim at $fppSim (build the Linux tree first); not run" >&2
  exit 77
fi
work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# The controller on an address of its own (DDP needs port 4048 free there).
address=127.0.0.$((20 + RANDOM % 200))
"$fppSim" --address "$address" --port 8080 --dump "$work" >"$work/fpp.log" 2>&1 &
fppPid=$!
pids+=("$fppPid")
/usr/bin/python3 "$gstServer" --auth digest --duration 120 >"$work/gst.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do
  grep -q "HTTP on" "$work/fpp.log" && grep -q "^port " "$work/gst.log" && break
  sleep 0.1
done
grep -q "HTTP on" "$work/fpp.log" || { cat "$work/fpp.log"; echo "fpp-sim did not start" >&2; exit 1; }
rtspPort=$(sed -n 's/^port \([0-9]*\)$/\1/p' "$work/gst.log" | head -n 1)
[[ -n "$rtspPort" ]] || { cat "$work/gst.log"; echo "GStreamer's RTSP server did not start" >&2; exit 1; }

echo "Linux servers: controller $address:8080, RTSP 127.0.0.1:$rtspPort"
PXO_PEER_FPP="$address:8080" PXO_PEER_RTSP="rtsp://127.0.0.1:$rtspPort/test" \
  wine "$test" </dev/null

kill -INT "$fppPid"
wait "$fppPid" || true
cat "$work/fpp.log"
status=0
for file in pixel-strings.json ci-universes.json; do
  if cmp -s "$work/start-$file" "$work/end-$file"; then
    echo "controller's $file: back byte for byte"
  else
    echo "controller's $file differs after the restore" >&2
    status=1
  fi
done
applied=$(sed -n 's/^fpp-sim: \([0-9]*\) DDP packets applied.*/\1/p' "$work/fpp.log")
if [[ "$applied" == 50 ]]; then
  echo "DDP: 50 of 50 packets from the Windows sender applied"
else
  echo "DDP: ${applied:-no} packets applied, 50 sent" >&2
  status=1
fi
exit $status
