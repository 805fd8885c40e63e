#!/usr/bin/env bash
# The one place that installs Debian packages: the ones the build, tests, fuzzing,
# benchmarks and demo need, when missing (run as root, or with sudo). The other
# scripts install nothing; they check with --check and stop when one is missing.
#   scripts/deps.sh                     install what is missing (apt-get update first)
#   scripts/deps.sh --check             only say what is missing, and fail if anything is
#   scripts/deps.sh [--check] PACKAGE   the same with further packages (bench_capture.sh: tshark)
set -euo pipefail

check=0
if [ "${1:-}" = "--check" ]; then
  check=1
  shift
fi

packages=(cmake ninja-build g++ clang-14 clang-format-14 libclang-rt-14-dev nlohmann-json3-dev libcurl4-openssl-dev
  libcpp-httplib-dev zlib1g-dev libgtest-dev libgmock-dev libbenchmark-dev libpcap-dev libssl-dev pkg-config ca-certificates
  iproute2 ieee-data help2man libcli11-dev "$@")

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
[ ${#missing[@]} -gt 0 ] || exit 0
if [ "$check" -eq 1 ]; then
  echo "missing packages: ${missing[*]}; run scripts/deps.sh${*:+ $*} (as root) first" >&2
  exit 1
fi
echo "installing: ${missing[*]}"
sudo_cmd=""
[ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
$sudo_cmd apt-get update
DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y --no-install-recommends "${missing[@]}"
