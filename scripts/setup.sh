#!/usr/bin/env bash
# Installs the Debian 12 packages that building, testing, benchmarking and
# fuzzing need; packages already installed are left alone. Run as root.
#   scripts/setup.sh            for the Linux build
#   scripts/setup.sh --windows  also the Windows cross build and Wine
set -euo pipefail

packages=(
  # Build
  g++ make cmake ninja-build pkg-config binutils
  # The Debian packages (dpkg-shlibdeps finds their dependencies; CPack
  # reads file types), checked by lintian, their manual page read by man
  dpkg-dev file lintian man-db
  # Recording and extraction (H.264 through libx264), frame conversion
  libavformat-dev libavcodec-dev libswscale-dev libavutil-dev
  # The scan preview image
  libpng-dev
  # The scan window (GTK 3 with Cairo), and a display for its tests
  libgtk-3-dev xvfb xdotool imagemagick fonts-dejavu-core
  # Tests and benchmarks
  libgtest-dev libgmock-dev libbenchmark-dev
  # Fuzzing (libFuzzer ships in clang's runtime package), format and lint
  clang libclang-rt-14-dev clang-format-14 clang-tidy-14
  # A locale with a decimal comma, for the locale-independence tests
  locales
  # A network namespace of its own for the multicast (discovery) tests
  iproute2 util-linux
  # A real RTSP server (GStreamer's) for the network-camera tests
  python3-gi gir1.2-gstreamer-1.0 gir1.2-gst-rtsp-server-1.0
  gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-plugins-ugly
  gstreamer1.0-plugins-bad gstreamer1.0-rtsp
  # A real E1.31 receiver (OLA's daemon and tools) for the E1.31 tests
  ola
)
if [[ "${1:-}" == "--windows" ]]; then
  packages+=(
    # The cross compiler with std::thread (the -win32 flavour has none)
    g++-mingw-w64-x86-64-posix
    # The Windows tests run under Wine
    wine wine64
  )
fi

missing=()
for package in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$package")
done

# The tests check number handling under a locale that writes decimal commas.
make_locale() {
  if ! locale -a 2>/dev/null | grep -i '^de_DE\.utf-\?8$' >/dev/null; then
    echo "setup: generating the de_DE.UTF-8 locale"
    "${sudo[@]}" localedef -i de_DE -f UTF-8 de_DE.UTF-8
  fi
}

sudo=()
if ((${#missing[@]} == 0)); then
  echo "setup: all ${#packages[@]} packages present"
  make_locale
  exit 0
fi

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
# The E1.31 tests run OLA's daemon in a network namespace of their own; the
# system service the package sets up (where services may start) would hold
# port 5568 on every address, so it is stopped and left disabled.
if [[ " ${missing[*]} " == *" ola "* ]]; then
  if command -v systemctl >/dev/null && systemctl is-system-running >/dev/null 2>&1; then
    "${sudo[@]}" systemctl disable --now olad >/dev/null 2>&1 || true
  else
    "${sudo[@]}" /etc/init.d/olad stop >/dev/null 2>&1 || true
    "${sudo[@]}" update-rc.d olad disable >/dev/null 2>&1 || true
  fi
fi
make_locale
