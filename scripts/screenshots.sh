#!/usr/bin/env bash
# Renders the desktop program's pages offscreen into OUTDIR as PAGE-LANG.png (home-en.png,
# home-de.png, home-cn.png, ...). Configures build/ (or $ORVANE_BUILD) when needed and
# builds only what it needs; needs no display.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
out=${1:?usage: scripts/screenshots.sh OUTDIR}
build=${ORVANE_BUILD:-$here/build}
if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVANE_WERROR=ON >/dev/null
fi
cmake --build "$build" -j2 --target orvane_screenshots >/dev/null
mkdir -p "$out"
QT_QPA_PLATFORM=offscreen "$build/bin/orvane_screenshots" "$out"
