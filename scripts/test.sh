#!/usr/bin/env bash
# Checks the formatting, builds and runs every test: plain (g++), ASan+UBSan
# (g++) and TSan (clang 14), then fuzzes each target for OSTREL_FUZZ_SECONDS
# (30) with libFuzzer.
# Any failure or sanitizer finding fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh

jobs=$(nproc)
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"

# Unformatted code fails the run before anything is built.
scripts/format.sh --check

for preset in ${OSTREL_TEST_PRESETS:-dev asan tsan fuzz}; do
  if [ "$preset" = fuzz ]; then
    # libFuzzer (clang, ASan+UBSan): every target for a short, bounded time.
    scripts/fuzz.sh all "${OSTREL_FUZZ_SECONDS:-30}"
    continue
  fi
  echo "=== $preset: build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  echo "=== $preset: test"
  ctest --test-dir "build/$preset" -j "$jobs" --output-on-failure
done
