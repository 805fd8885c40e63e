#!/usr/bin/env bash
# Builds the Debian package from this tree: the release preset's build
# (build/release, shared with the demo), installed under /usr (configuration
# under /etc), then CPack's DEB generator, then lintian on the result when it
# is there.
#   scripts/package.sh        prints the package's path on its last line
# OSTREL_PACKAGE_PRESET=dev packages an existing dev build instead (the full
# test run does, so that it builds the tree once less).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh --check

preset=${OSTREL_PACKAGE_PRESET:-release}
build=build/$preset
cmake --preset "$preset" -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
cmake --build --preset "$preset" -j "$(nproc)" >/dev/null
rm -f "$build"/*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/*.deb)
if command -v lintian >/dev/null; then
  # Errors fail the build; warnings are listed (docs/HOST.md says which stay).
  lintian --fail-on error "$deb"
else
  echo "lintian not installed: package not checked" >&2
fi
echo "$deb"
