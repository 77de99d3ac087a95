#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build-fuzz and fuzzes each one
# for SECONDS (default 30), starting from a scratch copy of its seeds in
# fuzz/corpus/<target>/. Fails when any target crashes, breaks a property or
# trips a sanitizer; the input that did it stays in build-fuzz/artifacts/.
#
#   scripts/fuzz.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
scripts/setup.sh

build=build-fuzz
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
  -DNORVANE_FUZZ=ON -DNORVANE_BUILD_TESTS=OFF -DNORVANE_WERROR=ON >/dev/null
cmake --build "$build" --target norvane_fuzzers

# Scratch files in memory where possible: the INI target saves and syncs
# files for every input.
scratch_root=${TMPDIR:-/tmp}
[ -d /dev/shm ] && [ -w /dev/shm ] && scratch_root=/dev/shm
scratch=$(mktemp -d "$scratch_root/norvane-fuzz.XXXXXX")
trap 'rm -rf "$scratch"' EXIT

export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}

failed=()
passed=0
while read -r target; do
  [ -n "$target" ] || continue
  corpus="$scratch/$target/corpus"
  artifacts="$PWD/$build/artifacts/$target"
  rm -rf "$artifacts"
  mkdir -p "$corpus" "$artifacts"
  if [ -d "fuzz/corpus/$target" ]; then
    cp -R "fuzz/corpus/$target/." "$corpus/"
  fi
  log="$build/artifacts/$target.log"
  echo "== Fuzzing $target for $seconds s"
  status=0
  TMPDIR="$scratch/$target" "$build/fuzz/$target" \
    -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 \
    -artifact_prefix="$artifacts/" -print_final_stats=1 \
    "$corpus" </dev/null >"$log" 2>&1 || status=$?
  grep -E '^stat::number_of_executed_units' "$log" || true
  if [ "$status" -ne 0 ]; then
    echo "FAILED: $target (exit status $status); its output:"
    grep -v -E '^(#[0-9]+|INFO:|stat::)' "$log" | tail -n 60
    sed -n 's/.*Test unit written to \(.*\)/Failing input saved as \1/p' "$log" |
      sort -u
    echo "Whole output in $log"
    echo "Reproduce with: $build/fuzz/$target <input>"
    failed+=("$target")
  else
    passed=$((passed + 1))
  fi
done <"$build/fuzz/fuzzers.txt"

[ ${#failed[@]} -eq 0 ] || echo "Failed fuzz targets: ${failed[*]}"
echo "Fuzzing: $passed passed, ${#failed[@]} failed"
[ ${#failed[@]} -eq 0 ]
