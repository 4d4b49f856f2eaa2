#!/usr/bin/env bash
# Configures and builds into build/ (or $1) with warnings as errors.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$here/build}
shift || true
cmake -S "$here" -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVANE_WERROR=ON "$@" >/dev/null
cmake --build "$out" -j2
