#!/usr/bin/env bash
# The install and the packages, checked: `cmake --install` of the Linux
# build into a scratch prefix, the Debian package installed with dpkg so
# that `pixoria` is on the PATH, and the Windows zip (when build-windows/
# exists) with what it must hold. Run after scripts/test.sh (and
# scripts/test-windows.sh); run as root for dpkg.
set -euo pipefail
cd "$(dirname "$0")/.."

stage=build/install-check
rm -rf "$stage"
cmake --install build --prefix "$stage" --strip
for file in bin/pixoria include/pixoria.h; do
  [[ -e "$stage/$file" ]] || { echo "package: $file not installed" >&2; exit 1; }
done
ls "$stage"/lib*/libpixoria.so* >/dev/null
"$stage/bin/pixoria" --help | head -n 3

(cd build && cpack -G DEB)
deb=$(ls -t build/pixoria_*.deb | head -n 1)
dpkg-deb --info "$deb" | grep -E "Package|Version|Depends"
dpkg -i "$deb"
command -v pixoria
pixoria --help | grep -q "^SYNOPSIS" || { echo "package: pixoria --help" >&2; exit 1; }
echo "package: $deb installed; $(command -v pixoria) runs"

if [[ -d build-windows ]]; then
  (cd build-windows && cpack -G ZIP)
  zip=$(ls -t build-windows/pixoria-*.zip | head -n 1)
  listing=$(cmake -E tar tf "$zip")
  echo "$listing"
  for file in pixoria.dll pixoria.h pixoria.exe README.txt; do
    grep -qx "$file" <<<"$listing" || { echo "package: $file not in $zip" >&2; exit 1; }
  done
  echo "package: $zip holds the DLL, the header, the command and the README"
fi
