#!/usr/bin/env bash
# Builds the benchmarks (release, no sanitizers) and runs them: every figure
# in docs/PERFORMANCE.md comes from this one command.
#   scripts/bench.sh               the code as it is
#   scripts/bench.sh --baseline    the same suite on the code before the speed
#                                  work (deque value sets, whole-table cache JSON)
# Further arguments go to the benchmark binary, e.g. --benchmark_filter=Cache.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh --check

if [ "${1:-}" = "--baseline" ]; then
  shift
  # Today's tree with the three files the speed work changed, as they were.
  src=build/bench-baseline/src
  rm -rf "$src" && mkdir -p "$src"
  git archive HEAD | tar -x -C "$src"
  git show 51108cc^:device/unique_set.h >"$src/device/unique_set.h"
  git show 51108cc^:device/unique_set.cpp >"$src/device/unique_set.cpp"
  git show 5be3cf3^:report/device_cache.cpp >"$src/report/device_cache.cpp"
  cmake -S "$src" -B build/bench-baseline/build -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER=g++ \
    -DOSTREL_BUILD_TESTS=OFF -DOSTREL_BUILD_BENCH=ON >/dev/null
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
