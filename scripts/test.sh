#!/usr/bin/env bash
# Sets up, checks that every C++ file is formatted, builds from scratch and
# runs every test three times: as the 64-bit program, as a 32-bit i686
# program, and as a 64-bit program under AddressSanitizer and
# UndefinedBehaviorSanitizer, then fuzzes each fuzz target for 30 seconds.
# Each build has its own
# directory; they run one after another because the end-to-end tests of every
# build use the same test-server port. Exits non-zero if any build or test
# fails.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

sanitize="-fsanitize=address,undefined -fno-sanitize-recover=all"
sanitize+=" -fno-omit-frame-pointer"

summary=()
failed=0

echo "==== Format"
if scripts/check_format.sh; then
  summary+=("format (clang-format-14): every file formatted")
else
  summary+=("format (clang-format-14): FAILED, see the files listed above")
  failed=1
fi

# Prints the closing lines of the ctest output in $1.
ctest_closing_lines() {
  grep -E '^[0-9]+% tests passed|^Total Test time' "$1" || true
}

# Fails the sanitizer run if any process left a report: AddressSanitizer and
# LeakSanitizer write theirs into $1 (children and setuid helpers included);
# UndefinedBehaviorSanitizer prints to the process's stderr, which ctest keeps
# in its log $2 even for passing tests.
sanitizer_reports_found() {
  local reports=$1 ctest_log=$2 found=1
  if [ -n "$(ls -A "$reports")" ]; then
    echo "== Sanitizer reports in $reports:"
    cat "$reports"/*
    found=0
  fi
  if grep -E -q 'runtime error:|ERROR: [A-Za-z]*Sanitizer' "$ctest_log"; then
    echo "== Sanitizer reports in the test output ($ctest_log):"
    grep -E -A20 'runtime error:|ERROR: [A-Za-z]*Sanitizer' "$ctest_log"
    found=0
  fi
  return $found
}

# build_and_test NAME DIR [CMAKE_ARGUMENT...]
build_and_test() {
  local name=$1 dir=$2
  shift 2
  echo
  echo "==== $name: building $dir from scratch"
  rm -rf "$dir"
  local start=$SECONDS
  if ! cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DNORVANE_WERROR=ON "$@" || ! cmake --build "$dir"; then
    summary+=("$name ($dir): BUILD FAILED after $((SECONDS - start)) s")
    failed=1
    return
  fi
  local built=$((SECONDS - start))

  echo "==== $name: running the tests in $dir"
  start=$SECONDS
  local status=0 verdict=PASSED
  local reports=$PWD/$dir/sanitizer-reports
  if [ "$name" = asan+ubsan ]; then
    # Reports go to files in a directory everyone may write to, as the file
    # tests run children as "nobody". The exit codes make the reporting
    # process fail on its own as well.
    mkdir -m 1777 "$reports"
    export ASAN_OPTIONS="halt_on_error=1:abort_on_error=0:exitcode=86"
    ASAN_OPTIONS+=":detect_leaks=1:detect_stack_use_after_return=1"
    ASAN_OPTIONS+=":check_initialization_order=1:strict_init_order=1"
    ASAN_OPTIONS+=":log_path=$reports/asan"
    export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:exitcode=87"
  fi
  (cd "$dir" && ctest --output-on-failure -j"$(nproc)") 2>&1 |
    tee "$dir/ctest.log" || status=$?
  if [ "$name" = asan+ubsan ]; then
    unset ASAN_OPTIONS UBSAN_OPTIONS
    if sanitizer_reports_found "$reports" "$dir/Testing/Temporary/LastTest.log"; then
      verdict="FAILED BY SANITIZER REPORTS"
      failed=1
    fi
  fi
  local tested=$((SECONDS - start))
  if [ $status -ne 0 ]; then
    verdict="TESTS FAILED"
    failed=1
  fi
  summary+=("$name ($dir): built in $built s, tested in $tested s: $verdict")
  while IFS= read -r line; do summary+=("$line"); done \
    < <(ctest_closing_lines "$dir/ctest.log")
}

build_and_test 64-bit build-test
build_and_test i686 build-test-i686 \
  -DCMAKE_TOOLCHAIN_FILE=cmake/i686-linux-gnu.cmake
build_and_test asan+ubsan build-test-asan \
  -DCMAKE_C_FLAGS="$sanitize" -DCMAKE_CXX_FLAGS="$sanitize" \
  -DCMAKE_EXE_LINKER_FLAGS="$sanitize"

# Each fuzz target for 30 s from its seeds; any failure fails the run.
echo
echo "==== Fuzzing"
if scripts/fuzz.sh 30; then
  summary+=("fuzzing (build-fuzz): every target passed")
else
  summary+=("fuzzing (build-fuzz): FAILED")
  failed=1
fi

echo
echo "==== Summary"
printf '%s\n' "${summary[@]}"
if [ $failed -ne 0 ]; then
  echo "FAILED: see the builds marked above."
  exit 1
fi
echo "Every file is formatted, all three builds passed every test, and every"
echo "fuzz target held."
