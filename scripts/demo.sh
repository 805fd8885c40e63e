#!/usr/bin/env bash
# Builds the plug-in and the stand-in host, then runs the host with the
# plug-in on the sample configuration for a few passes and shows its log.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh

cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
build/release/tools/ostrel-host --plugin build/release/plugin/libostrel-proc-dev-discovery.so \
  --conf examples/dev-discovery.json --var "path_state=$work" --run-seconds 3 --debug
