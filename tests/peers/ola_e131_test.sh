#!/bin/bash
# The scan's E1.31 output as a real receiver takes it: OLA's daemon, with
# only its E1.31 plugin, in a network namespace of this test's own, records
# twelve universes while the scan plan of 2,000 pixels from channel 4 of
# universe 3 is played to it; every frame must arrive slot for slot, and
# nothing outside those channels.
#
# olad refuses to run as root, so it runs as nobody; its E1.31 plugin does
# not start on the loopback interface alone, so the namespace gets a veth
# pair with a 127.x address on it for the plugin to use.
#   ola_e131_test.sh PEER-PROGRAM WORK-DIR
set -eu
peer=$1
work=$2
if [ "$(id -u)" != 0 ] || ! command -v olad >/dev/null ||
  ! unshare --net true 2>/dev/null; then
  echo "ola_e131_test: needs root, OLA (olad) and network namespaces; not run" >&2
  exit 77
fi
rm -rf "$work"
mkdir -p "$work"
# olad's own folder, where nobody can reach it (the build may sit in a
# folder only root can enter).
conf=$(mktemp -d /tmp/pxo-ola.XXXXXX)
trap 'rm -rf "$conf"' EXIT
chmod 755 "$conf"

inside() {
  set -eu
  address=127.3.0.1
  ip link set lo up
  ip link add pxo0 type veth peer name pxo1
  ip link set pxo0 up
  ip link set pxo1 up
  ip addr add "$address/8" dev pxo0
  for plugin in artnet dummy espnet ftdidmx gpio karate kinet milinst \
    opendmx openpixelcontrol osc pathport renard sandnet shownet spi \
    stageprofi uartdmx usbdmx usbserial; do
    echo "enabled = false" >"$conf/ola-$plugin.conf"
  done
  printf 'enabled = true\nip = %s\ninput_ports = 12\noutput_ports = 0\nignore_preview = true\n' \
    "$address" >"$conf/ola-e131.conf"
  chown -R nobody "$conf"
  runuser -u nobody -- olad --config-dir "$conf" -l 2 >"$work/olad.log" 2>&1 &
  olad=$!
  up=0
  for _ in $(seq 100); do
    if ola_dev_info >/dev/null 2>&1; then up=1; break; fi
    sleep 0.1
  done
  [ "$up" = 1 ] || { echo "olad did not start" >&2; cat "$work/olad.log" >&2; kill "$olad"; return 1; }
  device=$(ola_dev_info | sed -n 's/^Device \([0-9]*\): E1.31.*/\1/p')
  [ -n "$device" ] || { echo "no E1.31 device in olad" >&2; kill "$olad"; return 1; }
  universes=
  for port in $(seq 0 11); do
    ola_patch -d "$device" -p "$port" -i -u $((3 + port))
    universes="$universes${universes:+,}$((3 + port))"
  done
  ola_recorder -r "$work/show" -u "$universes" >"$work/recorder.log" 2>&1 &
  recorder=$!
  sleep 1
  status=0
  timeout 60 "$peer" play "$address" 3 4 2000 "$work/expected" || status=$?
  sleep 1
  kill -INT "$recorder"
  wait "$recorder" || true
  kill "$olad"
  wait "$olad" || true
  [ "$status" = 0 ] || return "$status"
  cat "$work/recorder.log"
  "$peer" check "$work/expected" "$work/show"
}
export -f inside
export peer work conf
timeout 150 unshare --net bash -c inside
