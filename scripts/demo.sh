#!/usr/bin/env bash
# Sets up, builds and shows the updater at work on a sample installation.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

build=build-demo
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target norvane_update_bin

demo=$(mktemp -d /tmp/norvane-demo.XXXXXX)
install="$demo/installation"
mkdir -p "$install"
echo "Sample installation: $install"
set +e
"$build/norvane_update_bin" 1.0 "$install" 999999999
status=$?
set -e
echo "Exit status: $status"
echo "---- $install/norvane_update.log ----"
cat "$install/norvane_update.log"
echo "---- files in the installation ----"
ls -l "$install"
