#include "instance_guard.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "gtest/gtest.h"
#include "test/background_process.h"
#include "test/test_util.h"
#include "test/updater_test.h"
#include "update_log_sites.h"

namespace {

using testing_util::KillProcess;
using testing_util::ProcessResult;
using testing_util::StartProcess;

const std::string kAnotherInstanceEntry =
    UpdateEntry(log_site::kAnotherInstance, "another instance is running!");

TEST(ProcessCommandLineContainsTest, FindsWordAnywhereInTheCommandLine) {
  pid_t pid = StartProcess({"sh", "-c", "sleep 30", "keltrin-browser"});
  ASSERT_GT(pid, 0);
  // Wait until the child has exec'd and shows its new command line.
  ASSERT_TRUE(testing_util::WaitForCommandLine(pid, "sleep 30"));
  EXPECT_TRUE(ProcessCommandLineContains(std::to_string(pid), "keltrin"));
  EXPECT_TRUE(ProcessCommandLineContains(std::to_string(pid), "sh"));
  EXPECT_FALSE(ProcessCommandLineContains(std::to_string(pid), "firefox"));
  KillProcess(pid);
  EXPECT_FALSE(ProcessCommandLineContains(std::to_string(pid), "sh"));
  EXPECT_FALSE(ProcessCommandLineContains("123abc", ""));
  EXPECT_FALSE(ProcessCommandLineContains("self/../1", "norvane_update_bin"));
}

TEST(IsAnotherInstanceRunningTest, OwnPidInThePidFileIsNoOtherInstance) {
  testing_util::ScopedTempDir dir;
  pid_t child = fork();
  if (child == 0) {
    // Run in a child so the lock and working directory stay out of the
    // test process.
    if (chdir(dir.path().c_str()) != 0) _exit(2);
    testing_util::WriteFile("pid", std::to_string(getpid()));
    _exit(IsAnotherInstanceRunning() ? 1 : 0);
  }
  int status = 0;
  ASSERT_EQ(child, waitpid(child, &status, 0));
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(0, WEXITSTATUS(status));
}

class InstanceGuardTest : public UpdaterTest {
 protected:
  // Starts a long-lived process whose command line contains |word|.
  pid_t StartProcessWithWord(const std::string& word) {
    pid_t pid = StartProcess({"sh", "-c", "sleep 60", word});
    started_.push_back(pid);
    EXPECT_TRUE(testing_util::WaitForCommandLine(pid, "sleep 60"));
    return pid;
  }
  void TearDown() override {
    for (pid_t pid : started_) KillProcess(pid);
  }
  // True when the last run passed the guard: its pid is in the pid file.
  bool PassedGuard(const ProcessResult& result) {
    return ReadInstalled("pid") == std::to_string(result.pid) &&
           Log().find("another instance") == std::string::npos;
  }

  std::vector<pid_t> started_;
};

TEST_F(InstanceGuardTest, NoPidFileCreatesOne) {
  EXPECT_TRUE(PassedGuard(RunUpdater("1.0")));
}

TEST_F(InstanceGuardTest, StaleOrUnrelatedPidsDoNotBlock) {
  pid_t unrelated = StartProcessWithWord("some-editor");
  for (const std::string& contents :
       {std::to_string(unrelated), std::string("123abc"), std::string(""),
        std::string("  \n"), std::string("2147483647")}) {
    WriteInstalled("pid", contents);
    EXPECT_TRUE(PassedGuard(RunUpdater("1.0"))) << "pid file: " << contents;
  }
}

TEST_F(InstanceGuardTest, LiveProcessWithUpdaterWordInItsArgumentsBlocks) {
  WriteInstalled("norvane_update.log", "earlier lines of the running one\n");
  std::string pid = std::to_string(StartProcessWithWord("norvane_update_bin"));
  WriteInstalled("pid", pid);
  ProcessResult result = RunUpdater("1.0");
  EXPECT_EQ(255, result.exit_code);
  EXPECT_EQ(pid, ReadInstalled("pid"));
  // The running updater's log is appended to, never wiped.
  EXPECT_EQ("earlier lines of the running one\n" + kAnotherInstanceEntry,
            Log());
}

TEST_F(InstanceGuardTest, LockOnThePidFileBlocksEvenWithAStalePid) {
  WriteInstalled("pid", "123abc");
  pid_t holder = StartProcess({"flock", InstallPath("pid"), "sleep", "60"});
  started_.push_back(holder);
  // flock starts sleep only once it holds the lock.
  ASSERT_TRUE(testing_util::WaitUntil(
      [holder] { return testing_util::HasDescendantNamed(holder, "sleep"); }));
  ProcessResult result = RunUpdater("1.0");
  EXPECT_EQ(255, result.exit_code);
  EXPECT_EQ("123abc", ReadInstalled("pid"));
  EXPECT_EQ(kAnotherInstanceEntry, Log());
}

TEST_F(InstanceGuardTest, PidFileThatCannotBeWrittenFailsWithBothEntries) {
  ASSERT_EQ(0, mkdir(InstallPath("pid").c_str(), 0755));
  ProcessResult result = RunUpdater("1.0");
  EXPECT_EQ(255, result.exit_code);
  EXPECT_EQ(
      UpdateEntry(log_site::kCantWritePidFile, "can't write pid file.") +
          UpdateEntry(log_site::kWritePidFileFailed, "write pid file failed!"),
      Log());
}

}  // namespace
