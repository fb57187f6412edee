#!/usr/bin/env bash
# Sets up, builds and runs the whole test suite:
#   1. AddressSanitizer + UndefinedBehaviorSanitizer build of the unit tests
#   2. libFuzzer targets, each for a bounded time
#   3. the Windows build and its tests under Wine
#   4. the native build: unit tests and the end-to-end suites (PulseAudio, network namespaces)
# Each stage stops the run on its first failure. Set BRINDLE_SKIP_WINDOWS=1 or
# BRINDLE_SKIP_FUZZ=1 to leave a stage out locally.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=$(nproc)
fuzz_seconds=${BRINDLE_FUZZ_SECONDS:-30}

bash scripts/setup.sh

stage() { printf '\n==== %s ====\n' "$*"; }

stage "sanitizer build (ASan + UBSan): unit tests"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DBRINDLE_SANITIZE=ON -DBRINDLE_E2E=OFF
cmake --build build-asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan --output-on-failure -L unit

if [ "${BRINDLE_SKIP_FUZZ:-0}" != 1 ]; then
  stage "fuzzers (${fuzz_seconds} s each)"
  CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DBRINDLE_FUZZ=ON -DBRINDLE_BUILD_TESTS=OFF
  cmake --build build-fuzz -j"$jobs"
  for fuzzer in build-fuzz/fuzz/*/*_fuzz; do
    [ -x "$fuzzer" ] || continue
    corpus=$(mktemp -d)
    echo "running $(basename "$fuzzer")"
    "$fuzzer" -max_total_time="$fuzz_seconds" -max_len=2048 -print_final_stats=1 "$corpus" 2>&1 | tail -n 12
    rm -rf "$corpus"
  done
fi

if [ "${BRINDLE_SKIP_WINDOWS:-0}" != 1 ]; then
  stage "Windows build (MinGW-w64) and its tests under Wine"
  cmake -S . -B build-win -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake"
  cmake --build build-win -j"$jobs"
  # A throwaway Wine prefix, so no state of an earlier run (or of ~/.wine) leaks in.
  wine_prefix=$(mktemp -d)
  WINEPREFIX=$wine_prefix WINEDEBUG=-all ctest --test-dir build-win --output-on-failure
  rm -rf "$wine_prefix"
fi

stage "native build: unit and end-to-end tests"
bash scripts/build.sh
ctest --test-dir build --output-on-failure
