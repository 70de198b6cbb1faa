#!/usr/bin/env bash
# Installs the Debian 12 packages that building, testing, benchmarking and
# fuzzing need; packages already installed are left alone. Run as root.
set -euo pipefail

packages=(
  # Build
  g++ make cmake ninja-build pkg-config binutils
  # Tests and benchmarks
  libgtest-dev libgmock-dev libbenchmark-dev
  # Fuzzing (libFuzzer ships in clang's runtime package), format and lint
  clang libclang-rt-14-dev clang-format-14 clang-tidy-14
)

missing=()
for package in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$package")
done

if ((${#missing[@]} == 0)); then
  echo "setup: all ${#packages[@]} packages present"
  exit 0
fi

sudo=()
if [[ "$(id -u)" != 0 ]]; then
  command -v sudo >/dev/null || {
    echo "setup: run as root to install: ${missing[*]}" >&2
    exit 1
  }
  sudo=(sudo)
fi
echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -q
"${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}" </dev/null
