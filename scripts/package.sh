#!/usr/bin/env bash
# The install and the packages, checked: `cmake --install` of the Linux
# build into a scratch prefix, with programs built against it through
# pkg-config and find_package(Pixoria); the three Debian packages checked
# by lintian and installed with dpkg, and the same builds against them;
# and the Windows zip (when build-windows/ exists) with what it must hold. Run after scripts/test.sh (and
# scripts/test-windows.sh); run as root for dpkg.
set -euo pipefail
cd "$(dirname "$0")/.."

stage=build/install-check
rm -rf "$stage"
cmake --install build --prefix "$stage" --strip
for file in bin/pixoria include/pixoria.h share/man/man1/pixoria.1.gz; do
  [[ -e "$stage/$file" ]] || { echo "package: $file not installed" >&2; exit 1; }
done
[[ -n $(find "$stage/lib" -name "libpixoria.so.0") ]] ||
  { echo "package: libpixoria.so.0 not installed" >&2; exit 1; }
"$stage/bin/pixoria" --help | sed -n 1,3p

# A developer's builds against the install: pkg-config and find_package,
# from the scratch prefix (relocatable: it was never configured for it).
consumer=build/consumer-check
rm -rf "$consumer"
mkdir -p "$consumer"
pcs=$(find "$stage" -name pixoria.pc)
pcdir=$(dirname "${pcs%%$'\n'*}")
# shellcheck disable=SC2046
cc -Wall -Werror -o "$consumer/pkg-config-consumer" packaging/consumer/consumer.c \
  $(PKG_CONFIG_PATH="$pcdir" pkg-config --cflags --libs pixoria)
libdir=$(PKG_CONFIG_PATH="$pcdir" pkg-config --variable=libdir pixoria)
LD_LIBRARY_PATH="$libdir" "$consumer/pkg-config-consumer"
cmake -S packaging/consumer -B "$consumer/cmake" -G Ninja \
  -DCMAKE_PREFIX_PATH="$PWD/$stage" >/dev/null
cmake --build "$consumer/cmake" >/dev/null
"$consumer/cmake/consumer"
echo "package: pkg-config and find_package(Pixoria) build against $stage"

# The Debian packages: lintian finds no error in any of them; installed
# together, the command and its manual page are there, and a program builds
# against the system's library with pkg-config and CMake.
rm -f build/*.deb
(cd build && cpack -G DEB)
debs=(build/libpixoria0_*.deb build/libpixoria-dev_*.deb build/pixoria_*.deb)
for deb in "${debs[@]}"; do
  dpkg-deb --info "$deb" | grep -E "^ (Package|Version|Depends):"
  { lintian --tag-display-limit 0 "$deb" 2>&1 || true; } |
    { grep -v "root privileges" || true; } | tee "$deb.lintian"
  if grep -q "^E:" "$deb.lintian"; then
    echo "package: lintian reports errors in $deb" >&2
    exit 1
  fi
done
dpkg -i "${debs[@]}"
command -v pixoria
# Outputs are read whole before they are searched: with pipefail, a
# `grep -q` that stops at the first match would fail the writer on SIGPIPE.
help=$(pixoria --help)
grep -q "^SYNOPSIS" <<<"$help" || { echo "package: pixoria --help" >&2; exit 1; }
if [[ -e /usr/share/man/man1/pixoria.1.gz ]]; then
  page=$(MANWIDTH=80 man pixoria)
  grep -q "find where every LED" <<<"$page" ||
    { echo "package: man pixoria" >&2; exit 1; }
else
  # A machine whose dpkg leaves manual pages out (path-exclude).
  echo "package: manual pages are not installed here; reading the packaged one"
  dpkg-deb --fsys-tarfile build/pixoria_*.deb |
    tar -xO ./usr/share/man/man1/pixoria.1.gz | gzip -dc >"$consumer/pixoria.1"
  page=$(MANWIDTH=80 man -l "$consumer/pixoria.1")
  grep -q "find where every LED" <<<"$page" ||
    { echo "package: the manual page" >&2; exit 1; }
fi
# shellcheck disable=SC2046
cc -Wall -Werror -o "$consumer/system-consumer" packaging/consumer/consumer.c \
  $(pkg-config --cflags --libs pixoria)
"$consumer/system-consumer"
cmake -S packaging/consumer -B "$consumer/system-cmake" -G Ninja >/dev/null
cmake --build "$consumer/system-cmake" >/dev/null
"$consumer/system-cmake/consumer"
echo "package: ${debs[*]} installed; $(command -v pixoria) runs, man pixoria reads"

if [[ -d build-windows ]]; then
  (cd build-windows && cpack -G ZIP)
  zips=$(ls -t build-windows/pixoria-*.zip)
  zip=${zips%%$'\n'*}
  listing=$(cmake -E tar tf "$zip")
  echo "$listing"
  for file in pixoria.dll pixoria.dll.a pixoria.lib pixoria.def pixoria.h \
    pixoria.exe README.txt; do
    grep -qx "$file" <<<"$listing" || { echo "package: $file not in $zip" >&2; exit 1; }
  done
  unpacked=build-windows/zip-check
  rm -rf "$unpacked" && mkdir -p "$unpacked"
  (cd "$unpacked" && cmake -E tar xf "../../$zip")
  exports=$(grep -c "^ *pxo_" "$unpacked/pixoria.def")
  ((exports == 12)) || { echo "package: pixoria.def lists $exports exports" >&2; exit 1; }
  echo "package: $zip holds the DLL, its import libraries and .def (12 exports), the header, the command and the README"
fi
