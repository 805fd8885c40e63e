#!/usr/bin/env bash
# The whole process against tshark on the same capture: ostrel-host reading the
# file as fast as it can with the device-discovery plug-in loaded, from start
# until every flow is dispatched and the plug-in's queue is empty, and tshark
# printing the same attributes. Runs both in turn, several times, and prints
# each time, the medians and the ratio of packet rates.
#   scripts/bench_capture.sh [ROUNDS]
# tshark is not among the usual packages: scripts/deps.sh tshark installs it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh --check tshark
rounds="${1:-5}"

cmake --preset bench >/dev/null
cmake --build --preset bench --target ostrel-host ostrel-proc-dev-discovery >/dev/null
host=build/bench/daemon/ostrel-host
input="${OSTREL_THROUGHPUT_CAPTURE:-build/throughput.pcap}"
[ -f "$input" ] || python3 bench/make_throughput_capture.py "$input"
packets=$(python3 -c "
import struct,sys
d=open(sys.argv[1],'rb').read(); p=24; n=0
while p+16<=len(d): n+=1; p+=16+struct.unpack('<I',d[p+8:p+12])[0]
print(n)" "$input")

state=$(mktemp -d)
trap 'rm -rf "$state"' EXIT
# No cloud, no cache: the plug-in learns the devices and nothing else.
cat >"$state/plugin.json" <<JSON
{"ostrel_api": {"enable": false}, "path_device_cache": "$state/cache.json"}
JSON
echo '{"plugins": []}' >"$state/host.json"

seconds() { # command... -> elapsed seconds on stdout
  local start end
  start=$(date +%s.%N)
  "$@" >/dev/null 2>&1
  end=$(date +%s.%N)
  awk -v a="$start" -v b="$end" 'BEGIN {printf "%.6f\n", b - a}'
}
run_host() {
  rm -f "$state/cache.json"
  "$host" --config "$state/host.json" --conf "$state/plugin.json" --pcap "$input" --speed 0 \
    --update-interval 3600 --exit-after-input 0
}
run_tshark() {
  tshark -n -r "$input" -T fields -e dhcp.option.request_list_item -e dhcp.option.vendor_class_id \
    -e dhcp.option.hostname -e http.user_agent -e dns.ptr.domain_name
}

echo "=== input: $input, $packets packets, $(stat -c %s "$input") bytes"
echo "=== machine: $(nproc) cores; load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
host_times=()
tshark_times=()
for round in $(seq "$rounds"); do
  h=$(seconds run_host)
  t=$(seconds run_tshark)
  host_times+=("$h")
  tshark_times+=("$t")
  printf 'round %d: ostrel-host %.3f s, tshark %.3f s\n' "$round" "$h" "$t"
done
median() { printf '%s\n' "$@" | sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
h=$(median "${host_times[@]}")
t=$(median "${tshark_times[@]}")
awk -v h="$h" -v t="$t" -v n="$packets" 'BEGIN {
  printf "median: ostrel-host %.3f s (%.0f packets/s), tshark %.3f s (%.0f packets/s); ostrel-host is %.1f times as fast\n",
    h, n / h, t, n / t, t / h }'
echo "=== load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
