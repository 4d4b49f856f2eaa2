#!/usr/bin/env bash
# Configures and builds into build/ (or OUTDIR) with warnings as errors. ccache is used when
# it is installed; its base folder makes checkouts at the same depth share one cache.
#
#     scripts/build.sh [OUTDIR] [--target NAME]... [CMAKE_ARGUMENT]...
#
# With --target only those targets (and what they need) are built, for example
# `--target orvane --target orvane-recovery`; without it everything, tests included.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
out=$here/build
if [ $# -gt 0 ] && [ "${1#-}" = "$1" ]; then
  out=$1
  shift
fi
targets=()
cmake_args=()
while [ $# -gt 0 ]; do
  case $1 in
    --target) targets+=(--target "${2:?--target needs a name}"); shift 2 ;;
    --target=*) targets+=(--target "${1#--target=}"); shift ;;
    *) cmake_args+=("$1"); shift ;;
  esac
done
launcher=()
if command -v ccache >/dev/null; then
  export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$(dirname "$here")}
  export CCACHE_NOHASHDIR=1
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S "$here" -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVANE_WERROR=ON "${launcher[@]}" ${cmake_args[@]+"${cmake_args[@]}"} >/dev/null
cmake --build "$out" -j2 ${targets[@]+"${targets[@]}"}
