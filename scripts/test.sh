#!/usr/bin/env bash
# Checks the formatting, builds and runs every test: plain (g++), ASan+UBSan
# (g++) and TSan (clang 14), then fuzzes each target for OSTREL_FUZZ_SECONDS
# (20) with libFuzzer, then installs the Debian package and checks what is
# installed (scripts/install_test.sh; root only). The sanitizer options are in the test presets
# (CMakePresets.json), so `ctest --preset asan` runs what this runs.
# Any failure or sanitizer finding fails the run. Packages: scripts/deps.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh --check

jobs=$(nproc)

# Where the time goes, said at the end: "STAGE SECONDS" for each stage.
times=()
stage_start=$SECONDS
stage_done() {
  times+=("$1 $((SECONDS - stage_start)) s")
  stage_start=$SECONDS
}
trap 'echo "=== times: ${times[*]/%/,} $SECONDS s in all"' EXIT

# Unformatted code fails the run before anything is built.
scripts/format.sh --check
stage_done format

for preset in ${OSTREL_TEST_PRESETS:-dev asan tsan fuzz install}; do
  if [ "$preset" = install ]; then
    # The package built, installed, run and purged (skipped when not root).
    # From the dev build when this run made one: a release build would double it.
    case " ${OSTREL_TEST_PRESETS:-dev} " in
      *" dev "*) OSTREL_PACKAGE_PRESET=dev scripts/install_test.sh ;;
      *) scripts/install_test.sh ;;
    esac
    stage_done install
    continue
  fi
  if [ "$preset" = fuzz ]; then
    # libFuzzer (clang, ASan+UBSan): every target for a short, bounded time.
    scripts/fuzz.sh all "${OSTREL_FUZZ_SECONDS:-20}"
    stage_done fuzz
    continue
  fi
  echo "=== $preset: build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  stage_done "$preset-build"
  echo "=== $preset: test"
  ctest --preset "$preset" -j "$jobs"
  stage_done "$preset-test"
done
