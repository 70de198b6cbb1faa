#!/bin/sh
# pixoria scan on other controllers, with the defaults a user has: the
# rig's WLED (its LED map written and uploaded) and its E1.31 receiver
# (2,000 pixels from channel 4 of universe 3, twelve universes), each
# >= 99 % correct and no LED wrong; and the settings a receiver needs
# refused before anything is sent.
set -eu
pixoria=$1
scene=$2
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
export TMPDIR="$out"
export XDG_STATE_HOME="$out/state"

accurate() {
  # correct / leds >= 0.99 and wrong == 0, from the report.
  python3 - "$1" <<'PY'
import json, sys
r = json.load(open(sys.argv[1]))
ok = r["wrong"] == 0 and r["correct"] >= 0.99 * r["leds"]
print("%s: %d of %d correct, %d wrong" % (sys.argv[1], r["correct"], r["leds"], r["wrong"]))
sys.exit(0 if ok else 1)
PY
}

"$pixoria" scan --simulate --wled --upload-ledmap --out "$out/wled" \
  --report "$out/wled.json" >"$out/wled.log" 2>&1 || { cat "$out/wled.log"; exit 1; }
accurate "$out/wled.json"
grep -q '"map":\[' "$out/wled/ledmap.json"
grep -q "Uploaded to .* as /ledmap.json" "$out/wled.log"
ls "$out/wled"/*.xmodel >/dev/null

"$pixoria" scan --simulate --e131 --scene "$scene" --universe 3 \
  --start-channel 4 --out "$out/e131" --report "$out/e131.json" \
  >"$out/e131.log" 2>&1 || { cat "$out/e131.log"; exit 1; }
accurate "$out/e131.json"
ls "$out/e131"/*.xmodel >/dev/null

# Bad usage: exit status 2, and the reason.
refused() {
  expected=$1
  shift
  status=0
  "$pixoria" scan "$@" >"$out/refused.log" 2>&1 || status=$?
  [ "$status" = 2 ] && grep -q "$expected" "$out/refused.log" ||
    { echo "pixoria scan $*: status $status"; cat "$out/refused.log"; exit 1; }
}
refused "pixels is needed" --e131 127.0.0.1
refused "needs the receiver's address" --e131 --pixels 10
refused "needs the controller's address" --wled
refused "name one controller" --wled 127.0.0.1 --ddp 127.0.0.1 --pixels 3
refused "colour order" --ddp 127.0.0.1 --pixels 3 --color-order RGX
refused "universe 63999" --e131 127.0.0.1 --pixels 171 --universe 63999
refused "upload-ledmap is for" --ddp 127.0.0.1 --pixels 3 --upload-ledmap
echo "cli: WLED and E1.31 scans, LED map, and receiver settings checked"
