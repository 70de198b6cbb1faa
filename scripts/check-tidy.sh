#!/usr/bin/env bash
# Runs clang-tidy 14 (.clang-tidy: warnings are errors) over the sources of
# src/, sim/ and tools/ that the Linux build compiles, using the compile
# commands of build/ (the Windows-only sources are checked by the cross
# compiler's warnings, as errors).
set -euo pipefail
cd "$(dirname "$0")/.."
[[ -f build/compile_commands.json ]] || {
  echo "tidy: configure build/ first (scripts/test.sh)" >&2
  exit 1
}
command -v clang-tidy-14 >/dev/null || scripts/setup.sh
mapfile -t files < <(git ls-files 'src/*.cpp' 'sim/*.cpp' 'tools/*.cpp' |
  while read -r file; do
    grep -q "\"file\": \"$PWD/$file\"" build/compile_commands.json && echo "$file"
  done)
log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! printf '%s\n' "${files[@]}" |
    xargs -P "$(nproc)" -n 4 clang-tidy-14 -p build --quiet >"$log" 2>&1; then
  grep -v -E '^[0-9]+ warnings? generated\.$' "$log" >&2
  echo "tidy: findings above" >&2
  exit 1
fi
echo "tidy: ${#files[@]} files clean"
