#!/usr/bin/env bash
# Sets up, builds from scratch and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

build=build-test
rm -rf "$build"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DNORVANE_WERROR=ON
cmake --build "$build"
(cd "$build" && ctest --output-on-failure -j"$(nproc)")

# Fuzzing: each fuzz target for 30 s from its seeds; any failure fails the run.
scripts/fuzz.sh 30 || { echo "scripts/fuzz.sh failed" >&2; exit 1; }
