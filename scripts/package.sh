#!/usr/bin/env bash
# Builds the Debian package in build-deb/ (installed under /usr, tests left out) and prints
# its name. Its dependencies come from the binaries through dpkg-shlibdeps, plus polkit and
# what the program loads at run time. Install it with: sudo apt install ./build-deb/NAME.deb
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$here/build-deb}
"$here/scripts/install-deps.sh"
cmake -S "$here" -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DORVANE_WERROR=ON -DORVANE_BUILD_TESTS=OFF >/dev/null
cmake --build "$out" -j2
(cd "$out" && cpack -G DEB >/dev/null)
ls "$out"/*.deb
