#!/usr/bin/env bash
# Builds chipfeed.exe for 64-bit Windows with MinGW-w64 (preset `windows`)
# and tests it under wine against the simulated chip, together with the
# native tests of the Windows pieces. Installs the cross compiler and wine
# where they are missing; the tests make a private wine prefix inside the
# native build folder on first use (about 15 s, no display needed).
#
#   scripts/windows-tests.sh [NATIVE-BUILD-DIR]      default: build/wintest
#
# CHIPFEED_WINDOWS_BUILD names the cross build folder (default build/windows).
# The native build gets -DCHIPFEED_WINDOWS_EXE=<cross build>/chipfeed.exe,
# which is how the wine tests find the program.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
native=$(realpath -m "${1:-build/wintest}")
cross=$(realpath -m "${CHIPFEED_WINDOWS_BUILD:-build/windows}")
jobs=$(nproc)

scripts/deps.sh build windows

quietly() {  # quietly LOG COMMAND...: the command's output goes to LOG, shown on failure
  local log=$1; shift
  if ! "$@" >"$log" 2>&1; then
    tail -40 "$log"
    echo "failed: $* (log: $log)"
    return 1
  fi
}

mkdir -p "$cross" "$native"
echo "== cross build: $cross/chipfeed.exe"
quietly "$cross/build.log" cmake --preset windows -B "$cross"
quietly "$cross/build.log" cmake --build "$cross" -j"$jobs" --target chipfeed

echo "== native build: $native"
extra=()
[ -f "$native/CMakeCache.txt" ] || extra=(-DCHIPFEED_WERROR=ON)
quietly "$native/windows-build.log" cmake -S "$root" -B "$native" "${extra[@]}" \
  -DCHIPFEED_WINDOWS_EXE="$cross/chipfeed.exe"
quietly "$native/windows-build.log" cmake --build "$native" -j"$jobs" \
  --target chipsim wincommsettings_test wine_e2e_test

echo "== tests (label windows)"
ctest --test-dir "$native" -L windows -j"$jobs" --output-on-failure --timeout 400
