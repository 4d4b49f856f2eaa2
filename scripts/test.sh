#!/usr/bin/env bash
# Installs, builds and runs every test. Pass --sanitize to build and test with
# AddressSanitizer and UndefinedBehaviorSanitizer in build-asan/.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
"$here/scripts/install-deps.sh"
if [ "${1:-}" = "--sanitize" ]; then
  "$here/scripts/build.sh" "$here/build-asan" -DORVANE_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
  export LSAN_OPTIONS=suppressions=$here/scripts/lsan.supp
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  ctest --test-dir "$here/build-asan" --output-on-failure -j2
else
  "$here/scripts/build.sh"
  ctest --test-dir "$here/build" --output-on-failure -j2
fi
