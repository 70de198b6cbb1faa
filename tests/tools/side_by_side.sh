# Sourced by the bash tests whose cases run side by side: each case in a
# subshell of its own, with a controller at a loopback address of its own
# ($address: they all take the controller's DDP port) and its own log,
# printed in order once all have ended. The sourcing test sets $work (its
# scratch folder), $address_salt (0 or 1, so that two such tests running
# at once pick apart) and counts failures in $failures.

# A loopback address of this shell's own, as the test rigs pick theirs; K
# gives each case one of its own (0: the test's own).
address_for() {  # K
  local index=$(( ((($$ << 2) + address_salt) + ($1 << 20)) & 0xFFFFFF ))
  ((index < 2)) && index=$((index + 2))
  echo "127.$(((index >> 16) & 255)).$(((index >> 8) & 255)).$((index & 255))"
}

case_pids=()
case_logs=()
# Starts FUNCTION with its arguments as the next case; the case's failures
# are the subshell's exit status.
side_by_side() {  # FUNCTION [ARGUMENTS...]
  local k=$((${#case_pids[@]} + 1))
  local log="$work/case-$k.log"
  (
    address=$(address_for "$k")
    failures=0
    "$@"
    exit "$failures"
  ) > "$log" 2>&1 &
  case_pids+=($!)
  case_logs+=("$log")
}
# Waits for every case started, prints their logs in order and adds their
# failures to $failures.
wait_side_by_side() {
  local k
  for k in "${!case_pids[@]}"; do
    wait "${case_pids[$k]}" || failures=$((failures + $?))
    cat "${case_logs[$k]}"
  done
  case_pids=()
  case_logs=()
}
