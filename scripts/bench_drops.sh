#!/usr/bin/env bash
# The highest packet rate a live capture keeps up with. Replays the throughput
# capture with tcpreplay over a veth pair in a private network namespace, at
# rising rates, with ostrel-host (and the device-discovery plug-in) capturing
# the other end, and reads the kernel's drops from the daemon's summary line.
# Reports the highest rate with no kernel drops, as packets/s and as a ratio
# to what tcpreplay itself reached at full speed in the same run.
#   scripts/bench_drops.sh [SECONDS]     (as root; SECONDS of traffic per rate, default 5)
# tcpreplay is not among the usual packages: scripts/deps.sh tcpreplay installs it.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "$(id -u)" -ne 0 ]; then
  echo "bench_drops.sh: needs root (a network namespace and a veth pair)" >&2
  exit 1
fi
scripts/deps.sh --check tcpreplay
seconds="${1:-5}"

if [ -z "${OSTREL_BENCH_NETNS:-}" ]; then
  cmake --preset bench >/dev/null
  cmake --build --preset bench --target ostrel-host ostrel-proc-dev-discovery >/dev/null
  input="${OSTREL_THROUGHPUT_CAPTURE:-build/throughput.pcap}"
  [ -f "$input" ] || python3 bench/make_throughput_capture.py "$input"
  # The rest runs in a network namespace of its own: its veth pair and
  # whatever goes over it vanish with it.
  exec env OSTREL_BENCH_NETNS=1 OSTREL_THROUGHPUT_CAPTURE="$input" unshare -n "$0" "$@"
fi
host=build/bench/daemon/ostrel-host
input="$OSTREL_THROUGHPUT_CAPTURE"

state=$(mktemp -d)
trap 'rm -rf "$state"' EXIT
cat >"$state/plugin.json" <<JSON
{"ostrel_api": {"enable": false}, "path_device_cache": "$state/cache.json"}
JSON
echo '{"plugins": []}' >"$state/host.json"

ip link set lo up
ip link add ostrel-tx type veth peer name ostrel-rx
# Room for the capture's largest frames.
ip link set ostrel-tx mtu 9000
ip link set ostrel-rx mtu 9000
ip link set ostrel-tx up
ip link set ostrel-rx up

# One round: ostrel-host captures ostrel-rx while tcpreplay sends $seconds
# seconds of the capture at RATE packets/s ("top" for as fast as it goes).
# Prints "RATE REACHED_PPS SENT RECEIVED KERNEL_DROPS INTERFACE_DROPS".
round() {
  local rate="$1" limit pace log
  log="$state/host.log"
  rm -f "$state/cache.json"
  "$host" --config "$state/host.json" --conf "$state/plugin.json" --interface ostrel-rx \
    --update-interval 3600 --progress 3600 2>"$log" &
  local pid=$!
  for _ in $(seq 100); do
    grep -q "capturing live" "$log" && break
    sleep 0.1
  done
  if [ "$rate" = top ]; then
    pace=(--topspeed)
    limit=$((200000 * seconds))
  else
    pace=(--pps="$rate")
    limit=$((rate * seconds))
  fi
  local out
  out=$(tcpreplay --intf1=ostrel-tx "${pace[@]}" --limit="$limit" --loop=0 "$input" 2>&1)
  # Whatever was sent is in the kernel's ring by now or was dropped; give the
  # daemon a moment to read the ring's last frames.
  sleep 1
  kill -INT "$pid"
  wait "$pid" || true
  local reached sent stats
  reached=$(sed -n 's/.*Rated:.* \([0-9.]*\) pps.*/\1/p' <<<"$out" | head -1)
  sent=$(sed -n 's/.*Successful packets: *\([0-9]*\).*/\1/p' <<<"$out" | head -1)
  stats=$(sed -n 's/.*capture: \([0-9]*\) packets received by filter, \([0-9]*\) dropped by kernel, \([0-9]*\) dropped by interface.*/\1 \2 \3/p' "$log" | tail -1)
  echo "$rate ${reached:-0} ${sent:-0} ${stats:-0 0 0}"
}

echo "=== input: $input; $seconds s of traffic per rate"
echo "=== machine: $(nproc) cores; load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
read -r _ top_pps top_sent top_received top_dropped top_ifdropped < <(round top)
printf 'tcpreplay at full speed: %.0f packets/s; %d sent, %d received, %d dropped by kernel, %d by interface\n' \
  "$top_pps" "$top_sent" "$top_received" "$top_dropped" "$top_ifdropped"

# Rates doubling from 5000 until drops start (or tcpreplay cannot keep the
# pace), then halving the gap between the best rate without drops and the
# first with them.
best=0
worst=0
rate=5000
while :; do
  read -r _ pps sent received dropped ifdropped < <(round "$rate")
  printf 'rate %7d: tcpreplay reached %.0f packets/s; %d sent, %d received, %d dropped by kernel, %d by interface\n' \
    "$rate" "$pps" "$sent" "$received" "$dropped" "$ifdropped"
  if [ "$dropped" -eq 0 ]; then
    best=$rate
    best_pps=$pps
  else
    worst=$rate
  fi
  if [ "$worst" -eq 0 ]; then
    # Past what tcpreplay reaches: no higher rate can be asked for.
    awk -v p="$pps" -v r="$rate" 'BEGIN {exit !(p < 0.9 * r)}' && break
    rate=$((rate * 2))
  else
    [ $((worst - best)) -le $((worst / 8)) ] && break
    rate=$(((best + worst) / 2))
  fi
done

if [ "$best" -eq 0 ]; then
  echo "no rate without kernel drops (the lowest tried: 5000 packets/s)"
else
  awk -v b="$best_pps" -v t="$top_pps" 'BEGIN {
    printf "highest rate without kernel drops: %.0f packets/s, %.2f of what tcpreplay reached at full speed (%.0f packets/s)\n",
      b, b / t, t }'
fi
echo "=== load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
