#!/usr/bin/env bash
# Sets up, checks that every C++ file is formatted, builds from scratch and
# runs every test three times: as the 64-bit program, as a 32-bit i686
# program, and as a 64-bit program under AddressSanitizer and
# UndefinedBehaviorSanitizer, then fuzzes each fuzz target for 30 seconds.
# Each build has its own directory; they run one after another because the
# end-to-end tests of every build use the same test-server port. Exits
# non-zero if any build or test fails.
#
# Where the kernel cannot run i686 programs (or NORVANE_I686_UNDER_QEMU=1
# asks for it), the i686 build is built and tested under qemu-i386 user
# emulation: an i386 handler registered with binfmt_misc for this run runs
# every i686 program the tests start, children included.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

sanitize="-fsanitize=address,undefined -fno-sanitize-recover=all"
sanitize+=" -fno-omit-frame-pointer"

summary=()
failed=0

# ---- The i686 build's programs: natively, or under qemu-i386.
#
# binfmt_misc runs every i386 ELF program (class, data, type and machine
# bytes of the ELF header; executables and shared objects) through
# qemu-i386-static. Flag F opens the emulator once, at registration.
binfmt=/proc/sys/fs/binfmt_misc
i686_handler_name=norvane-test-i386
i686_handler=":$i686_handler_name:M::"
i686_handler+='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:'
i686_handler+='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:'
i686_handler+='/usr/bin/qemu-i386-static:F'
# What this run added, for stop_i686_emulation to take away again.
registered_i686_handler=false
mounted_binfmt=false

# Prints the name of an enabled binfmt_misc handler that runs i386 ELF
# programs under qemu-i386, if there is one.
qemu_i686_handler() {
  local entry magic
  [ -r "$binfmt/status" ] && grep -qx enabled "$binfmt/status" || return 1
  for entry in "$binfmt"/*; do
    case ${entry##*/} in register | status) continue ;; esac
    grep -qx enabled "$entry" 2>/dev/null || continue
    grep -q '^interpreter .*qemu-i386' "$entry" || continue
    magic=$(sed -n 's/^magic //p' "$entry")
    if [[ $magic == 7f454c46010101* && ${magic:36:4} == 0300 ]]; then
      echo "${entry##*/}"
      return 0
    fi
  done
  return 1
}

stop_i686_emulation() {
  if $registered_i686_handler; then
    echo -1 >"$binfmt/$i686_handler_name" || true
    registered_i686_handler=false
  fi
  if $mounted_binfmt; then
    umount "$binfmt" || true
    mounted_binfmt=false
  fi
}
# However the run ends, the machine is left as it was found.
trap stop_i686_emulation EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM

# Sets i686_how to "natively" or "under qemu-i386 user emulation", setting
# the emulation up for this run where it is needed. As another user than
# root it prints the commands that set it up and stops the test command.
prepare_i686() {
  local probe_dir handler
  probe_dir=$(mktemp -d)
  # A program of the i686 toolchain: whether the kernel runs it.
  if ! echo 'int main(void) { return 0; }' |
      gcc -m32 -x c - -o "$probe_dir/probe"; then
    rm -rf "$probe_dir"
    echo "the i686 toolchain cannot build a program" >&2
    return 1
  fi
  # A handler of this run's name that is there for root now was left by a
  # run that was killed: it goes before the probe looks.
  if [ "$(id -u)" -eq 0 ] && [ -e "$binfmt/$i686_handler_name" ]; then
    echo -1 >"$binfmt/$i686_handler_name"
  fi
  if handler=$(qemu_i686_handler); then
    # The machine's own handler, or one registered by hand with the commands
    # below: used, and not removed.
    i686_how="under qemu-i386 user emulation"
    echo "i686 programs run through binfmt_misc handler $handler"
  elif [ "${NORVANE_I686_UNDER_QEMU:-0}" != 1 ] && "$probe_dir/probe" \
      2>/dev/null; then
    i686_how=natively
  else
    if [ "$(id -u)" -ne 0 ]; then
      rm -rf "$probe_dir"
      scripts/setup.sh qemu-user-static || true
      echo "This kernel does not run i686 programs (or NORVANE_I686_UNDER_QEMU=1" >&2
      echo "asks for emulation). Run this first, then try again:" >&2
      if ! grep -q " $binfmt " /proc/mounts; then
        echo "  sudo mount -t binfmt_misc binfmt_misc $binfmt" >&2
      fi
      echo "  printf '%s' '$i686_handler' | sudo tee $binfmt/register" >&2
      echo "and, when the tests are done:" >&2
      echo "  echo -1 | sudo tee $binfmt/$i686_handler_name" >&2
      exit 1
    fi
    if ! scripts/setup.sh qemu-user-static; then
      rm -rf "$probe_dir"
      return 1
    fi
    if ! grep -q " $binfmt " /proc/mounts; then
      mount -t binfmt_misc binfmt_misc "$binfmt" && mounted_binfmt=true
    fi
    if ! printf '%s' "$i686_handler" >"$binfmt/register"; then
      rm -rf "$probe_dir"
      echo "binfmt_misc cannot register the qemu-i386 handler" >&2
      return 1
    fi
    registered_i686_handler=true
    if ! "$probe_dir/probe"; then
      rm -rf "$probe_dir"
      echo "i686 programs do not run under qemu-i386 either" >&2
      return 1
    fi
    i686_how="under qemu-i386 user emulation"
    echo "i686 programs run under qemu-i386 user emulation for this run"
  fi
  rm -rf "$probe_dir"
}

echo "==== i686 programs"
i686_ready=true
prepare_i686 || i686_ready=false

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

# build_and_test NAME DIR HOW [CMAKE_ARGUMENT...]
build_and_test() {
  local name=$1 dir=$2 how=$3
  shift 3
  echo
  echo "==== $name: building $dir from scratch"
  rm -rf "$dir"
  local start=$SECONDS
  if ! cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DNORVANE_WERROR=ON "$@" || ! cmake --build "$dir"; then
    summary+=("$name ($dir): BUILD FAILED after $((SECONDS - start)) s $how")
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
  summary+=("$name ($dir): built in $built s, tested in $tested s $how: $verdict")
  while IFS= read -r line; do summary+=("$line"); done \
    < <(ctest_closing_lines "$dir/ctest.log")
}

build_and_test 64-bit build-test natively

if $i686_ready; then
  # Tests whose children end by a signal see qemu's own report of it.
  if [ "$i686_how" != natively ]; then export NORVANE_TEST_EMULATOR=qemu-i386; fi
  build_and_test i686 build-test-i686 "$i686_how" \
    -DCMAKE_TOOLCHAIN_FILE=cmake/i686-linux-gnu.cmake
  unset NORVANE_TEST_EMULATOR
  stop_i686_emulation
else
  summary+=("i686 (build-test-i686): NOT RUN, i686 programs cannot run here")
  failed=1
fi

build_and_test asan+ubsan build-test-asan natively \
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
