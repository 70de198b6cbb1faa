#!/bin/sh
# Runs a command inside a network namespace of its own that holds nothing
# but a loopback interface, with multicast switched on and routed to it.
# Whatever the command multicasts never reaches a real network. Without
# the right to make a namespace (not root, no user namespaces) the command
# is not run at all, and the exit status 77 marks the test skipped.
set -eu
setup='ip link set lo up &&
  ip link set lo multicast on &&
  ip route add 224.0.0.0/4 dev lo &&
  exec "$@"'
if unshare --net true 2>/dev/null; then
  exec unshare --net sh -c "$setup" in_fresh_netns "$@"
elif unshare --net --map-root-user true 2>/dev/null; then
  exec unshare --net --map-root-user sh -c "$setup" in_fresh_netns "$@"
fi
echo "in_fresh_netns: cannot make a network namespace here; not run" >&2
exit 77
