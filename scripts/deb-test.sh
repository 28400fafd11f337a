#!/usr/bin/env bash
# The Debian package, end to end: builds the .deb with cpack from a build
# directory, installs it with dpkg -i, runs the installed programs, renders
# the installed manual page, and removes the package again.
#
#   scripts/deb-test.sh [BUILD-DIR]      (default: build/ci)
#
# Needs root (or sudo) for dpkg. Installs man-db and groff-base where missing.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/ci}

fail() { echo "deb-test: FAIL: $*" >&2; exit 1; }
step() { echo "-- [${SECONDS}s] $*"; }

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null 2>&1 || fail "dpkg needs root, and sudo is missing"
  SUDO="sudo"
fi

missing=()
command -v dpkg-deb >/dev/null 2>&1 || missing+=(dpkg)
command -v man >/dev/null 2>&1 || missing+=(man-db)
command -v groff >/dev/null 2>&1 || missing+=(groff-base)
if [ ${#missing[@]} -gt 0 ]; then
  step "installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

[ -f "$build/CMakeCache.txt" ] || fail "$build is not a configured build directory"
build=$(cd "$build" && pwd)
step "building in $build"
cmake --build "$build" -j"$(nproc)" >/dev/null
has_chipsim=0
[ -x "$build/sim/chipsim" ] && has_chipsim=1

work=$(mktemp -d)
installed=0
cleanup() {
  if [ "$installed" = 1 ]; then $SUDO dpkg -r chipfeed >/dev/null 2>&1 || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

step "cpack -G DEB"
(cd "$build" && cpack -G DEB -B "$work/pkg" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; fail "cpack failed"; }
debs=("$work"/pkg/chipfeed_*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "expected one chipfeed_*.deb, found: ${debs[*]}"
deb=${debs[0]}
echo "   $(basename "$deb") ($(stat -c %s "$deb") bytes)"

step "package metadata and contents"
[ "$(dpkg-deb -f "$deb" Package)" = chipfeed ] || fail "package name is not chipfeed"
for field in Version Maintainer Description Section Architecture Depends; do
  [ -n "$(dpkg-deb -f "$deb" "$field")" ] || fail "control field $field is empty"
done
dpkg-deb -f "$deb" Depends | grep -q libc6 || fail "Depends does not name libc6: $(dpkg-deb -f "$deb" Depends)"
dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./|/|' >"$work/contents"
expect_files=(/usr/bin/chipfeed /usr/share/man/man1/chipfeed.1.gz /usr/share/doc/chipfeed/README.md)
if [ "$has_chipsim" = 1 ]; then expect_files+=(/usr/bin/chipsim /usr/share/man/man1/chipsim.1.gz); fi
for f in "${expect_files[@]}"; do
  grep -qx "$f" "$work/contents" || { cat "$work/contents"; fail "$f is not in the package"; }
done

if dpkg -s chipfeed >/dev/null 2>&1; then
  echo "   note: a chipfeed package was already installed; it is replaced and then removed"
fi
step "dpkg -i"
$SUDO dpkg -i "$deb" >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "dpkg -i failed"; }
installed=1
dpkg -s chipfeed | grep -q '^Status: install ok installed' || fail "dpkg does not list chipfeed as installed"

step "/usr/bin/chipfeed with no arguments"
expected=$(printf '%s\n' "Test Reset Pin 10" \
  "$(printf ' call chipfeed -d /dev/ttyS0 -p1 test.binary\n\r or in Windows\n\r chipfeed -d COM1 -p1 test.binary\n\r -p1 = loading RAM\n\r -p2 = loading EEPROM\n\r -p3 = loading RAM and EEPROM and start ? \n\r -r gpio186 = use GPIO Port 186 instead of the DTR pin')" \
  "No valid command line" | od -An -c)
set +e
/usr/bin/chipfeed >"$work/usage.out" 2>"$work/usage.err"
status=$?
set -e
[ "$status" -eq 0 ] || fail "chipfeed with no arguments exited with $status, not 0"
[ ! -s "$work/usage.err" ] || fail "chipfeed wrote to standard error: $(cat "$work/usage.err")"
actual=$(od -An -c "$work/usage.out")
[ "$actual" = "$expected" ] || { cat -A "$work/usage.out"; fail "the usage text differs"; }

if [ "$has_chipsim" = 1 ]; then
  step "installed chipfeed against installed chipsim"
  [ -x /usr/bin/chipsim ] || fail "/usr/bin/chipsim is missing"
  /usr/bin/chipsim --make-image 3 "$work/three.bin"
  set +e
  (cd "$work" && /usr/bin/chipsim -- /usr/bin/chipfeed -d '{port}' -p1 three.bin >"$work/load.out" 2>"$work/load.err")
  status=$?
  set -e
  [ "$status" -eq 0 ] || { cat "$work/load.out" "$work/load.err"; fail "a download through the installed programs exited with $status"; }
  grep -qx 'Hardware version 1 found on .*\.' "$work/load.out" || fail "no version line in the download's output"
  [ "$(tail -n 1 "$work/load.out")" = "Verifying RAM" ] || fail "the download's output does not end with Verifying RAM"
fi

step "man chipfeed"
[ "$(man -w chipfeed)" = /usr/share/man/man1/chipfeed.1.gz ] || fail "man finds $(man -w chipfeed 2>&1), not the installed page"
MANPAGER=cat MANWIDTH=80 LC_ALL=C.UTF-8 man --warnings chipfeed </dev/null >"$work/man.out" 2>"$work/man.err" ||
  { cat "$work/man.err"; fail "man chipfeed failed"; }
[ ! -s "$work/man.err" ] || { cat "$work/man.err"; fail "the manual page renders with warnings"; }
for heading in NAME SYNOPSIS DESCRIPTION OPTIONS OUTPUT "EXIT STATUS" "WIRING AND RESET" FILES EXAMPLES "SEE ALSO"; do
  grep -qx "$heading" "$work/man.out" || fail "the rendered page has no $heading section"
done
grep -q 'chipfeed -d port \[-p1|-p2|-p3\] \[-r pin\] image' "$work/man.out" || fail "the synopsis did not render"
grep -qE '^ +217 ' "$work/man.out" || fail "exit status 217 is not described"

if [ "$has_chipsim" = 1 ]; then
  MANPAGER=cat MANWIDTH=80 LC_ALL=C.UTF-8 man --warnings chipsim </dev/null >"$work/man.out" 2>"$work/man.err" ||
    { cat "$work/man.err"; fail "man chipsim failed"; }
  [ ! -s "$work/man.err" ] || { cat "$work/man.err"; fail "chipsim(1) renders with warnings"; }
  grep -q 'chipsim --make-image n file' "$work/man.out" || fail "chipsim(1) did not render its synopsis"
fi

step "dpkg -r"
$SUDO dpkg -r chipfeed >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "dpkg -r failed"; }
installed=0
[ ! -e /usr/bin/chipfeed ] || fail "/usr/bin/chipfeed is still there after dpkg -r"
[ ! -e /usr/share/man/man1/chipfeed.1.gz ] || fail "the manual page is still there after dpkg -r"

echo "deb-test: ok"
