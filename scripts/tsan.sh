#!/usr/bin/env bash
# Builds the engine and device tests with ThreadSanitizer in build-tsan/ and runs them.
# Run by hand: Qt itself is not instrumented, so reports that lie wholly inside Qt
# (QWaitCondition, QThread internals) are noise; anything in the program's own files is not.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
out=$here/build-tsan
cmake -S "$here" -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_CXX_FLAGS="-fsanitize=thread -O1" -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=thread" >/dev/null
cmake --build "$out" -j2
export TSAN_OPTIONS="halt_on_error=0 die_after_fork=0 second_deadlock_stack=1"
ctest --test-dir "$out" --output-on-failure -R 'make_|test_fat_engine|test_scan_session|test_device|test_fat_reader|test_raw_engine'
