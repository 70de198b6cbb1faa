#!/bin/sh
# The pixoria command finding its camera over ONVIF (run in a network
# namespace of its own: discovery multicasts). A simulated scan whose
# network camera is found by discovery and asked for its profiles with a
# password digest reads every LED right from the largest H.264 profile;
# discovery with nobody answering and a camera that is not there end with
# what the user needs to know.
#   cli_onvif_test.sh PIXORIA SCENE
set -eu
pixoria=$1
scene=$2
. "$(dirname "$0")/simulated_scan.sh"

"$pixoria" discover --timeout 300 > "$out/discover.log" 2>&1 ||
  { echo "discover failed"; cat "$out/discover.log"; exit 1; }
grep -qx "no ONVIF cameras answered" "$out/discover.log" ||
  { echo "discover: unexpected answer"; cat "$out/discover.log"; exit 1; }

if "$pixoria" profiles http://127.0.0.1:9/onvif/device_service \
    > "$out/profiles.log" 2>&1; then
  echo "profiles of a missing camera succeeded"; exit 1
fi
grep -q "GetProfiles failed (status 0)" "$out/profiles.log" ||
  { echo "profiles: unexpected message"; cat "$out/profiles.log"; exit 1; }

scan onvif --onvif --scene "$scene"
grep -q "^Sim Camera PX-100	127.0.0.1	http://127.0.0.1:" "$out/onvif.log" &&
  grep -q "ONVIF camera at http://127.0.0.1:.*profile 'MainStream'" \
    "$out/onvif.log" ||
  { echo "the scan did not find its camera over ONVIF"; cat "$out/onvif.log"; exit 1; }
echo "cli: the ONVIF camera was found and scanned with" \
  "($(value correct "$out/onvif.json") of $(value leds "$out/onvif.json") LEDs)"
