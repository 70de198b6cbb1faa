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
#   scan_window_xvfb.sh gtkhost PIXORIA GTK-HOST-PROGRAM LIBRARY OUTPUT-DIR
#     the same through a host that runs GTK's loop itself: the window must
#     come up on that loop, and the loop must never stall for long.
# PXO_DPI_SCALE (default 1) runs the window on a display of that many times
# 96 dpi (GDK_DPI_SCALE): the window and its controls grow by as much.
set -euo pipefail
mode=$1
pixoria=$2
if [ "$mode" = host ] || [ "$mode" = gtkhost ]; then
  hostProgram=$3
  library=$4
  out=$5
else
  out=$3
fi
scale=${PXO_DPI_SCALE:-1}
export GDK_DPI_SCALE=$scale
mkdir -p "$out"
for tool in Xvfb xdotool import convert; do
  command -v "$tool" >/dev/null || { echo "missing $tool"; exit 77; }
done

display=:$((90 + RANDOM % 100))
Xvfb "$display" -screen 0 1280x1024x24 -nolisten tcp >"$out/xvfb.log" 2>&1 &
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
if [ "$mode" = host ] || [ "$mode" = gtkhost ]; then
  "$pixoria" serve --simulate >"$out/rig.log" 2>&1 &
  rig=$!
  for _ in $(seq 100); do grep -q '^camera ' "$out/rig.log" && break; sleep 0.1; done
  controller=$(sed -n 's/^controller //p' "$out/rig.log")
  camera=$(sed -n 's/^camera //p' "$out/rig.log")
  [ -n "$camera" ] || { cat "$out/rig.log"; exit 1; }
  if [ "$mode" = host ]; then
    "$hostProgram" "$library" rtsp "$camera" "" "" "$out/data" "" "" \
      >"$out/gui.log" 2>&1 &
  else
    "$hostProgram" "$library" "$camera" "$out/data" >"$out/gui.log" 2>&1 &
  fi
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
# A layout length in screen pixels.
px() { awk -v v="$1" -v s="$scale" 'BEGIN { printf "%d", v * s + 0.5 }'; }
# A rectangle of the layout: X Y W H → W×H+X+Y in screen pixels.
area() { echo "$(px "$3")x$(px "$4")+$(px "$1")+$(px "$2")"; }
# The window alone (it sits at the screen's top left: no window manager).
shot() { import -window root -crop "$(area 0 0 664 562)" +repage "$out/$1.png"; }
# The mean brightness (0 … 1) of a part of the layout: X Y W H.
mean() {
  import -window root -crop "$(area "$@")" +repage -colorspace Gray \
    -format '%[fx:mean]' info:
}
windowUp() { xdotool search --name 'Glowtrace' >/dev/null 2>&1; }
click() { xdotool mousemove "$(px "$1")" "$(px "$2")" click 1; sleep 0.3; }
bright() { awk -v m="$(mean "$@")" 'BEGIN { exit !(m > 0.02) }'; }
# The grey level (0 … 255) of one pixel of the layout.
grey() {
  import -window root -crop "1x1+$(px "$1")+$(px "$2")" +repage \
    -colorspace Gray -format '%[fx:int(255*r+0.5)]' info:
}
# The review preview's own background (26, 26, 26) at its top-left corner,
# where the camera preview shows its darker letterbox.
reviewShown() { [ "$(grey 20 154)" = 26 ]; }

waitFor 20 windowUp
sleep 1
# The window is the layout's client area, at the display's scale.
geometry=$(xdotool search --name 'Glowtrace' getwindowgeometry)
echo "$geometry"
size=$(echo "$geometry" | sed -n 's/.*Geometry: //p')
[ "$size" = "$(px 664)x$(px 562)" ] || { echo "window $size at scale $scale"; exit 1; }
# Stage 0: the simulated controller in the host field, or typed into it.
if [ "$mode" != command ]; then
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
  convert png:- -crop "$(area 16 150 640 270)" +repage -fx 'r>0.9&&g>0.9&&b>0.9' \
    -format '%[fx:mean*w*h]' info:)
echo "white review pixels: $white"
awk -v n="$white" -v s="$scale" 'BEGIN { exit !(n >= 500 * s * s) }' || { echo "the review draws no LEDs"; exit 1; }
# Add to Layout: the window goes and the model path comes back.
click 78 505
waitFor 20 bash -c "! kill -0 $gui 2>/dev/null"
wait "$gui" || true
cat "$out/gui.log"
if [ "$mode" != command ]; then
  grep -q '^entry point returned$' "$out/gui.log"
  grep -q '^callbacks: 1$' "$out/gui.log" || { echo "not exactly one callback"; exit 1; }
  model=$(sed -n 's/^result: //p' "$out/gui.log")
else
  model=$(sed -n 's/^Model: //p' "$out/gui.log")
fi
case "$model" in *.xmodel) ;; *) echo "no model path"; exit 1 ;; esac
[ -s "$model" ] || { echo "the model file is missing"; exit 1; }
if [ "$mode" = gtkhost ]; then
  grep -q "^window on the host's loop: yes$" "$out/gui.log" ||
    { echo "the window is not on the host's GTK loop"; exit 1; }
  # Connecting, scanning and decoding run on workers: the host's loop
  # answers throughout (a blocked loop stalls for seconds).
  stall=$(sed -n 's/^longest stall: \([0-9]*\) ms$/\1/p' "$out/gui.log")
  [ -n "$stall" ] && [ "$stall" -lt 1000 ] ||
    { echo "the host's loop stalled ${stall:-?} ms"; exit 1; }
fi
echo "scan window walk-through ($mode, scale $scale): 5 screenshots in $out, model $model"
