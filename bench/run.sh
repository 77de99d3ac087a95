#!/usr/bin/env bash
# Measures the updater against the tools it stands in for:
#
#   bench/run.sh [--quick] [more options of bench/bench.py]
#
# Installs what it needs (as root), builds in release mode in build-bench,
# puts its data under $NORVANE_BENCH_DIR (default: a fresh directory in /tmp,
# removed at the end), serves it with norvane_test_server on 127.0.0.1 and
# prints Markdown tables (also written to build-bench/bench_results.md).
# The full run takes about 25 minutes on 2 cores and needs about 4 GiB of disk;
# case 7 fetches two releases of a Debian package (65 MB) with apt-get and
# serves them with nginx. --quick uses small sizes and 5 pairs for a smoke
# run of a few minutes.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh time python3 libbenchmark-dev nginx

port=${NORVANE_BENCH_PORT:-18490}
build=build-bench
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DNORVANE_WERROR=ON -DNORVANE_BUILD_BENCH=ON \
  -DNORVANE_UPDATE_SERVER="http://127.0.0.1:$port" >/dev/null
cmake --build "$build" --target norvane_update_bin norvane_test_server norvane_publish \
  bench_download bench_curl_floor bench_delete_path bench_micro bench_measure

if [ -n "${NORVANE_BENCH_DIR:-}" ]; then
  mkdir -p "$NORVANE_BENCH_DIR"
  data=$(mktemp -d "$NORVANE_BENCH_DIR/norvane-bench.XXXXXX")
else
  data=$(mktemp -d /tmp/norvane-bench.XXXXXX)
fi
trap 'rm -rf "$data"' EXIT
df -h "$data" | tail -n 1 | awk '{print "bench data in '"$data"': " $4 " free"}' >&2

echo "Machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')," \
  "$(free -h | awk '/^Mem:/{print $2}') memory, kernel $(uname -r)," \
  "$(df -hT "$data" | awk 'NR==2{print $2 " on " $1}')"
python3 bench/bench.py --build "$build" --data "$data" --port "$port" \
  --output "$build/bench_results.md" "$@"
