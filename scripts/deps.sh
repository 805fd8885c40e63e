#!/usr/bin/env bash
# Installs the Debian packages the build, tests and demo need, when missing.
set -euo pipefail

packages=(cmake ninja-build g++ clang-14 clang-format-14 libclang-rt-14-dev nlohmann-json3-dev libcurl4-openssl-dev
  libcpp-httplib-dev zlib1g-dev libgtest-dev libgmock-dev libbenchmark-dev libpcap-dev libssl-dev pkg-config ca-certificates
  iproute2 ieee-data)

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  $sudo_cmd apt-get update
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y --no-install-recommends "${missing[@]}"
fi
