#!/bin/sh
# Fails when libpixoria exports a defined dynamic symbol other than pxo_*.
set -eu
lib=$1
symbols=$(nm -D --defined-only "$lib" | awk '{print $3}')
[ -n "$symbols" ] || { echo "no exported symbols in $lib"; exit 1; }
bad=$(printf '%s\n' "$symbols" | grep -v '^pxo_' || true)
if [ -n "$bad" ]; then
  echo "unexpected exports:"; printf '%s\n' "$bad" | head -20; exit 1
fi
printf '%s\n' "$symbols" | grep -q '^pxo_scan_backend_status$'
echo "exports: $(printf '%s\n' "$symbols" | wc -l) pxo_* symbols only"
