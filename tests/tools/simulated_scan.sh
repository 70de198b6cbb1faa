# Sourced by the command tests that scan the rig: a temporary folder of the
# run's own, a report reader and a scan that must read every LED right.
#   . simulated_scan.sh    (with $pixoria set)
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
# The recordings and models of the temporary directory are this run's own.
export TMPDIR="$out"

# value KEY REPORT: a number from a scan report.
value() { sed "s/.*\"$1\":\([0-9.e+-]*\).*/\1/" "$2"; }

# scan NAME ARGS...: a simulated scan into $out/NAME with its report in
# $out/NAME.json and its output in $out/NAME.log; no wrong IDs and at least
# 99 % of the LEDs correct.
scan() {
  name=$1
  shift
  "$pixoria" scan --simulate --out "$out/$name" \
    --report "$out/$name.json" "$@" > "$out/$name.log" 2>&1 ||
    { echo "$name scan failed"; cat "$out/$name.log"; exit 1; }
  [ "$(value wrong "$out/$name.json")" = 0 ] ||
    { echo "$name: wrong IDs"; cat "$out/$name.json"; exit 1; }
  awk -v c="$(value correct "$out/$name.json")" \
      -v n="$(value leds "$out/$name.json")" 'BEGIN { exit !(c >= 0.99 * n) }' ||
    { echo "$name: too few correct"; cat "$out/$name.json"; exit 1; }
}
