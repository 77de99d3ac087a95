// Tests of the allocation replacements, which this test program carries.

#include <errno.h>
#include <fcntl.h>
#include <malloc.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <new>
#include <string>
#include <vector>

#include "base/logging.h"
#include "base/process_util.h"
#include "gtest/gtest.h"
#include "test/scoped_log_settings.h"
#include "test/test_util.h"

namespace base {
namespace {

using testing_util::HelperCommand;
using testing_util::MaskLogTimes;
using testing_util::ReadFile;
using testing_util::RunProcess;
using testing_util::ScopedTempDir;
using testing_util::StderrCapture;

// Sizes that no allocator can satisfy, hidden from the compiler so that it
// neither warns about them nor folds the calls away.
volatile size_t g_huge = SIZE_MAX - 65535;
volatile size_t g_zero = 0;
// Rounded up to a multiple of 64, it wraps around to 0.
volatile size_t g_almost_max = SIZE_MAX - 8;

// Calls a throwing form of operator new; null when it threw std::bad_alloc.
void* NullIfBadAlloc(void* (*allocate)()) {
  try {
    return allocate();
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

std::string SizeLine(size_t size) {
  return "[MMDD/HHMMSS:FATAL:base/process_util_linux(505)] Check failed: "
         "false. Out of memory, size = " +
         std::to_string(size);
}

const char kPlainLine[] =
    "[MMDD/HHMMSS:FATAL:base/process_util_linux(506)] Check failed: false. "
    "Out of memory.";

// With a fatal hook the report returns, so a failed allocation can be
// watched in this process: the hook collects the statements' texts.
class AllocationTest : public testing::Test {
 protected:
  testing_util::ScopedLogSettings log_{testing_util::ScopedLogSettings::kFatal};
  std::vector<std::string>& fatal_texts_ = log_.texts();
};

struct FailureCase {
  const char* name;
  std::function<void*()> allocate;
  size_t reported;
};

TEST_F(AllocationTest, FailedAllocationsReportTheirSizeThenReturnNull) {
  const size_t huge = g_huge;
  const FailureCase kCases[] = {
      {"malloc", [] { return malloc(g_huge); }, huge},
      {"valloc", [] { return valloc(g_huge); }, huge},
      {"pvalloc", [] { return pvalloc(g_huge); }, huge},
      {"realloc of null", [] { return realloc(nullptr, g_huge); }, huge},
      {"calloc reports the element size", [] { return calloc(16, g_huge / 8); },
       huge / 8},
      {"memalign", [] { return memalign(64, g_huge); }, huge},
      {"posix_memalign",
       [] {
         void* out = &out;
         int result = posix_memalign(&out, 64, g_huge);
         return result == 0 ? out : &out;
       },
       huge},
      {"aligned_alloc", [] { return aligned_alloc(64, g_huge); }, huge},
      {"reallocarray reports the product",
       [] { return reallocarray(nullptr, 2, g_huge / 2); }, huge},
      {"reallocarray of an overflowing product reports SIZE_MAX",
       [] { return reallocarray(nullptr, 3, g_huge); }, SIZE_MAX},
      {"new",
       [] { return NullIfBadAlloc([] { return operator new(g_huge); }); },
       huge},
      {"nothrow new[]", [] { return operator new[](g_huge, std::nothrow); },
       huge},
      {"aligned new[]",
       [] {
         return NullIfBadAlloc(
             [] { return operator new[](g_huge, std::align_val_t{64}); });
       },
       huge},
      {"aligned nothrow new of a size that rounding up would wrap",
       [] {
         return operator new (g_almost_max, std::align_val_t{64}, std::nothrow);
       },
       g_almost_max},
  };
  for (const FailureCase& test : kCases) {
    SCOPED_TRACE(test.name);
    fatal_texts_.clear();
    StderrCapture capture;
    EXPECT_EQ(nullptr, test.allocate());
    capture.Restore();
    EXPECT_EQ(std::vector<std::string>({SizeLine(test.reported), kPlainLine}),
              fatal_texts_);
    EXPECT_EQ(SizeLine(test.reported) + "\n" + kPlainLine + "\n",
              MaskLogTimes(capture.Text()));
  }
}

TEST_F(AllocationTest, FailedReallocKeepsTheOldBlock) {
  char* block = static_cast<char*>(malloc(4));
  ASSERT_NE(nullptr, block);
  memcpy(block, "abc", 4);
  // Called through a pointer, so that the compiler does not take the block
  // for released.
  void* (*volatile reallocate)(void*, size_t) = realloc;
  StderrCapture capture;
  EXPECT_EQ(nullptr, reallocate(block, g_huge));
  EXPECT_STREQ("abc", block);
  free(block);
  EXPECT_EQ(2u, fatal_texts_.size());
}

TEST_F(AllocationTest, ZeroSizesNeverReport) {
  StderrCapture capture;
  free(malloc(g_zero));
  free(calloc(5, g_zero));
  free(valloc(g_zero));
  free(pvalloc(g_zero));
  free(memalign(16, g_zero));
  EXPECT_EQ(nullptr, realloc(malloc(8), g_zero));
  EXPECT_EQ("", capture.Text());
  EXPECT_TRUE(fatal_texts_.empty());
}

TEST_F(AllocationTest, PosixMemalignRejectsInvalidAlignments) {
  StderrCapture capture;
  for (size_t alignment :
       {size_t{0}, sizeof(void*) / 2, 3 * sizeof(void*), sizeof(void*) + 1}) {
    SCOPED_TRACE(alignment);
    void* out = &out;
    EXPECT_EQ(EINVAL, posix_memalign(&out, alignment, 16));
    EXPECT_EQ(&out, out);
  }
  for (size_t alignment : {sizeof(void*), size_t{64}, size_t{4096}}) {
    SCOPED_TRACE(alignment);
    void* out = nullptr;
    ASSERT_EQ(0, posix_memalign(&out, alignment, 16));
    ASSERT_NE(nullptr, out);
    EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(out) % alignment);
    free(out);
  }
  EXPECT_EQ("", capture.Text());
  EXPECT_TRUE(fatal_texts_.empty());
}

TEST_F(AllocationTest, ReportBelowMinimumSeverityIsDroppedWhole) {
  GetLogSettings().min_severity = LOG_FATAL + 1;
  StderrCapture capture;
  EXPECT_EQ(nullptr, malloc(g_huge));
  EXPECT_EQ("", capture.Text());
  EXPECT_TRUE(fatal_texts_.empty());
}

// Takes every free range of the address space of 64 KiB or more, so that no
// large block can be mapped any more.
void FillAddressSpace() {
  for (size_t size = size_t{1} << 30; size >= (size_t{64} << 10);) {
    void* taken = mmap(nullptr, size, PROT_NONE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (taken == MAP_FAILED) size /= 2;
  }
}

// Logs one line, then fails an allocation made the way args[0] says:
// "malloc" asks for an impossible size; "new" asks operator new for 512 MiB
// under an address-space limit that leaves no room for it. qemu applies no
// address-space limit to the programs it emulates, so there the address
// space is filled up instead.
TEST_HELPER(fail_allocation) {
  testing_util::DisableCoreDumps();
  LogEntry("helper", 1, LOG_ERROR).stream() << "before";
  void* result = nullptr;
  if (args.at(0) == "malloc") {
    result = malloc(g_huge);
  } else {
    std::string status = ReadFile("/proc/self/status");
    size_t field = status.find("VmSize:");
    if (field == std::string::npos) return 3;
    rlim_t in_use = strtoull(status.c_str() + field + 7, nullptr, 10) * 1024;
    struct rlimit limit = {in_use + (64 << 20), in_use + (64 << 20)};
    if (setrlimit(RLIMIT_AS, &limit) != 0) return 4;
    if (testing_util::UnderEmulation()) FillAddressSpace();
    result = new char[size_t{512} << 20];
  }
  printf("returned %p\n", result);
  return 0;
}

TEST(OutOfMemoryTest, FailedAllocationEndsTheProcessBySigtrapAfterItsLine) {
  const struct {
    const char* how;
    size_t size;
  } kCases[] = {{"malloc", g_huge}, {"new", size_t{512} << 20}};
  for (const auto& test : kCases) {
    SCOPED_TRACE(test.how);
    testing_util::ProcessResult result =
        RunProcess(HelperCommand("fail_allocation", {test.how}));
    EXPECT_FALSE(result.exited);
    EXPECT_EQ(SIGTRAP, result.term_signal);
    EXPECT_EQ("", result.out);
    EXPECT_EQ(
        "[MMDD/HHMMSS:ERROR:helper(1)] before\n" + SizeLine(test.size) + "\n",
        MaskLogTimes(testing_util::WithoutEmulatorReport(result.err)));
  }
}

TEST(OutOfMemoryTest, DebuggerResumingAfterEachTrapGetsNullBack) {
  ScopedTempDir dir;
  std::string log = dir.Child("log");
  std::vector<std::string> log_at_traps;
  int status = testing_util::RunTraced(
      [&log] {
        int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, 2);
        _exit(malloc(g_huge) == nullptr ? 0 : 1);
      },
      [&] { log_at_traps.push_back(MaskLogTimes(ReadFile(log))); });
  if (WIFEXITED(status) && WEXITSTATUS(status) == testing_util::kCannotTrace) {
    GTEST_SKIP() << (testing_util::UnderEmulation()
                         ? "qemu's user emulation does not offer ptrace"
                         : "ptrace is not permitted here");
  }
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(0, WEXITSTATUS(status));
  const std::string first = SizeLine(g_huge) + "\n";
  EXPECT_EQ(std::vector<std::string>({first, first + kPlainLine + "\n"}),
            log_at_traps);
}

}  // namespace
}  // namespace base
