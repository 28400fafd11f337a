#!/usr/bin/env bash
# The line-rate benchmark, in one command: builds chipfeed, chipsim and the
# driver (Release with debug info, as installed), then runs chipfeed against
# the simulated chip for images of 0, 2,048 and 8,193 longs in modes 1 and 3,
# output to a file and to a pseudo-terminal, with and without line-rate
# pacing, and prints wall time, the physical floor, their ratio, CPU time and
# peak resident memory of each. Takes about two and a half minutes.
#
#   bench/run.sh                      the whole table, median of 3 runs each
#   bench/run.sh --repeat 1 --pace off --longs 0     a quick smoke run
#   bench/run.sh --check              also exit 1 when a target is missed
#
# Options are those of the driver (bench/run.sh --help). The build goes to
# build/bench, or to $CHIPFEED_BENCH_BUILD.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh build >&2
build=${CHIPFEED_BENCH_BUILD:-build/bench}
mkdir -p "$build"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >"$build/bench-configure.log" 2>&1 ||
  { cat "$build/bench-configure.log"; exit 1; }
cmake --build "$build" -j"$(nproc)" --target chipfeed chipsim chipbench >"$build/bench-build.log" 2>&1 ||
  { tail -50 "$build/bench-build.log"; exit 1; }
exec "$build/bench/chipbench" --chipfeed "$build/chipfeed" --chipsim "$build/sim/chipsim" "$@"
