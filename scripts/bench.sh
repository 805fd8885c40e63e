#!/usr/bin/env bash
# Builds the benchmarks (release, no sanitizers) and runs them: every figure
# in docs/PERFORMANCE.md comes from this one command. Extra arguments go to the
# benchmark binary, e.g. --benchmark_filter=Cache or --benchmark_repetitions=3.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh

cmake --preset bench >/dev/null
cmake --build --preset bench --target ostrel_bench

echo "=== machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')," \
  "$(free -m | awk '/^Mem:/ {print $2}') MiB memory"
echo "=== load average before the run: $(cut -d' ' -f1-3 /proc/loadavg)"
build/bench/bench/ostrel_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
  --benchmark_out=build/bench/results.json --benchmark_out_format=json "$@"
echo "=== load average after the run: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "=== all figures: build/bench/results.json"
