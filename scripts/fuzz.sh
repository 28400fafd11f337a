#!/usr/bin/env bash
# Builds the libFuzzer targets with clang under the address and
# undefined-behaviour sanitizers and runs each for a bounded time, starting
# from its seed corpus in fuzz/corpus/<target>/.
#
#   scripts/fuzz.sh [IGNORED-BUILD-DIR]         30 s per target
#   FUZZ_SECONDS=300 scripts/fuzz.sh            longer runs
#   FUZZ_TARGETS="receive" scripts/fuzz.sh      some targets only
#
# New inputs found along the way go to build/fuzz/corpus/<target>/, never
# into the repository; a crash leaves its input in build/fuzz/ and fails the
# script. The last lines give the executions of each target.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
dir=$root/build/fuzz
seconds=${FUZZ_SECONDS:-30}
targets=${FUZZ_TARGETS:-"cmdline imagefile receive"}
jobs=$(nproc)

command -v clang++ >/dev/null || { echo "fuzz.sh: clang++ is not installed"; exit 1; }
mkdir -p "$dir"
if ! { cmake -S "$root" -B "$dir" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
         -DCHIPFEED_FUZZ=ON -DCHIPFEED_WERROR=ON &&
       cmake --build "$dir" -j"$jobs" --target $(printf 'fuzz_%s ' $targets); } >"$dir/build.log" 2>&1; then
  grep -E 'error|warning|Error' "$dir/build.log" | head -40
  echo "fuzz.sh: build failed, see $dir/build.log"
  exit 1
fi

failed=0
summary=()
for t in $targets; do
  work=$dir/corpus/$t
  mkdir -p "$work"
  log=$dir/fuzz_$t.log
  echo "== fuzz_$t: ${seconds} s"
  # -max_len: the image loader needs room past the buffer's 32,772 bytes; a
  # reply stream needs its 258 handshake bytes and some to spare.
  case $t in
    imagefile) max_len=40000 ;;
    receive) max_len=1024 ;;
    *) max_len=4096 ;;
  esac
  (cd "$dir" && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
     "./fuzz/fuzz_$t" -max_total_time="$seconds" -max_len="$max_len" -timeout=20 -rss_limit_mb=2048 \
     -print_final_stats=1 "$work" "$root/fuzz/corpus/$t") >"$log" 2>&1
  rc=$?
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  cov=$(grep -oE 'cov: [0-9]+' "$log" | tail -1)
  if [ $rc -ne 0 ]; then
    failed=1
    grep -E 'ERROR|SUMMARY|fuzz_[a-z]+:|Test unit written' "$log" | head -20
    summary+=("fuzz_$t: FAILED (exit $rc) after ${execs:-?} executions, see $log")
  else
    summary+=("fuzz_$t: ${execs:-?} executions in ${seconds} s, ${cov:-cov: ?}, no failure")
  fi
done
echo
printf '%s\n' "${summary[@]}"
exit $failed
