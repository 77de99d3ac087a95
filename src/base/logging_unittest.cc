#include "base/logging.h"

#include <errno.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <iomanip>
#include <string>
#include <vector>

#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "test/scoped_log_settings.h"
#include "test/test_util.h"

namespace base {
namespace {

using testing_util::MaskLogTimes;
using testing_util::ReadFile;
using testing_util::ScopedTempDir;
using testing_util::StderrCapture;

// Restores the process-wide settings after each test.
class LoggingTest : public testing::Test {
 protected:
  LogSettings& settings() { return saved_.settings(); }

 private:
  testing_util::ScopedLogSettings saved_;
};

TEST_F(LoggingTest, WritesOneLinePerStatementAtEverySeverity) {
  StderrCapture capture;
  LogEntry("norvane_update", 133, LOG_INFO).stream() << "info";
  LogEntry("norvane_update", 134, LOG_WARNING).stream() << "warning";
  LogEntry("norvane_update", 135, LOG_ERROR).stream() << "error " << 42;
  EXPECT_EQ(
      "[MMDD/HHMMSS:INFO:norvane_update(133)] info\n"
      "[MMDD/HHMMSS:WARNING:norvane_update(134)] warning\n"
      "[MMDD/HHMMSS:ERROR:norvane_update(135)] error 42\n",
      MaskLogTimes(capture.Text()));
}

TEST_F(LoggingTest, MessageEndedWithEndlIsFollowedByAnEmptyLine) {
  StderrCapture capture;
  LOG_AT((log_site::Site{"norvane_update", 48}), LOG_ERROR)
      << "load ini file error!" << std::endl;
  EXPECT_EQ("[MMDD/HHMMSS:ERROR:norvane_update(48)] load ini file error!\n\n",
            MaskLogTimes(capture.Text()));
}

TEST_F(LoggingTest, TimestampIsZeroFilledLocalTime) {
  setenv("TZ", "UTC", 1);
  tzset();
  StderrCapture capture;
  time_t before = time(nullptr);
  LogEntry("f", 1, LOG_INFO).stream() << "x";
  time_t after = time(nullptr);
  std::string text = capture.Text();
  std::vector<std::string> expected;
  for (time_t t = before; t <= after; ++t) {
    struct tm local;
    localtime_r(&t, &local);
    char stamp[32];
    strftime(stamp, sizeof(stamp), "[%m%d/%H%M%S:INFO:f(1)] x\n", &local);
    expected.push_back(stamp);
  }
  EXPECT_NE(std::find(expected.begin(), expected.end(), text), expected.end())
      << text;
  unsetenv("TZ");
  tzset();
}

// The FATAL line for callers that cannot allocate reckons its stamp from the
// UTC offset of the last look-up instead of the time-zone code.
TEST_F(LoggingTest, FatalWithoutAllocatingStampsLocalTimeFromTheLastOffset) {
  static std::string* hooked = new std::string;
  settings().fatal_hook = [](std::string_view text) {
    hooked->assign(text.data(), text.size());
  };
  for (const char* zone : {"UTC0", "<+1345>-13:45", "<-11>11"}) {
    SCOPED_TRACE(zone);
    setenv("TZ", zone, 1);
    tzset();
    NoteUtcOffset();
    StderrCapture capture;
    time_t before = time(nullptr);
    WriteFatalWithoutAllocating(log_site::kOutOfMemory, "m");
    time_t after = time(nullptr);
    std::vector<std::string> expected;
    for (time_t t = before; t <= after; ++t) {
      struct tm local;
      localtime_r(&t, &local);
      char line[64];
      strftime(line, sizeof(line),
               "[%m%d/%H%M%S:FATAL:base/process_util_linux(506)] m", &local);
      expected.push_back(line);
    }
    EXPECT_NE(std::find(expected.begin(), expected.end(), *hooked),
              expected.end())
        << *hooked;
    EXPECT_EQ(*hooked + "\n", capture.Text());
  }
  unsetenv("TZ");
  tzset();
}

// Every 86399 seconds from 1900 to 2400 lands once on each day, at a time of
// day that moves back by a second a day.
TEST(BreakDownShiftedTimeTest, AgreesWithGmtimeOnEveryDayOfFiveCenturies) {
  const int64_t k1900 = -2208988800, k2400 = 13569465600;
  for (long offset : {0L, 13 * 3600L + 45 * 60, -12 * 3600L}) {
    SCOPED_TRACE(offset);
    for (int64_t t = k1900; t < k2400; t += 86399) {
      time_t shifted = static_cast<time_t>(t + offset);
      struct tm expected;
      ASSERT_NE(nullptr, gmtime_r(&shifted, &expected));
      struct tm actual = {};
      internal::BreakDownShiftedTime(t, offset, &actual);
      ASSERT_EQ(
          std::vector<int>({expected.tm_year, expected.tm_mon, expected.tm_mday,
                            expected.tm_hour, expected.tm_min,
                            expected.tm_sec}),
          std::vector<int>({actual.tm_year, actual.tm_mon, actual.tm_mday,
                            actual.tm_hour, actual.tm_min, actual.tm_sec}))
          << t;
    }
  }
}

TEST_F(LoggingTest, LaterFieldWidthsArePaddedWithZeros) {
  StderrCapture capture;
  LogEntry("f", 1, LOG_INFO).stream() << std::setw(4) << 7;
  EXPECT_EQ("[MMDD/HHMMSS:INFO:f(1)] 0007\n", MaskLogTimes(capture.Text()));
}

TEST_F(LoggingTest, FileNameIsShortenedAtBackslashesOnly) {
  StderrCapture capture;
  LogEntry("a\\b\\c.cc", 1, LOG_INFO).stream() << "m";
  LOG_AT(log_site::kOutOfMemorySize, LOG_ERROR) << "m";
  EXPECT_EQ(
      "[MMDD/HHMMSS:INFO:c.cc(1)] m\n"
      "[MMDD/HHMMSS:ERROR:base/process_util_linux(505)] m\n",
      MaskLogTimes(capture.Text()));
}

TEST_F(LoggingTest, OptionalPrefixItemsAppearInOrder) {
  settings().prefix_pid = true;
  settings().prefix_tid = true;
  settings().prefix_monotonic_us = true;
  StderrCapture capture;
  LogEntry("f", 9, LOG_WARNING).stream() << "m";
  std::string pid = std::to_string(getpid());
  EXPECT_THAT(capture.Text(),
              testing::MatchesRegex("\\[" + pid +
                                    ":[0-9]+:[0-9]{4}/[0-9]{6}:[0-9]+:"
                                    "WARNING:f\\(9\\)\\] m\n"));
}

TEST_F(LoggingTest, WithoutWallclockNoTimeIsPrinted) {
  settings().prefix_wallclock = false;
  StderrCapture capture;
  LogEntry("f", 1, LOG_INFO).stream() << std::setw(3) << 5;
  EXPECT_EQ("[INFO:f(1)]   5\n", capture.Text());
}

TEST_F(LoggingTest, ErrorAndAboveReachStderrWhateverTheDestination) {
  settings().destination = kLogNowhere;
  StderrCapture capture;
  LogEntry("f", 1, LOG_INFO).stream() << "dropped";
  LogEntry("f", 2, LOG_WARNING).stream() << "dropped";
  LogEntry("f", 3, LOG_ERROR).stream() << "kept";
  EXPECT_EQ("[MMDD/HHMMSS:ERROR:f(3)] kept\n", MaskLogTimes(capture.Text()));
}

TEST_F(LoggingTest, StatementsBelowMinimumSeverityAreDroppedWithoutEndAction) {
  static int fatal_calls = 0;
  settings().min_severity = LOG_ERROR + 10;
  settings().fatal_hook = [](std::string_view) { ++fatal_calls; };
  StderrCapture capture;
  LogEntry("f", 1, LOG_ERROR).stream() << "x";
  LogEntry("f", 2, LOG_FATAL).stream() << "x";
  EXPECT_EQ("", capture.Text());
  EXPECT_EQ(0, fatal_calls);
}

TEST_F(LoggingTest, FilterPrefixDropsOnlyInfoAndWarning) {
  settings().filter_prefix = "keep";
  StderrCapture capture;
  LogEntry("f", 1, LOG_INFO).stream() << "keep this";
  LogEntry("f", 2, LOG_INFO).stream() << "drop this";
  LogEntry("f", 3, LOG_WARNING).stream() << "kee";
  LogEntry("f", 4, LOG_ERROR).stream() << "errors pass";
  EXPECT_EQ(
      "[MMDD/HHMMSS:INFO:f(1)] keep this\n"
      "[MMDD/HHMMSS:ERROR:f(4)] errors pass\n",
      MaskLogTimes(capture.Text()));
}

std::vector<std::string>* g_intercepted;

TEST_F(LoggingTest, InterceptHookSeesTheWholeTextAndCanDrop) {
  std::vector<std::string> intercepted;
  g_intercepted = &intercepted;
  settings().intercept_hook = [](Severity severity, std::string_view text) {
    g_intercepted->push_back(std::string(text));
    return severity == LOG_INFO;
  };
  StderrCapture capture;
  LogEntry("f", 1, LOG_INFO).stream() << "swallowed";
  LogEntry("f", 2, LOG_ERROR).stream() << "passed";
  ASSERT_EQ(2u, intercepted.size());
  EXPECT_EQ("[MMDD/HHMMSS:INFO:f(1)] swallowed\n",
            MaskLogTimes(intercepted[0]));
  EXPECT_EQ("[MMDD/HHMMSS:ERROR:f(2)] passed\n", MaskLogTimes(capture.Text()));
}

TEST_F(LoggingTest, FatalHookGetsTextWithoutLineEndAndCallerContinues) {
  static std::string* hooked = new std::string;
  settings().fatal_hook = [](std::string_view text) {
    hooked->append(text.data(), text.size());
  };
  StderrCapture capture;
  LogEntry("f", 7, LOG_FATAL).stream() << "fatal";
  EXPECT_EQ("[MMDD/HHMMSS:FATAL:f(7)] fatal", MaskLogTimes(*hooked));
  EXPECT_EQ("[MMDD/HHMMSS:FATAL:f(7)] fatal\n", MaskLogTimes(capture.Text()));
}

TEST_F(LoggingTest, MessageWithNulIsWrittenWholeWithItsLineEnd) {
  StderrCapture capture;
  LogEntry("f", 1, LOG_ERROR).stream() << "a" << '\0' << "b";
  LogEntry("f", 2, LOG_ERROR).stream() << "next";
  EXPECT_EQ(std::string("[MMDD/HHMMSS:ERROR:f(1)] a\0b\n", 29) +
                "[MMDD/HHMMSS:ERROR:f(2)] next\n",
            MaskLogTimes(capture.Text()));
}

TEST_F(LoggingTest, SystemErrorEntryAppendsTheSystemText) {
  StderrCapture capture;
  SystemErrorLogEntry("f", 3, LOG_ERROR, ENOENT).stream() << "Couldn't stat x";
  EXPECT_EQ("[MMDD/HHMMSS:ERROR:f(3)] Couldn't stat x: " +
                SystemErrorText(ENOENT) + "\n",
            MaskLogTimes(capture.Text()));
  EXPECT_EQ("No such file or directory", SystemErrorText(ENOENT));
}

TEST_F(LoggingTest, FileDestinationAppendsToDebugLogInCurrentDirectory) {
  ScopedTempDir dir;
  char saved_cwd[4096];
  ASSERT_NE(nullptr, getcwd(saved_cwd, sizeof(saved_cwd)));
  ASSERT_EQ(0, chdir(dir.path().c_str()));
  settings().destination = kLogToFile;
  settings().log_file = nullptr;
  settings().log_file_name.clear();
  StderrCapture capture;
  LogEntry("f", 1, LOG_INFO).stream() << "to file";
  settings().lock_kind = 1;
  LogEntry("f", 2, LOG_ERROR).stream() << "both";
  fclose(settings().log_file);
  EXPECT_EQ("[MMDD/HHMMSS:ERROR:f(2)] both\n", MaskLogTimes(capture.Text()));
  EXPECT_EQ(
      "[MMDD/HHMMSS:INFO:f(1)] to file\n"
      "[MMDD/HHMMSS:ERROR:f(2)] both\n",
      MaskLogTimes(ReadFile(dir.Child("debug.log"))));
  ASSERT_EQ(0, chdir(saved_cwd));
}

TEST(LoggingDeathTest, FatalWithoutHookEndsTheProcessBySigtrapAfterItsLine) {
  ScopedTempDir dir;
  std::string out = dir.Child("err");
  pid_t pid = fork();
  if (pid == 0) {
    FILE* file = fopen(out.c_str(), "w");
    dup2(fileno(file), 2);
    LogEntry("f", 1, LOG_FATAL).stream() << "the end";
    fputs("after\n", stderr);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(pid, waitpid(pid, &status, 0));
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(SIGTRAP, WTERMSIG(status));
  EXPECT_EQ("[MMDD/HHMMSS:FATAL:f(1)] the end\n",
            MaskLogTimes(testing_util::WithoutEmulatorReport(ReadFile(out))));
}

}  // namespace
}  // namespace base
