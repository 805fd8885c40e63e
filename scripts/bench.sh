#!/usr/bin/env bash
# Builds the benchmarks (release, no sanitizers) and runs them: every figure
# in docs/PERFORMANCE.md comes from this one command.
#   scripts/bench.sh               the code as it is
#   scripts/bench.sh --baseline    the same suite on the whole tree at the commit
#                                  before the speed work (021ffb3, or the ref in
#                                  OSTREL_BENCH_BASELINE), in build/bench-baseline/
# Further arguments go to the benchmark binary, e.g. --benchmark_filter=Cache.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh --check

if [ "${1:-}" = "--baseline" ]; then
  shift
  # The whole tree at the commit before the speed work, built with today's
  # bench preset. Extracted again only when the ref names another commit.
  ref="${OSTREL_BENCH_BASELINE:-021ffb3}"
  commit=$(git rev-parse --verify "$ref^{commit}")
  src=build/bench-baseline/src
  if [ "$(cat build/bench-baseline/commit 2>/dev/null)" != "$commit" ]; then
    rm -rf "$src" build/bench-baseline/build build/bench-baseline/commit && mkdir -p "$src"
    git archive "$commit" | tar -x -C "$src"
    echo "$commit" >build/bench-baseline/commit
  fi
  cp CMakePresets.json "$src/CMakePresets.json"
  echo "=== baseline: $ref ($commit)"
  (cd "$src" && cmake --preset bench -B ../build >/dev/null)
  cmake --build build/bench-baseline/build --target ostrel_bench
  binary=build/bench-baseline/build/bench/ostrel_bench
  results=build/bench-baseline/results.json
else
  cmake --preset bench >/dev/null
  cmake --build --preset bench --target ostrel_bench
  binary=build/bench/bench/ostrel_bench
  results=build/bench/results.json
fi

# The packet-path benchmarks read the throughput captures, repeated.
export OSTREL_THROUGHPUT_CAPTURE="${OSTREL_THROUGHPUT_CAPTURE:-build/throughput.pcap}"
if [ ! -f "$OSTREL_THROUGHPUT_CAPTURE" ]; then
  mkdir -p "$(dirname "$OSTREL_THROUGHPUT_CAPTURE")"
  python3 bench/make_throughput_capture.py "$OSTREL_THROUGHPUT_CAPTURE"
fi

echo "=== machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')," \
  "$(free -m | awk '/^Mem:/ {print $2}') MiB memory"
echo "=== load average before the run: $(cut -d' ' -f1-3 /proc/loadavg)"
"$binary" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
  --benchmark_out="$results" --benchmark_out_format=json "$@"
echo "=== load average after the run: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "=== all figures: $results"
