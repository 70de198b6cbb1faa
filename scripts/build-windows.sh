#!/usr/bin/env bash
# Builds pixoria.dll, the pixoria command and the portable tests for 64-bit
# Windows with Debian's mingw-w64 cross compiler (build-windows/). Installs
# what it needs first; run as root on Debian 12.
#   scripts/build-windows.sh            build
#   scripts/build-windows.sh --package  build, then the zip (build-windows/)
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh --windows
cmake -S . -B build-windows -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
  -DCMAKE_BUILD_TYPE=Release -DPXO_WERROR=ON
cmake --build build-windows -j "$(nproc)"
if [[ "${1:-}" == "--package" ]]; then
  (cd build-windows && cpack -G ZIP)
fi
