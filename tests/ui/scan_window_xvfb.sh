#!/usr/bin/env bash
# The scan window for real, under Xvfb, on the virtual rig; xdotool clicks
# through the stages at the layout's control positions: connect → ports →
# aim → scan → review → Add to Layout. A screenshot of each stage goes to
# the output folder; the live preview must show camera pixels, the review
# must draw the LEDs, and the model path must come back through the one
# result.
#   scan_window_xvfb.sh command PIXORIA OUTPUT-DIR
#     `pixoria gui --simulate`: the simulated controller in the host field.
#   scan_window_xvfb.sh host PIXORIA HOST-PROGRAM LIBRARY OUTPUT-DIR
#     the host program loads the library with dlopen and opens the window
#     on the rig's camera over RTSP (`pixoria serve --simulate`); the test
#     types the controller's address.
set -euo pipefail
mode=$1
pixoria=$2
if [ "$mode" = host ]; then
  hostProgram=$3
  library=$4
  out=$5
else
  out=$3
fi
mkdir -p "$out"
for tool in Xvfb xdotool import convert; do
  command -v "$tool" >/dev/null || { echo "missing $tool"; exit 77; }
done

display=:$((90 + RANDOM % 100))
Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp >"$out/xvfb.log" 2>&1 &
xvfb=$!
export DISPLAY=$display
cleanup() {
  kill $gui $rig "$xvfb" 2>/dev/null || true
  wait 2>/dev/null || true
}
trap cleanup EXIT
for _ in $(seq 50); do xdotool getdisplaygeometry >/dev/null 2>&1 && break; sleep 0.1; done

rig=
gui=
if [ "$mode" = host ]; then
  "$pixoria" serve --simulate >"$out/rig.log" 2>&1 &
  rig=$!
  for _ in $(seq 100); do grep -q '^camera ' "$out/rig.log" && break; sleep 0.1; done
  controller=$(sed -n 's/^controller //p' "$out/rig.log")
  camera=$(sed -n 's/^camera //p' "$out/rig.log")
  [ -n "$camera" ] || { cat "$out/rig.log"; exit 1; }
  "$hostProgram" "$library" rtsp "$camera" "" "" "$out/data" "" "" \
    >"$out/gui.log" 2>&1 &
  gui=$!
else
  "$pixoria" gui --simulate --out "$out/data" >"$out/gui.log" 2>&1 &
  gui=$!
fi

# Waits until `check` holds, at most `seconds`.
waitFor() {
  local seconds=$1
  shift
  for _ in $(seq $((seconds * 5))); do
    "$@" && return 0
    sleep 0.2
  done
  echo "timed out waiting for: $*" >&2
  return 1
}
shot() { import -window root "$out/$1.png"; }
# The mean brightness (0 … 1) of a part of the screen: X Y W H.
mean() {
  import -window root -crop "$3x$4+$1+$2" +repage -colorspace Gray \
    -format '%[fx:mean]' info:
}
windowUp() { xdotool search --name 'Glowtrace' >/dev/null 2>&1; }
click() { xdotool mousemove "$1" "$2" click 1; sleep 0.3; }
bright() { awk -v m="$(mean "$@")" 'BEGIN { exit !(m > 0.02) }'; }
# The grey level (0 … 255) of one screen pixel.
grey() {
  import -window root -crop "1x1+$1+$2" +repage -colorspace Gray \
    -format '%[fx:int(255*r+0.5)]' info:
}
# The review preview's own background (26, 26, 26) at its top-left corner,
# where the camera preview shows its darker letterbox.
reviewShown() { [ "$(grey 20 154)" = 26 ]; }

waitFor 20 windowUp
sleep 1
# Stage 0: the simulated controller in the host field, or typed into it.
if [ "$mode" = host ]; then
  click 290 26
  xdotool type --delay 20 "$controller"
fi
shot 1-connect
click 200 126
# The ports stage with its rows.
sleep 3
shot 2-ports
# Port 2 (the prop), then Continue.
click 37 86
click 96 482
# The aiming stage: the camera preview (16, 150, 640 × 300) shows pixels.
waitFor 30 bright 16 150 640 300
sleep 1
shot 3-aim
# Start Scan: the scanning stage, then the review.
click 76 505
sleep 4
shot 4-scanning
waitFor 90 reviewShown
sleep 1
shot 5-review
# The LEDs are drawn: many white pixels in the review.
white=$(import -window root png:- |
  convert png:- -crop 640x270+16+150 +repage -fx 'r>0.9&&g>0.9&&b>0.9' \
    -format '%[fx:mean*w*h]' info:)
echo "white review pixels: $white"
awk -v n="$white" 'BEGIN { exit !(n >= 500) }' || { echo "the review draws no LEDs"; exit 1; }
# Add to Layout: the window goes and the model path comes back.
click 78 505
waitFor 20 bash -c "! kill -0 $gui 2>/dev/null"
wait "$gui" || true
cat "$out/gui.log"
if [ "$mode" = host ]; then
  grep -q '^entry point returned$' "$out/gui.log"
  grep -q '^callbacks: 1$' "$out/gui.log" || { echo "not exactly one callback"; exit 1; }
  model=$(sed -n 's/^result: //p' "$out/gui.log")
else
  model=$(sed -n 's/^Model: //p' "$out/gui.log")
fi
case "$model" in *.xmodel) ;; *) echo "no model path"; exit 1 ;; esac
[ -s "$model" ] || { echo "the model file is missing"; exit 1; }
echo "scan window walk-through ($mode): 5 screenshots in $out, model $model"
