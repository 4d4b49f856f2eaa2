#!/usr/bin/env bash
# Configures and builds into build/ (or $1) with warnings as errors. ccache is used when it
# is installed; its base folder makes checkouts at the same depth share one cache.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$here/build}
shift || true
launcher=()
if command -v ccache >/dev/null; then
  export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$(dirname "$here")}
  export CCACHE_NOHASHDIR=1
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S "$here" -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVANE_WERROR=ON "${launcher[@]}" "$@" >/dev/null
cmake --build "$out" -j2
