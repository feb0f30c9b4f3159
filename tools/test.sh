#!/usr/bin/env bash
# Installs everything the tests need, builds Vexo from scratch with warnings as errors, and runs
# every test; then builds again with the address and undefined-behaviour sanitizers and runs the
# tests once more (skip that pass with VEXO_SKIP_SANITIZE=1).
set -euo pipefail
cd "$(dirname "$0")/.."
tools/deps.sh --test
jobs=$(nproc)

rm -rf build-test
cmake -S . -B build-test -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEXO_WERROR=ON
cmake --build build-test -j "$jobs"
ctest --test-dir build-test -j "$jobs" --output-on-failure

if [ "${VEXO_SKIP_SANITIZE:-0}" != 1 ]; then
  rm -rf build-asan
  cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEXO_WERROR=ON -DVEXO_SANITIZE=ON
  cmake --build build-asan -j "$jobs"
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    ctest --test-dir build-asan -j "$jobs" --output-on-failure
fi
