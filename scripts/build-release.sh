#!/usr/bin/env bash
# Builds everything (library, tools, tests, benchmarks) as a packager would,
# in Release, with warnings as errors so that no -O3 warning slips in.
#   scripts/build-release.sh gcc     (build-release-gcc/)
#   scripts/build-release.sh clang   (build-release-clang/)
set -euo pipefail
cd "$(dirname "$0")/.."

case "${1:-}" in
  gcc) compilers=(-DCMAKE_C_COMPILER=gcc -DCMAKE_CXX_COMPILER=g++) ;;
  clang) compilers=(-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++) ;;
  *) echo "usage: $0 gcc|clang" >&2; exit 2 ;;
esac
build=build-release-$1

scripts/setup.sh
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPXO_WERROR=ON \
  "${compilers[@]}"
cmake --build "$build" -j "$(nproc)"
