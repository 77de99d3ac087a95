#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <string>

#include "gtest/gtest.h"
#include "test/background_process.h"
#include "test/test_util.h"
#include "test/updater_test.h"

namespace {

using testing_util::FileExists;
using testing_util::ProcessResult;
using testing_util::ScopedTempDir;

bool IsEmptyDir(const std::string& path) {
  return testing_util::RunProcess({"find", path, "-mindepth", "1"}).out.empty();
}

class DriverTest : public UpdaterTest {};

TEST_F(DriverTest, WrongArgumentCountFailsOnCallersStderrWithoutFiles) {
  ScopedTempDir cwd;
  options_.cwd = cwd.path();
  for (const auto& args : std::vector<std::vector<std::string>>{
           {}, {"1.0", install_.path()}, {"1.0", install_.path(), "1", "x"}}) {
    ProcessResult result = RunUpdaterWithArgs(args);
    EXPECT_TRUE(result.exited);
    EXPECT_EQ(255, result.exit_code);
    EXPECT_EQ("parameter error!\n", result.err);
    EXPECT_EQ("", result.out);
  }
  EXPECT_TRUE(IsEmptyDir(cwd.path()));
  EXPECT_TRUE(IsEmptyDir(install_.path()));
}

TEST_F(DriverTest, MissingInstallationDirectoryFailsWithoutLog) {
  std::string missing = InstallPath("missing");
  ProcessResult result = RunUpdaterWithArgs({"1.0", missing, "1"});
  EXPECT_EQ(255, result.exit_code);
  EXPECT_EQ("can't access " + missing + "\n", result.err);
  EXPECT_TRUE(IsEmptyDir(install_.path()));
}

TEST_F(DriverTest, LogThatCannotBeOpenedEndsTheRunBeforeAnyOtherStep) {
  ASSERT_EQ(0, mkdir(InstallPath("norvane_update.log").c_str(), 0755));
  ProcessResult result = RunUpdater("1.0");
  EXPECT_EQ(255, result.exit_code);
  EXPECT_EQ("can't open norvane_update.log: Is a directory\n", result.err);
  EXPECT_FALSE(FileExists(InstallPath("pid")));
}

TEST_F(DriverTest, RunTruncatesTheOldLogAndWritesItsPid) {
  WriteInstalled("norvane_update.log", "an old log\n");
  ProcessResult result = RunUpdater("1.0");
  EXPECT_EQ(std::to_string(result.pid), ReadInstalled("pid"));
  EXPECT_EQ(std::string::npos, Log().find("an old log"));
  EXPECT_EQ("", result.out);
  EXPECT_EQ("", result.err);
}

TEST_F(DriverTest, WorksWithStandardInputClosed) {
  ProcessResult result =
      testing_util::RunProcess({"sh", "-c", "exec \"$0\" 1.0 \"$1\" 1 <&-",
                                UpdaterPath(), install_.path()});
  EXPECT_EQ(std::to_string(result.pid), ReadInstalled("pid"));
  EXPECT_EQ("", result.err);
}

}  // namespace

namespace {

class DriverRunTest : public UpdateRunTest {};

TEST_F(DriverRunTest, TwoUpdatersStartedTogetherLetExactlyOneProceed) {
  // The one that gets in waits for the browser until the other has ended,
  // however slow the machine: neither can finish before the other starts.
  PublishManifest("2.0");
  PublishPackage(MakePackage({{"keltrin", "new"}}));
  testing_util::BackgroundRun browser({"sh", "-c", "sleep 600", "keltrin"},
                                      testing_util::RunOptions());
  ASSERT_TRUE(testing_util::WaitForCommandLine(browser.pid(), "sleep 600"));
  const std::vector<std::string> command = {
      UpdaterPath(), "1.0", install_.path(), std::to_string(browser.pid())};
  const pid_t updaters[2] = {testing_util::StartProcess(command, options_),
                             testing_util::StartProcess(command, options_)};
  int status = 0;
  pid_t first_out = -1;
  ASSERT_TRUE(testing_util::WaitUntil([&] {
    for (pid_t pid : updaters) {
      if (waitpid(pid, &status, WNOHANG) == pid) first_out = pid;
    }
    return first_out != -1;
  }));
  const pid_t proceeding = first_out == updaters[0] ? updaters[1] : updaters[0];
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 255);
  browser.KillWithDescendants();
  ASSERT_TRUE(testing_util::WaitUntil(
      [&] { return waitpid(proceeding, &status, WNOHANG) == proceeding; }));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  // Read once the run that got in has ended: the other may have been turned
  // away before that run had written its id.
  EXPECT_EQ(std::to_string(proceeding), ReadInstalled("pid"));
  // The entry of the run turned away is not asserted: the run that got in
  // empties the log once it holds the lock, which may come after that entry.
  EXPECT_TRUE(LogEndsWith("\nupdate successful!\n"));
}

TEST_F(DriverRunTest, FailedAllocationEndsTheRunBySigtrapWithItsEntryLast) {
#if !defined(NORVANE_FAILING_ALLOCATOR)
  GTEST_SKIP() << "AddressSanitizer owns the allocator in this build";
#else
  // Reading a manifest of half a megabyte needs a block that size, which an
  // exhausted address space cannot give.
  PublishManifestText("[ubuntu_debian_i686]\nversion=2.0\n" +
                      std::string(512 << 10, 'x'));
  options_.set_env.push_back(std::string("LD_PRELOAD=") +
                             NORVANE_FAILING_ALLOCATOR);
  options_.set_env.push_back("NORVANE_FAIL_ALLOCATIONS_OVER=262144");
  testing_util::ProcessResult result = RunUpdater("2.0");
  EXPECT_FALSE(result.exited);
  EXPECT_EQ(SIGTRAP, result.term_signal);
  std::string log = testing_util::WithoutEmulatorReport(Log());
  std::string last_line = log.substr(log.rfind('\n', log.size() - 2) + 1);
  const std::string entry =
      "[MMDD/HHMMSS:FATAL:base/process_util_linux(505)] "
      "Check failed: false. Out of memory, size = ";
  ASSERT_EQ(0u, last_line.rfind(entry, 0)) << last_line;
  std::string size = last_line.substr(entry.size());
  EXPECT_EQ(size.size() - 1, size.find_first_not_of("0123456789")) << size;
  EXPECT_EQ("\n", size.substr(size.size() - 1));
#endif
}

}  // namespace
