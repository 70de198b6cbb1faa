#!/bin/sh
# Runs a command inside a network namespace of its own that holds nothing
# but a loopback interface, with multicast switched on and routed to it.
# Whatever the command multicasts never reaches a real network.
set -eu
exec unshare --net sh -c '
  ip link set lo up &&
  ip link set lo multicast on &&
  ip route add 224.0.0.0/4 dev lo &&
  exec "$@"' in_fresh_netns "$@"
