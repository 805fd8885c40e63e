#!/usr/bin/env bash
# The end-to-end demo: builds the release preset, starts the local
# classification service on a free loopback port, and runs real traffic
# through ostrel-host with the device-discovery plug-in. Shows each device as
# the plug-in hands it to the sink, then where the device cache went.
#
#   scripts/demo.sh                  a real capture: an office LAN of 36 MACs
#                                    (../shared/testdata/captures/1kxun.pcap)
#   scripts/demo.sh --capture FILE   another pcap or pcapng file
#   scripts/demo.sh --flows          the hand-written home network,
#                                    examples/home-network.jsonl
#
# State stays in build/demo-state/ (flows) or build/demo-capture-state/
# (captures), so a second run starts from the cache.
set -euo pipefail
cd "$(dirname "$0")/.."

mode=capture
capture=../shared/testdata/captures/1kxun.pcap
case "${1:-}" in
  "") ;;
  --flows) mode=flows ;;
  --capture)
    [ $# -ge 2 ] || { echo "usage: scripts/demo.sh [--flows | --capture FILE]" >&2; exit 2; }
    capture=$2 ;;
  *) echo "usage: scripts/demo.sh [--flows | --capture FILE]" >&2; exit 2 ;;
esac
if [ "$mode" = capture ] && [ ! -r "$capture" ]; then
  echo "cannot read the capture $capture; try scripts/demo.sh --flows" >&2
  exit 1
fi
scripts/deps.sh --check

echo "== building (release preset)"
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" >/dev/null

build=build/release
state=build/demo-state
[ "$mode" = capture ] && state=build/demo-capture-state
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
"$build/classifier/ostrel-classifier" --port 0 --token "$token" --rules examples/classifier-rules.json \
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

status=0
if [ "$mode" = flows ]; then
  echo "== replaying examples/home-network.jsonl (one minute of flows at 10x speed)"
  echo
  "$build/daemon/ostrel-host" --config examples/ostrel-host.json --var "path_state=$state" \
    --var "classifier_port=$port" --var "classifier_token=$token" --input examples/home-network.jsonl --speed 10 \
    --exit-after-input 4 --debug 2>"$state/host.log" || status=$?
else
  # A real network's devices rarely reach the hand-written demo's confidence:
  # every device the service recognises at all goes to the table here.
  cat >"$state/dev-discovery.json" <<JSON
{
  "max_confidence": 10,
  "path_device_cache": "\${path_state}/dev-discovery-cache.json",
  "ostrel_api": {"enable": true},
  "sinks": {"sink-log": {"devices": {"format": "json", "flush": true},
                         "archive": {"format": "json", "compressor": "gz", "flush": true}}}
}
JSON
  echo "== reading $capture as fast as it goes, the packet path making the flows"
  echo
  "$build/daemon/ostrel-host" --config examples/ostrel-host.json --conf "$state/dev-discovery.json" \
    --var "path_state=$state" --var "classifier_port=$port" --var "classifier_token=$token" \
    --pcap "$capture" --speed 0 --dump-flows "$state/flows.jsonl" --exit-after-input 4 --debug \
    2>"$state/host.log" || status=$?
fi
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
if [ "$mode" = capture ]; then
  grep -o 'input done: .*; sinks' "$state/host.log" | sed 's/^input done: /== /; s/; sinks$//' || true
  echo "== the flows the plug-in saw, replayable with --input: $state/flows.jsonl"
fi
echo "== why: the evidence behind each label, as the classification service logged it (last answer per device)"
grep -E '^ostrel-classifier: [0-9a-f:]{17}: ' "$state/classifier.log" | grep -v '<NO LABEL>' \
  | sed 's/^ostrel-classifier: /   /' | tac | sort -u -s -k1,1 || true
echo "== logs: $state/host.log, $state/classifier.log; every sink payload, gzip: $state/sink-archive.jsonl.gz"
