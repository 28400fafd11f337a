#!/usr/bin/env bash
# The demo: builds chipfeed and the simulated chip, makes a sample image of
# 2,048 longs, and loads it into the simulated chip's RAM (mode 1) exactly as
# it would go to a real chip on /dev/ttyUSB0.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh build

build=build/demo
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target chipfeed chipsim >/dev/null

image="$build/sample.bin"
"$build/sim/chipsim" --make-image 2048 "$image"

echo "== chipsim -- chipfeed -d {port} -p1 $image"
set +e
"$build/sim/chipsim" -- "$build/chipfeed" -d '{port}' -p1 "$image"
status=$?
set -e
echo "== chipfeed exit status: $status"
exit "$status"
