#!/usr/bin/env bash
# Checks the formatting, builds and runs every test: plain (g++), ASan+UBSan
# (g++) and TSan (clang 14), then fuzzes each target for OSTREL_FUZZ_SECONDS
# (20) with libFuzzer. The sanitizer options are in the test presets
# (CMakePresets.json), so `ctest --preset asan` runs what this runs.
# Any failure or sanitizer finding fails the run. Packages: scripts/deps.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh --check

jobs=$(nproc)

# Unformatted code fails the run before anything is built.
scripts/format.sh --check

for preset in ${OSTREL_TEST_PRESETS:-dev asan tsan fuzz}; do
  if [ "$preset" = fuzz ]; then
    # libFuzzer (clang, ASan+UBSan): every target for a short, bounded time.
    scripts/fuzz.sh all "${OSTREL_FUZZ_SECONDS:-20}"
    continue
  fi
  echo "=== $preset: build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  echo "=== $preset: test"
  ctest --preset "$preset" -j "$jobs"
done
