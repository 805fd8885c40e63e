#!/usr/bin/env bash
# The end-to-end demo: builds the release preset, starts the local
# classification service on a free loopback port, and replays a recorded home
# network through ostrel-host with the device-discovery plug-in. Shows each
# device as the plug-in hands it to the sink, then where the device cache went.
# State stays in build/demo-state/, so a second run starts from the cache.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh

echo "== building (release preset)"
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" >/dev/null

bin=build/release/tools
state=build/demo-state
cache="$state/dev-discovery-cache.json"
token=demo-token
mkdir -p "$state"

classifier_pid=""
cleanup() {
  if [ -n "$classifier_pid" ] && kill -0 "$classifier_pid" 2>/dev/null; then
    kill "$classifier_pid" 2>/dev/null || true
    wait "$classifier_pid" 2>/dev/null || true
  fi
}
trap cleanup EXIT

echo "== starting the local classification service"
"$bin/ostrel-classifier" --port 0 --token "$token" --rules examples/classifier-rules.json \
  >"$state/classifier.out" 2>"$state/classifier.log" &
classifier_pid=$!
port=""
for _ in $(seq 100); do
  port=$(sed -n 's|.*listening on http://127\.0\.0\.1:\([0-9]*\).*|\1|p' "$state/classifier.out")
  [ -n "$port" ] && break
  kill -0 "$classifier_pid" 2>/dev/null || break
  sleep 0.1
done
if [ -z "$port" ]; then
  echo "the classification service did not start:" >&2
  cat "$state/classifier.log" >&2
  exit 1
fi
echo "   listening on 127.0.0.1:$port (rules: examples/classifier-rules.json)"

if [ -f "$cache" ]; then
  echo "== a device cache from an earlier run is there: the plug-in loads it first"
else
  echo "== first run: no device cache yet"
fi

echo "== replaying examples/home-network.jsonl (one minute of flows at 10x speed)"
echo
status=0
"$bin/ostrel-host" --config examples/ostrel-host.json --var "path_state=$state" \
  --var "classifier_port=$port" --var "classifier_token=$token" --input examples/home-network.jsonl --speed 10 \
  --exit-after-input 4 --debug 2>"$state/host.log" || status=$?
echo
if [ "$status" -ne 0 ]; then
  echo "ostrel-host failed with status $status; its log:" >&2
  tail -n 20 "$state/host.log" >&2
  exit "$status"
fi

loaded=$(grep -o 'Loaded [0-9]* devices from: .*' "$state/host.log" | tail -n 1 || true)
saved=$(grep -o 'Saved [0-9]* devices to: .*' "$state/host.log" | tail -n 1 || true)
retired=$(grep -c '^ *[0-9a-f:]*: Confidence: ' "$state/host.log" || true)
[ -n "$loaded" ] && echo "== the plug-in started from its cache: $loaded"
echo "== $retired devices reached the confidence to be retired"
if [ -n "$saved" ]; then
  echo "== device cache written: $saved"
  echo "   (the devices still below the confidence to retire them)"
  [ -n "$loaded" ] || echo "   run the demo again to see the plug-in start from it"
else
  echo "== no device cache written: every device was identified"
fi
echo "== logs: $state/host.log, $state/classifier.log; every sink payload, gzip: $state/sink-archive.jsonl.gz"
