#include "base/debug_util.h"

#include <errno.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "base/logging.h"
#include "gtest/gtest.h"
#include "test/scoped_log_settings.h"
#include "test/test_util.h"

namespace base {
namespace {

using testing_util::FileExists;
using testing_util::MaskLogTimes;
using testing_util::ReadFile;
using testing_util::RunTraced;
using testing_util::ScopedTempDir;
using testing_util::StderrCapture;
using testing_util::WriteFile;

struct StatusCase {
  const char* name;
  std::string text;
  bool traced;
};

TEST(DebugUtilTest, TracerFieldDecidesWithinTheFirst1024Bytes) {
  const std::string kHead = "Name:\tkeltrin\nState:\tS (sleeping)\n";
  const std::string kFiller(1100, 'x');
  // Places "TracerPid:\t" so that its value is byte |offset| of the file.
  auto value_at = [](size_t offset, const std::string& value) {
    std::string text(offset - 11, 'x');
    return text + "TracerPid:\t" + value;
  };
  const StatusCase kCases[] = {
      {"no tracer", kHead + "TracerPid:\t0\nUid:\t0\n", false},
      {"tracer", kHead + "TracerPid:\t812\nUid:\t0\n", true},
      {"field at the end", kHead + "TracerPid:\t", false},
      {"field beyond the first read", kFiller + "\nTracerPid:\t812\n", false},
      {"value is the last byte read", value_at(1023, "812\n"), true},
      {"value is just past the bytes read", value_at(1024, "812\n"), false},
      {"no field", kHead, false},
      {"no tab after the colon", kHead + "TracerPid: 812\n", false},
      {"empty file", "", false},
  };
  for (const StatusCase& test : kCases) {
    SCOPED_TRACE(test.name);
    ScopedTempDir dir;
    WriteFile(dir.Child("status"), test.text);
    EXPECT_EQ(test.traced,
              internal::StatusFileShowsTracer(dir.Child("status").c_str()));
  }
}

TEST(DebugUtilTest, UnreadableStatusFileMeansNoDebugger) {
  ScopedTempDir dir;
  EXPECT_FALSE(internal::StatusFileShowsTracer(dir.Child("missing").c_str()));
}

TEST(DebugUtilTest, SeesARealTracerAndReturnsFromTheTrapUnderIt) {
  int traps = 0;
  int status = RunTraced(
      [] {
        bool attached = DebugUtil::IsDebuggerAttached();
        DebugUtil::TrapToDebugger();
        _exit(attached ? 0 : 1);
      },
      [&traps] { ++traps; });
  if (WIFEXITED(status) && WEXITSTATUS(status) == testing_util::kCannotTrace) {
    GTEST_SKIP() << (testing_util::UnderEmulation()
                         ? "qemu's user emulation does not offer ptrace"
                         : "ptrace is not permitted here");
  }
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(0, WEXITSTATUS(status));
  EXPECT_EQ(1, traps);
}

TEST(DebugUtilTest, UntracedProcessSeesNoDebugger) {
  pid_t pid = fork();
  if (pid == 0) _exit(DebugUtil::IsDebuggerAttached() ? 1 : 0);
  int status = 0;
  ASSERT_EQ(pid, waitpid(pid, &status, 0));
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(0, WEXITSTATUS(status));
}

TEST(DebugUtilTest, TrapEndsAnUndebuggedProcessBySigtrap) {
  enum Setup { kDefault, kIgnored, kBlocked };
  for (Setup setup : {kDefault, kIgnored, kBlocked}) {
    SCOPED_TRACE(setup);
    pid_t pid = fork();
    if (pid == 0) {
      testing_util::DisableCoreDumps();
      if (setup == kIgnored) signal(SIGTRAP, SIG_IGN);
      if (setup == kBlocked) {
        sigset_t trap;
        sigemptyset(&trap);
        sigaddset(&trap, SIGTRAP);
        sigprocmask(SIG_BLOCK, &trap, nullptr);
      }
      DebugUtil::TrapToDebugger();
      _exit(0);
    }
    int status = 0;
    ASSERT_EQ(pid, waitpid(pid, &status, 0));
    ASSERT_TRUE(WIFSIGNALED(status)) << status;
    EXPECT_EQ(SIGTRAP, WTERMSIG(status));
  }
}

// Puts a stand-in "xmessage" that records its arguments first on the search
// path for the lifetime of the object.
class FakeXmessage {
 public:
  FakeXmessage() : saved_path_(getenv("PATH") ? getenv("PATH") : "") {
    std::string script = dir_.Child("xmessage");
    WriteFile(script,
              "#!/bin/sh\n"
              "{ echo \"$#\"; for arg; do echo \"<$arg>\"; done; } > \"" +
                  args_path() +
                  ".part\"\n"
                  "mv \"" +
                  args_path() + ".part\" \"" + args_path() + "\"\n");
    chmod(script.c_str(), 0700);
    setenv("PATH", (dir_.path() + ":" + saved_path_).c_str(), 1);
  }
  ~FakeXmessage() { setenv("PATH", saved_path_.c_str(), 1); }

  std::string args_path() const { return dir_.Child("args"); }

 private:
  ScopedTempDir dir_;
  std::string saved_path_;
};

class ReportTest : public testing::Test {
 protected:
  testing_util::ScopedLogSettings saved_;
};

TEST_F(ReportTest, ReportStatementShowsItsTextAndWaitsForTheWindow) {
  FakeXmessage xmessage;
  StderrCapture capture;
  LogEntry("f", 3, LOG_ERROR_REPORT).stream() << "report me";
  capture.Restore();
  // The window program has ended and has been reaped.
  EXPECT_EQ("1\n<[MMDD/HHMMSS:ERROR_REPORT:f(3)] report me>\n",
            MaskLogTimes(ReadFile(xmessage.args_path())));
  errno = 0;
  EXPECT_EQ(-1, waitpid(-1, nullptr, WNOHANG));
  EXPECT_EQ(ECHILD, errno);
  EXPECT_EQ("[MMDD/HHMMSS:ERROR_REPORT:f(3)] report me\n",
            MaskLogTimes(capture.Text()));
}

TEST_F(ReportTest, ReportHookReplacesTheWindow) {
  FakeXmessage xmessage;
  testing_util::ScopedLogSettings hooked(
      testing_util::ScopedLogSettings::kReported);
  StderrCapture capture;
  LogEntry("f", 4, LOG_ERROR_REPORT).stream() << "hooked";
  EXPECT_EQ(std::vector<std::string>{"[MMDD/HHMMSS:ERROR_REPORT:f(4)] hooked"},
            hooked.texts());
  EXPECT_FALSE(FileExists(xmessage.args_path()));
}

TEST_F(ReportTest, EmptyTextShowsNoWindow) {
  FakeXmessage xmessage;
  ShowMessageWindow("");
  EXPECT_FALSE(FileExists(xmessage.args_path()));
}

TEST_F(ReportTest, MissingWindowProgramLeavesOnlyTheChildsFailureLine) {
  ScopedTempDir empty;
  std::string saved_path = getenv("PATH") ? getenv("PATH") : "";
  setenv("PATH", empty.path().c_str(), 1);
  StderrCapture capture;
  LogEntry("f", 5, LOG_ERROR_REPORT).stream() << "nobody sees this";
  setenv("PATH", saved_path.c_str(), 1);
  EXPECT_EQ(
      "[MMDD/HHMMSS:ERROR_REPORT:f(5)] nobody sees this\n"
      "[MMDD/HHMMSS:ERROR:base/process_util_posix(443)] LaunchApp: "
      "execvp(xmessage) failed: No such file or directory\n",
      MaskLogTimes(capture.Text()));
}

}  // namespace
}  // namespace base
