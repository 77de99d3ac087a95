#include "base/out_of_memory.h"

#include <signal.h>
#include <stddef.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <string>

#include "base/logging.h"
#include "gtest/gtest.h"
#include "test/test_util.h"

#if defined(__SANITIZE_ADDRESS__)
// The sanitizer allocator calls the installed hooks on every allocation and
// release of the process. Both must be given; they cannot be removed.
extern "C" int __sanitizer_install_malloc_and_free_hooks(
    void (*malloc_hook)(const volatile void*, size_t),
    void (*free_hook)(const volatile void*));
#endif

namespace base {
namespace {

using testing_util::MaskLogTimes;

const char kSizeLine[] =
    "[MMDD/HHMMSS:FATAL:base/process_util_linux(505)] Check failed: false. "
    "Out of memory, size = ";
const char kPlainLine[] =
    "[MMDD/HHMMSS:FATAL:base/process_util_linux(506)] Check failed: false. "
    "Out of memory.";

// A failure inside the fatal hook, which runs within the report.
TEST_HELPER(report_inside_report) {
  testing_util::DisableCoreDumps();
  GetLogSettings().fatal_hook = [](std::string_view) { ReportOutOfMemory(7); };
  ReportOutOfMemory(5);
  return 0;
}

TEST(OutOfMemoryReportTest, ReportInsideAReportTrapsAtOnce) {
  testing_util::ProcessResult result = testing_util::RunProcess(
      testing_util::HelperCommand("report_inside_report"));
  EXPECT_FALSE(result.exited);
  EXPECT_EQ(SIGTRAP, result.term_signal);
  EXPECT_EQ(std::string(kSizeLine) + "5\n",
            MaskLogTimes(testing_util::WithoutEmulatorReport(result.err)));
}

#if defined(__SANITIZE_ADDRESS__)
std::atomic<bool> g_counting{false};
std::atomic<int> g_allocations{0};
char g_hooked[1024];
#endif

// Only the sanitizer build can count allocations in-process. Builds with the
// allocation replacements show the same end to end: an allocation inside the
// report would fail as well and trap before the entry is written.
TEST(OutOfMemoryReportTest, AllocatesNothing) {
#if !defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "allocations are counted through AddressSanitizer's hooks";
#else
  static bool installed = __sanitizer_install_malloc_and_free_hooks(
      [](const volatile void*, size_t) {
        if (g_counting) ++g_allocations;
      },
      [](const volatile void*) {});
  ASSERT_TRUE(installed);
  LogSettings saved = GetLogSettings();
  GetLogSettings().fatal_hook = [](std::string_view text) {
    strncat(g_hooked, text.data(), std::min(text.size(), size_t{200}));
    strcat(g_hooked, "\n");
  };
  g_hooked[0] = '\0';
  testing_util::StderrCapture capture;
  g_allocations = 0;
  g_counting = true;
  ReportOutOfMemory(123456789);
  g_counting = false;
  capture.Restore();
  GetLogSettings() = saved;
  EXPECT_EQ(0, g_allocations);
  const std::string expected =
      std::string(kSizeLine) + "123456789\n" + kPlainLine + "\n";
  EXPECT_EQ(expected, MaskLogTimes(g_hooked));
  EXPECT_EQ(expected, MaskLogTimes(capture.Text()));
#endif
}

}  // namespace
}  // namespace base
