#!/usr/bin/env bash
# Builds chipfeed and runs every test: the warning-clean build with its unit,
# end-to-end and GPIO tests; the same suite under the address and
# undefined-behaviour sanitizers; the Windows build under wine; the fuzzers;
# valgrind; and the Debian package. Installs what it needs where missing.
#
#   scripts/test.sh            everything
#   scripts/test.sh quick      only the warning-clean build and its tests
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=$(nproc)

scripts/deps.sh build windows fuzz tools || { echo "dependency installation failed"; exit 1; }

passed=0
failed=0
failures=()
stage() {  # stage NAME COMMAND...
  local name=$1; shift
  echo
  echo "======== $name"
  local start=$SECONDS
  if "$@"; then
    passed=$((passed + 1))
    echo "======== $name: ok ($((SECONDS - start)) s)"
  else
    failed=$((failed + 1))
    failures+=("$name")
    echo "======== $name: FAILED ($((SECONDS - start)) s)"
  fi
}

build_and_test() {  # build_and_test DIR CMAKE-ARGS...
  local dir=$1; shift
  mkdir -p "$dir"
  if ! { cmake -S "$root" -B "$dir" -DCHIPFEED_WERROR=ON "$@" && cmake --build "$dir" -j"$jobs"; } \
      >"$dir/build.log" 2>&1; then
    grep -E 'error|warning|Error' "$dir/build.log" | head -50
    echo "build failed: see $dir/build.log"
    return 1
  fi
  ctest --test-dir "$dir" -j"$jobs" --output-on-failure --timeout 300
}

stage "build and test (warnings are errors)" build_and_test build/ci -DCMAKE_BUILD_TYPE=RelWithDebInfo

if [ "${1:-}" != quick ]; then
  stage "build and test under address and undefined-behaviour sanitizers" \
    build_and_test build/sanitize -DCMAKE_BUILD_TYPE=Debug -DCHIPFEED_SANITIZE=ON
  for extra in windows-tests.sh fuzz.sh valgrind-e2e.sh deb-test.sh; do
    [ -x "scripts/$extra" ] && stage "$extra" "scripts/$extra" build/ci
  done
fi

echo
[ ${#failures[@]} -gt 0 ] && printf 'failed stage: %s\n' "${failures[@]}"
echo "stages: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
