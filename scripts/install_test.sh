#!/usr/bin/env bash
# The install test: builds the Debian package (scripts/package.sh), installs
# it with apt-get, runs the installed ostrel-host on a shared capture with the
# installed plug-in and the installed classifier, each by its installed
# default paths, checks that devices come out labelled and that the device
# cache lands in /var/lib/ostrel, verifies the installed systemd units, then
# purges the package and checks that nothing of it is left. Needs root (it
# installs a package); skipped otherwise.
#   scripts/install_test.sh [CAPTURE]    default ../shared/testdata/captures/1kxun.pcap
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "$(id -u)" -ne 0 ]; then
  echo "install test skipped: it installs and purges a Debian package, so it needs root"
  exit 0
fi
capture=$(realpath "${1:-../shared/testdata/captures/1kxun.pcap}")
package=ostrel-proc-dev-discovery
port=8787 # where the installed configuration looks for the classifier
work=$(mktemp -d)
classifier_pid=""
fail() {
  echo "install test FAILED: $*" >&2
  for log in "$work"/*.log; do
    [ -f "$log" ] && { echo "--- $log" >&2; tail -n 15 "$log" >&2; }
  done
  exit 1
}
cleanup() {
  if [ -n "$classifier_pid" ] && kill -0 "$classifier_pid" 2>/dev/null; then
    kill "$classifier_pid" && wait "$classifier_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

if dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed"; then
  echo "=== $package is installed already: purging it first"
  DEBIAN_FRONTEND=noninteractive apt-get purge -y "$package" >/dev/null
fi
[ ! -e /var/lib/ostrel ] || fail "/var/lib/ostrel exists before the package is installed"

echo "=== package"
deb=$(scripts/package.sh | tail -n 1)
[ -f "$deb" ] || fail "scripts/package.sh made no package"
echo "=== install $deb"
DEBIAN_FRONTEND=noninteractive apt-get install -y "$(realpath "$deb")" >"$work/apt.log" 2>&1 || fail "apt-get install"
files=$(dpkg-query -L "$package")

echo "=== --version and the man pages"
for program in ostrel-host ostrel-classifier; do
  [ "$(command -v "$program")" = "/usr/bin/$program" ] || fail "$program is not /usr/bin/$program"
  "$program" --version | grep -qx "$program [0-9][0-9.]*" || fail "$program --version"
  page=/usr/share/man/man1/$program.1.gz
  # Every option --help shows is in the page made from it.
  help=$("$program" --help) || fail "$program --help"
  for option in $(grep -o -- '--[a-z][a-z-]*' <<<"$help" | sort -u); do
    zcat "$page" | sed 's/\\-/-/g' | grep -qF -- "$option" || fail "$page lacks $option"
  done
done
[ -f /usr/share/man/man5/ostrel-dev-discovery.json.5.gz ] || fail "no man page for the plug-in configuration"
dpkg-query -W -f='${Conffiles}\n' "$package" | grep -q /etc/ostrel/ostrel-host.json || fail "configuration not a conffile"

echo "=== the installed classifier on 127.0.0.1:$port, its default rules"
cd "$work" # nothing may come from the source or build tree
ostrel-classifier --port "$port" >classifier.out 2>classifier.log &
classifier_pid=$!
for _ in $(seq 100); do
  grep -q "listening on" classifier.out 2>/dev/null && break
  kill -0 "$classifier_pid" 2>/dev/null || fail "the classifier did not start"
  sleep 0.1
done
grep -q "from /usr/share/$package/rules/classifier-rules.json" classifier.out || fail "classifier rules: $(cat classifier.out)"

echo "=== the installed host on $capture"
# Only pace and exit are given: the configuration, plug-in, and state folder
# are the installed defaults.
ostrel-host --pcap "$capture" --speed 0 --exit-after-input 4 --update-interval 1 >host.out 2>host.log ||
  fail "ostrel-host exited with $?"
grep -q "from /usr/lib/.*/ostreld/plugins/lib$package.so" host.log || fail "not the installed plug-in"
grep -q "^$package [0-9.]* loaded" host.out host.log || fail "the plug-in did not log its version"
labelled=$(awk 'NR > 1 && $2 != "" && $2 != "-"' host.out | wc -l)
[ "$labelled" -gt 0 ] || fail "no labelled device on stdout"
[ -s /var/lib/ostrel/dev-discovery-cache.json ] || fail "no device cache in /var/lib/ostrel"
echo "   $labelled devices labelled; cache: $(stat -c %s /var/lib/ostrel/dev-discovery-cache.json) bytes in /var/lib/ostrel"
kill "$classifier_pid" && wait "$classifier_pid" 2>/dev/null || true
classifier_pid=""

echo "=== systemd units"
systemd-analyze verify /lib/systemd/system/ostrel-classifier.service /lib/systemd/system/ostrel-host@lo.service \
  >verify.log 2>&1 || fail "systemd-analyze verify: $(cat verify.log)"
[ ! -s verify.log ] || fail "systemd-analyze verify: $(cat verify.log)"
for unit in ostrel-classifier.service ostrel-host@lo.service; do
  systemd-analyze security --offline=yes "/lib/systemd/system/$unit" 2>/dev/null | grep "Overall exposure" |
    sed 's/^→ /   /'
done

echo "=== purge"
cd /
DEBIAN_FRONTEND=noninteractive apt-get purge -y "$package" >"$work/apt.log" 2>&1 || fail "apt-get purge"
! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "installed" || fail "still known to dpkg"
# Shared folders such as /usr/bin stay; nothing of ours may.
while read -r path; do
  case "$path" in /etc/ostrel*|/usr/lib/*/ostreld*|/usr/share/$package*|/usr/share/doc/$package*|*ostrel*) ;; *) continue ;; esac
  [ ! -e "$path" ] || fail "left after purge: $path"
done <<<"$files"
for path in /etc/ostrel /var/lib/ostrel /var/lib/private/ostrel; do
  [ ! -e "$path" ] || fail "left after purge: $path"
done
echo "install test passed"
