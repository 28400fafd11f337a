#!/usr/bin/env bash
# The end-to-end mode-1 run under valgrind: chipfeed loads a 2,048-long image
# into the simulated chip's RAM with memcheck watching every access and every
# allocation. It must end as it does without valgrind (status 0) with no
# memory error and no leak of any kind. A second run takes the failure road
# (the chip refuses the RAM checksum: status 217, the abort and the failure
# report) under the same rules.
#
#   scripts/valgrind-e2e.sh [BUILD-DIR]     default build/ci; built if needed
set -uo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build/ci}
command -v valgrind >/dev/null || { echo "valgrind-e2e.sh: valgrind is not installed"; exit 1; }
if [ ! -x "$dir/chipfeed" ] || [ ! -x "$dir/sim/chipsim" ]; then
  { cmake -S . -B "$dir" && cmake --build "$dir" -j"$(nproc)" --target chipfeed chipsim; } >/dev/null ||
    { echo "valgrind-e2e.sh: build failed"; exit 1; }
fi
feed=$(cd "$dir" && pwd)/chipfeed
sim=$(cd "$dir" && pwd)/sim/chipsim
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$sim" --make-image 2048 "$work/image.bin" || exit 1

failed=0
run() {  # run NAME EXPECTED-STATUS LAST-LINE CHIPSIM-OPTION...
  local name=$1 expected=$2 last=$3
  shift 3
  local log=$work/$name.valgrind
  # chipfeed's standard error apart from chipsim's (which reports contacts).
  timeout 300 "$sim" --record "$work/$name.json" "$@" -- \
    sh -c 'exec "$@" 2>"$0"' "$work/$name.err" \
    valgrind --tool=memcheck --leak-check=full --show-leak-kinds=all \
      --errors-for-leak-kinds=definite,indirect,possible --track-origins=yes \
      --error-exitcode=1 --log-file="$log" \
      "$feed" -d '{port}' -p1 "$work/image.bin" >"$work/$name.out" 2>"$work/$name.sim"
  local status=$?
  local errors leaks reachable
  errors=$(grep -oE 'ERROR SUMMARY: [0-9]+ errors' "$log" | tail -1)
  leaks=$(grep -E 'definitely lost:|indirectly lost:|possibly lost:|still reachable:' "$log" | sed 's/^==[0-9]*== *//' | tr '\n' ';')
  reachable=$(grep -c 'All heap blocks were freed' "$log")
  local problems=()
  [ "$status" -eq "$expected" ] || problems+=("exit status $status, expected $expected")
  [ "$errors" = "ERROR SUMMARY: 0 errors" ] || problems+=("${errors:-no valgrind summary}")
  [ "$reachable" -eq 1 ] || problems+=("heap not all freed: $leaks")
  grep -qxF "$last" <(tail -n 8 "$work/$name.out") || problems+=("no line \"$last\" at the end of the output")
  [ -s "$work/$name.err" ] && problems+=("output on standard error")
  if [ ${#problems[@]} -eq 0 ]; then
    echo "valgrind $name: exit $status, $errors, all heap blocks freed"
  else
    failed=1
    echo "valgrind $name: FAILED: ${problems[*]}"
    grep -E '^==[0-9]+== ' "$log" | head -60
  fi
}

run mode1 0 "Verifying RAM"
run mode1-ram-refused 217 "EAbort : Operation aborted" --fail-ram
exit $failed
