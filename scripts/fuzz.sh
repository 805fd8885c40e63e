#!/usr/bin/env bash
# Fuzzes with libFuzzer (clang 14, ASan+UBSan) in build/fuzz (the fuzz preset):
#
#   scripts/fuzz.sh TARGET [SECONDS]   one target (default 60 s)
#   scripts/fuzz.sh all [SECONDS]      every target in turn
#   scripts/fuzz.sh list               the targets
#   scripts/fuzz.sh long [FLOWS]       the long replay under ASan+LeakSanitizer
#                                      (default 1000000 flows; build/asan)
#
# Targets read their seeds from fuzz/corpus/<target>/ (and the tokens of
# fuzz/dict/<target>.dict, where there is one) and write new inputs to
# build/fuzz/corpus/<target>/; a crash is saved as build/fuzz/artifacts/<target>-*
# and fails the run. Keep a crashing input as fuzz/corpus/<target>/regress-<what>
# in the commit that fixes it: the replay tests of every build run it from then on.
set -euo pipefail
cd "$(dirname "$0")/.."

targets=(config_reload cache_load api_answer flow_observation flow_line packet)
what=${1:-}

usage() {
  sed -n '2,14p' "$0" | sed 's/^# \{0,1\}//'
  exit 2
}

[ -n "$what" ] || usage
if [ "$what" = list ]; then
  printf '%s\n' "${targets[@]}"
  exit 0
fi

scripts/deps.sh --check

if [ "$what" = long ]; then
  flows=${2:-1000000}
  cmake --preset asan >/dev/null
  cmake --build --preset asan --target reliability_test
  export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
  export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
  OSTREL_LONG_RUN_FLOWS=$flows build/asan/tests/reliability/reliability_test --gtest_filter='LongRun*'
  exit 0
fi

seconds=${2:-60}
case "$what" in
  all) run=("${targets[@]}") ;;
  *)
    run=("$what")
    printf '%s\n' "${targets[@]}" | grep -qx "$what" || { echo "unknown target: $what" >&2; usage; }
    ;;
esac

build=build/fuzz # the fuzz preset's binary dir
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target "${run[@]/#/fuzz_}"

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:allocator_may_return_null=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
mkdir -p "$build/artifacts"
for target in "${run[@]}"; do
  mkdir -p "$build/corpus/$target"
  echo "=== fuzz $target: ${seconds} s"
  # Tokens the target's parser looks for, where there is a list of them.
  dict=()
  [ -f "fuzz/dict/$target.dict" ] && dict=(-dict="fuzz/dict/$target.dict")
  # The folder that comes first gets the new inputs; the checked-in seeds
  # are only read.
  "$build/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=25 -rss_limit_mb=4096 -max_len=131072 \
    -print_final_stats=1 -artifact_prefix="$build/artifacts/$target-" "${dict[@]}" \
    "$build/corpus/$target" "fuzz/corpus/$target" 2>"$build/$target.log" || {
    rm -rf /dev/shm/ostrel-fuzz-* /tmp/ostrel-fuzz-*
    tail -n 60 "$build/$target.log"
    echo "=== fuzz $target: FAILED; the input is in $build/artifacts/" >&2
    exit 1
  }
  grep -E '^(Done|stat::number_of_executed_units|stat::peak_rss_mb)' "$build/$target.log" | tr '\n' ' '
  echo "corpus: $(ls "$build/corpus/$target" | wc -l) new inputs"
done
echo "=== fuzz: ${#run[@]} targets, ${seconds} s each"
echo "fuzz: ${#run[@]} passed, 0 failed"
