// The real updater with its allocations failing from a chosen call on,
// anywhere from its first allocation to its exit.

#include <signal.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "test/test_util.h"
#include "test/updater_test.h"

namespace {

using testing_util::MaskLogTimes;
using testing_util::ReadFile;

// The failing allocator (src/test/failing_allocator.cc), built only where the
// updater carries the allocation replacements.
#if defined(NORVANE_FAILING_ALLOCATOR)
const char kFailingAllocator[] = NORVANE_FAILING_ALLOCATOR;
#else
const char kFailingAllocator[] = "";
#endif

class FailedAllocationSweepTest : public UpdateRunTest {
 protected:
  struct Run {
    testing_util::ProcessResult result;
    std::string record;  // What the failing allocator wrote.
    std::string output;  // Standard error, then the log.
  };

  // A no-update run in a fresh installation directory under the failing
  // allocator, with calls from |fail_from| on failing (none when empty).
  Run RunFailingFrom(const std::string& fail_from) {
    testing_util::ScopedTempDir install;
    std::string record = tmp_.Child("allocations." + fail_from);
    testing_util::RunOptions options = options_;
    options.timeout_seconds = 10;
    options.set_env.push_back(std::string("LD_PRELOAD=") + kFailingAllocator);
    options.set_env.push_back("NORVANE_ALLOCATION_RECORD=" + record);
    if (!fail_from.empty()) {
      options.set_env.push_back("NORVANE_FAIL_ALLOCATIONS_FROM=" + fail_from);
    }
    Run run;
    run.result = testing_util::RunProcess(
        {updater_path_, "2.0", install.path(), "999999999"}, options);
    run.record = ReadFile(record);
    // Under emulation the trap's report follows the entry in either stream.
    run.output = testing_util::WithoutEmulatorReport(run.result.err) +
                 testing_util::WithoutEmulatorReport(
                     ReadFile(install.Child("norvane_update.log")));
    return run;
  }

  // The number in the record's "|label| N" line, or -1.
  static int64_t RecordValue(const std::string& record,
                             const std::string& label) {
    size_t line = record.find(label + " ");
    if (line == std::string::npos) return -1;
    return std::stoll(record.substr(line + label.size() + 1));
  }
};

// Failures start at each of the first 200 calls (the time-zone look-up
// before the libraries' constructors, then those constructors), then at 201
// calls spread evenly from there to the first call past the run's end. A run
// that no failure touched ends with its exit status; every other run ends by
// SIGTRAP with the out-of-memory entry of the allocation that failed as its
// last line.
TEST_F(FailedAllocationSweepTest, EveryRunEndsByItsExitOrByTrapAfterTheEntry) {
  if (kFailingAllocator[0] == '\0') {
    GTEST_SKIP() << "no allocation replacements to sweep: AddressSanitizer's "
                    "allocator takes every allocation in this build, and "
                    "OutOfMemoryReportTest.AllocatesNothing checks the report";
  }
  PublishManifest("2.0");
  Run clean = RunFailingFrom("");
  ASSERT_TRUE(clean.result.exited) << clean.output;
  ASSERT_EQ(0, clean.result.exit_code) << clean.output;
  const int64_t calls = RecordValue(clean.record, "calls");
  ASSERT_GT(calls, 1000) << clean.record;

  const int64_t kEveryCallUpTo = 200;
  const int64_t kSpreadRuns = 200;
  std::vector<int64_t> points;
  for (int64_t n = 0; n < kEveryCallUpTo; ++n) points.push_back(n);
  for (int64_t i = 0; i <= kSpreadRuns; ++i) {
    points.push_back(kEveryCallUpTo +
                     (calls - kEveryCallUpTo) * i / kSpreadRuns);
  }
  const std::string kEntry =
      "[MMDD/HHMMSS:FATAL:base/process_util_linux(505)] "
      "Check failed: false. Out of memory, size = ";
  for (int64_t n : points) {
    SCOPED_TRACE("allocations failing from call " + std::to_string(n));
    Run run = RunFailingFrom(std::to_string(n));
    ASSERT_FALSE(run.result.timed_out) << run.output;
    const int64_t failed = RecordValue(run.record, "failed");
    if (run.result.exited) {
      EXPECT_EQ(-1, failed) << "a failed allocation came back to its caller\n"
                            << run.output;
      EXPECT_TRUE(run.result.exit_code == 0 || run.result.exit_code == 255)
          << run.result.exit_code;
      continue;
    }
    ASSERT_EQ(SIGTRAP, run.result.term_signal) << run.output;
    ASSERT_NE(-1, failed) << run.record;
    const std::string& out = run.output;
    std::string last_line = out.substr(out.rfind('\n', out.size() - 2) + 1);
    EXPECT_EQ(kEntry + std::to_string(failed) + "\n", MaskLogTimes(last_line));
  }
}

}  // namespace
