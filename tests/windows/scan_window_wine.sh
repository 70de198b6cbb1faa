#!/usr/bin/env bash
# The Win32 scan window for real, under Wine on Xvfb, on the virtual rig;
# xdotool clicks through the stages at the layout's control positions:
# connect → ports → aim → scan → review → Add to Layout. A screenshot of
# each stage goes to the output folder; the live preview must show camera
# pixels, the review must draw the LEDs, and the model path must come back
# through the one result. Wine runs the window's real Win32, Direct2D and
# GDI code; its Media Foundation decodes H.264 but cannot record.
#   scan_window_wine.sh command PIXORIA.EXE OUTPUT-DIR
#     `pixoria gui --simulate`: the simulated controller in the host field;
#     the rig's camera records a raw test recording of its own (the
#     command says so).
#   scan_window_wine.sh host LINUX-PIXORIA WINDOWS-HOST.EXE PIXORIA.DLL OUTPUT-DIR
#     the host program loads the DLL with LoadLibrary and opens the window
#     on the rig's camera over RTSP (`pixoria serve --simulate` of the Linux
#     build); the test types the controller's address. The DLL shows the
#     stream through the H.264 decoder and records it into a stream file
#     (Wine writes no MP4), read back through the decoder.
#   scan_window_wine.sh close WINDOWS-HOST.EXE PIXORIA.DLL OUTPUT-DIR
#     the host program opens the window on the local camera; the window is
#     closed with Alt+F4 on the connect stage: exactly one callback, with
#     nothing.
# Needs WINEPREFIX and the rest of scripts/test-windows.sh's environment.
set -euo pipefail
mode=$1
pixoria=$2
if [ "$mode" = host ]; then
  hostProgram=$3
  library=$4
  out=$5
  [ -x "$pixoria" ] || { echo "no Linux pixoria at $pixoria (build the Linux tree first); not run"; exit 77; }
elif [ "$mode" = close ]; then
  hostProgram=$2
  library=$3
  out=$4
else
  out=$3
fi
mkdir -p "$out"
rm -f "$out"/*.png
for tool in Xvfb xdotool import convert wine; do
  command -v "$tool" >/dev/null || { echo "missing $tool"; exit 77; }
done

display=:$((90 + RANDOM % 100))
Xvfb "$display" -screen 0 1280x1024x24 -nolisten tcp >"$out/xvfb.log" 2>&1 &
xvfb=$!
export DISPLAY=$display
gui=
rig=
# Wine's desktop belongs to the display its server's first program had:
# the suite's server runs without one, so this test (which runs alone) gets
# a server of its own on Xvfb, and the suite's comes back afterwards.
restartWine() {
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w >/dev/null 2>&1 || true
  wineserver -p >/dev/null 2>&1
  wine cmd /c exit </dev/null >/dev/null 2>&1 || true
}
cleanup() {
  [ -n "$gui" ] && kill "$gui" 2>/dev/null || true
  [ -n "$rig" ] && kill "$rig" 2>/dev/null || true
  (unset DISPLAY; restartWine)
  kill "$xvfb" 2>/dev/null || true
  wait 2>/dev/null || true
  # The raw test recording of the scan is large and of no further use.
  rm -rf "$out/data" "$out/picked" "$out/saved.xmodel"
}
trap cleanup EXIT
for _ in $(seq 50); do xdotool getdisplaygeometry >/dev/null 2>&1 && break; sleep 0.1; done
restartWine

if [ "$mode" = host ]; then
  "$pixoria" serve --simulate >"$out/rig.log" 2>&1 &
  rig=$!
  for _ in $(seq 100); do grep -q '^camera ' "$out/rig.log" && break; sleep 0.1; done
  controller=$(sed -n 's/^controller //p' "$out/rig.log")
  camera=$(sed -n 's/^camera //p' "$out/rig.log")
  [ -n "$camera" ] || { cat "$out/rig.log"; exit 1; }
  wine "$hostProgram" "$library" rtsp "$camera" "$(winepath -w "$out/data")" \
    </dev/null >"$out/gui.log" 2>&1 &
elif [ "$mode" = close ]; then
  wine "$hostProgram" "$library" </dev/null >"$out/gui.log" 2>&1 &
else
  wine "$pixoria" gui --simulate --out "$(winepath -w "$out/data")" \
    </dev/null >"$out/gui.log" 2>&1 &
fi
gui=$!

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
windowUp() { xdotool search --name 'Glowtrace' >/dev/null 2>&1; }
waitFor 60 windowUp
sleep 1
# Without a window manager Wine's window is its client area, where Wine put
# it: the layout's coordinates count from there.
geometry=$(xdotool search --name 'Glowtrace' getwindowgeometry)
echo "$geometry"
read -r ox oy < <(echo "$geometry" | sed -n 's/.*Position: \([0-9]*\),\([0-9]*\).*/\1 \2/p')
read -r width height < <(echo "$geometry" | sed -n 's/.*Geometry: \([0-9]*\)x\([0-9]*\).*/\1 \2/p')
[ "$width" -ge 664 ] && [ "$height" -ge 562 ] ||
  { echo "the client area ${width}x$height is smaller than the layout's 664x562"; exit 1; }
area() { echo "$3x$4+$((ox + $1))+$((oy + $2))"; }
shot() { import -window root -crop "$(area 0 0 664 562)" +repage "$out/$1.png"; }
mean() {
  import -window root -crop "$(area "$@")" +repage -colorspace Gray \
    -format '%[fx:mean]' info:
}
click() { xdotool mousemove $((ox + $1)) $((oy + $2)) click 1; sleep 0.3; }
bright() { awk -v m="$(mean "$@")" 'BEGIN { exit !(m > 0.02) }'; }
grey() {
  import -window root -crop "1x1+$((ox + $1))+$((oy + $2))" +repage \
    -colorspace Gray -format '%[fx:int(255*r+0.5)]' info:
}
reviewShown() { [ "$(grey 20 154)" = 26 ]; }
portsShown() { [ "$(grey 300 300)" = 255 ]; }

if [ "$mode" = close ]; then
  shot 1-connect
  # The window takes the focus, then Alt+F4 (the close box's command).
  click 500 300
  xdotool key alt+F4
  waitFor 60 bash -c "! kill -0 $gui 2>/dev/null"
  wait "$gui" || true
  gui=
  cat "$out/gui.log"
  grep -q '^callbacks: 1' "$out/gui.log" || { echo "not exactly one callback"; exit 1; }
  grep -q '^result: (null)' "$out/gui.log" || { echo "a result after closing"; exit 1; }
  echo "Win32 scan window closed on the connect stage: one callback, with nothing"
  exit 0
fi
# Stage 0: the simulated controller is in the host field, or typed into it.
if [ "$mode" = host ]; then
  click 290 26
  xdotool type --delay 20 "$controller"
fi
shot 1-connect
click 200 126
# The ports stage with its rows (the viewport's white inside).
waitFor 30 portsShown
sleep 1
shot 2-ports
# Port 2 (the prop), then Continue.
click 37 86
click 96 482
# The aiming stage: the camera preview (16, 150, 640 × 300) shows pixels.
waitFor 60 bright 16 150 640 300
sleep 1
shot 3-aim
# Start Scan: the scanning stage, then the review.
click 76 505
sleep 3
shot 4-scanning
waitFor 180 reviewShown
sleep 1
shot 5-review
white=$(import -window root png:- |
  convert png:- -crop "$(area 16 150 640 270)" +repage -fx 'r>0.9&&g>0.9&&b>0.9' \
    -format '%[fx:mean*w*h]' info:)
echo "white review pixels: $white"
awk -v n="$white" 'BEGIN { exit !(n >= 500) }' || { echo "the review draws no LEDs"; exit 1; }
if [ "$mode" = host ]; then
  # The shell's dialogs: "Save to File…" into a file named in the dialog,
  # then "Save Scan Data…" into a folder picked in it.
  dialogUp() { xdotool search --name "$1" >/dev/null 2>&1; }
  click 204 505
  waitFor 30 dialogUp 'Save mapped model'
  sleep 1
  import -window root "$out/6-save-dialog.png"
  # The suggested name is selected from its end, then replaced.
  xdotool key End shift+Home
  xdotool type --delay 15 "$(winepath -w "$out")\\saved.xmodel"
  xdotool key Return
  waitFor 30 test -s "$out/saved.xmodel"
  grep -q '<custommodel' "$out/saved.xmodel" || { echo "the saved model holds no custom model"; exit 1; }
  mkdir -p "$out/picked"
  click 568 505
  waitFor 30 dialogUp 'Choose a folder for the raw scan data'
  xdotool type --delay 15 "$(winepath -w "$out/picked")"
  # Wine's picker goes into the folder typed, then takes the one it shows.
  xdotool key Return
  sleep 1
  if dialogUp 'Choose a folder'; then xdotool key Return; fi
  waitFor 30 bash -c "ls '$out'/picked/scan_*/timeline.json >/dev/null 2>&1"
  echo "saved through the dialogs: saved.xmodel and $(ls -d "$out"/picked/scan_*)"
fi
# Add to Layout: the window goes and the model path comes back.
click 78 505
waitFor 60 bash -c "! kill -0 $gui 2>/dev/null"
wait "$gui" || true
gui=
cat "$out/gui.log"
if [ "$mode" = host ]; then
  grep -q '^entry point returned' "$out/gui.log"
  grep -q '^callbacks: 1' "$out/gui.log" || { echo "not exactly one callback"; exit 1; }
  model=$(sed -n 's/^result: //p' "$out/gui.log" | tr -d '\r')
  # What the DLL recorded: the MP4 writer's file, or the stream file.
  recording=$(find "$out/data" -name scan.mp4 | head -n 1)
  echo "recording: $(head -c 40 "$recording" | tr -d '\0' | head -n 1)"
else
  # Which recording the rig made: the platform's, or its raw test recording.
  grep "^virtual camera: " "$out/gui.log" || echo "recording: the platform's writer"
  model=$(sed -n 's/^Model: //p' "$out/gui.log" | tr -d '\r')
fi
case "$model" in *.xmodel) ;; *) echo "no model path"; exit 1 ;; esac
unix=$(winepath -u "$model" 2>/dev/null)
[ -s "$unix" ] || { echo "the model file $unix is missing"; exit 1; }
grep -q '<custommodel' "$unix" || { echo "the model file holds no custom model"; exit 1; }
rm -f "$unix"
echo "Win32 scan window walk-through under Wine ($mode): 5 screenshots in $out, model $model"
