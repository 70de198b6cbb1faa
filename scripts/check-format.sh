#!/usr/bin/env bash
# Fails when a tracked C++ file is not clang-formatted (clang-format 14).
set -euo pipefail
cd "$(dirname "$0")/.."
format=clang-format-14
command -v "$format" >/dev/null || scripts/setup.sh
mapfile -t files < <(git ls-files '*.cpp' '*.h')
((${#files[@]})) || exit 0
"$format" --dry-run --Werror "${files[@]}"
echo "format: ${#files[@]} files clean"
