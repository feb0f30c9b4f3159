#!/usr/bin/env bash
# Installs everything the tests need, builds Vexo from scratch with warnings as errors, and runs
# every test; then builds again with the address and undefined-behaviour sanitizers and runs the
# tests once more (skip that pass with VEXO_SKIP_SANITIZE=1); last it runs each fuzz target briefly
# (VEXO_SKIP_FUZZ=1 skips that).
set -euo pipefail
cd "$(dirname "$0")/.."
tools/deps.sh --test
jobs=$(nproc)

rm -rf build-test
cmake -S . -B build-test -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEXO_WERROR=ON -DVEXO_GUI=ON
cmake --build build-test -j "$jobs"
ctest --test-dir build-test -j "$jobs" --output-on-failure

if [ "${VEXO_SKIP_SANITIZE:-0}" != 1 ]; then
  rm -rf build-asan
  cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEXO_WERROR=ON -DVEXO_SANITIZE=ON \
    -DVEXO_GUI=ON
  cmake --build build-asan -j "$jobs"
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    ctest --test-dir build-asan -j "$jobs" --output-on-failure
fi

# Each reader's libFuzzer target, built with clang and run briefly from the corpus seeds.
if [ "${VEXO_SKIP_FUZZ:-0}" != 1 ]; then
  rm -rf build-fuzz
  CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVEXO_FUZZ=ON -DBUILD_TESTING=OFF -DVEXO_GUI=OFF
  cmake --build build-fuzz -j "$jobs"
  corpus=${VEXO_CORPUS_DIR:-$PWD/../shared/corpus}
  for fuzzer in build-fuzz/bin/*_fuzz; do
    name=$(basename "$fuzzer" _fuzz)
    seeds=()
    while read -r dir; do [ -n "$dir" ] && seeds+=("$corpus/$dir"); done < "fuzz/$name.seeds"
    [ -d "fuzz/regressions/$name" ] && seeds+=("fuzz/regressions/$name")
    mkdir -p "build-fuzz/found-$name"
    echo "fuzzing $name for ${VEXO_FUZZ_SECONDS:-20} s"
    "$fuzzer" -max_total_time="${VEXO_FUZZ_SECONDS:-20}" -rss_limit_mb=2048 -print_final_stats=1 \
      "build-fuzz/found-$name" "${seeds[@]}" 2>&1 | tail -n 3
  done
fi
