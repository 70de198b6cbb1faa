#!/bin/sh
# Runs a Windows program under a Wine server of its own, started here: Wine
# makes sockets in its server's process, so a program in a fresh network
# namespace (in_fresh_netns.sh) multicasts there only when its server runs
# there too. The prefix is a copy's worth of set-up away: made once per
# build, then reused.
set -eu
export WINEPREFIX="${PXO_WINEPREFIX:-$HOME/.wine}-netns"
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
[ -d "$WINEPREFIX" ] || wineboot -i </dev/null >/dev/null 2>&1 || true
wineserver -k 2>/dev/null || true
wine cmd /c exit </dev/null >/dev/null 2>&1 || true
status=0
wine "$@" </dev/null || status=$?
wineserver -k 2>/dev/null || true
exit $status
