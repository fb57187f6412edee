#!/usr/bin/env bash
# Sets up, builds and runs the whole test suite:
#   1. AddressSanitizer + UndefinedBehaviorSanitizer build of the unit tests
#   2. libFuzzer targets, each for a bounded time
#   3. the native build, then the Windows build and its tests under Wine
#   4. the native unit tests and end-to-end suites (PulseAudio, network namespaces)
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
  cmake --build build-fuzz -j"$jobs" --target fuzzers
  for fuzzer in build-fuzz/fuzz/*/*_fuzz; do
    [ -x "$fuzzer" ] || continue
    corpus=$(mktemp -d)
    echo "running $(basename "$fuzzer")"
    "$fuzzer" -max_total_time="$fuzz_seconds" -max_len=2048 -print_final_stats=1 "$corpus" 2>&1 | tail -n 12
    rm -rf "$corpus"
  done
fi

stage "native build"
bash scripts/build.sh -DBRINDLE_BUILD_TESTS=ON

if [ "${BRINDLE_SKIP_WINDOWS:-0}" != 1 ]; then
  stage "Windows build (MinGW-w64) and its tests under Wine"
  # Builds build-win, checks the .exe needs only system DLLs, then runs ctest in a throwaway Wine
  # prefix; the native brindle-send plays the phone.
  BRINDLE_NATIVE_BUILD_DIR="$root/build" JOBS="$jobs" bash tests/wine/run_wine_suite.sh
fi

# The Debian package as a user gets it (build-deb/): built, judged by lintian, installed with
# dpkg, run and removed. BRINDLE_SKIP_PACKAGE=1 leaves it out.
if [ "${BRINDLE_SKIP_PACKAGE:-0}" != 1 ]; then
  stage "Debian package: build, lintian, dpkg -i, run, dpkg -r"
  JOBS="$jobs" bash tests/package/deb_check.sh
fi

stage "native unit and end-to-end tests"
ctest --test-dir build --output-on-failure
