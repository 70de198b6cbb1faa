#!/usr/bin/env bash
# A whole simulated scan: installs what the build needs, builds, and runs
# `pixoria scan --simulate` on the default scene (or the scene given), then
# says where the model, the scan data and the preview went and how
# accurate the scan was.
#   scripts/scan-demo.sh [SCENE.json]
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPXO_WERROR=ON
cmake --build build -j "$(nproc)" --target pixoria_tool

out=pixoria-out
scene=()
[[ $# -ge 1 ]] && scene=(--scene "$1")
build/tools/pixoria scan --simulate "${scene[@]}" --out "$out" --report "$out/report.json"
echo "Report:     $out/report.json"
