#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <sstream>
#include <string>

#include "gtest/gtest.h"
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
  PublishManifest("2.0");
  // A slow manifest keeps the first updater busy while the second starts.
  server_.SetDelay(kManifestUrlPath, 1500);
  testing_util::ProcessResult result = testing_util::RunProcess(
      {"sh", "-c",
       "\"$0\" 2.0 \"$1\" 1 & a=$!; \"$0\" 2.0 \"$1\" 1 & b=$!;"
       "wait $a; sa=$?; wait $b; sb=$?; echo $a $sa $b $sb",
       UpdaterPath(), install_.path()},
      options_);
  std::istringstream statuses(result.out);
  std::string pid_a, pid_b;
  int status_a = -1, status_b = -1;
  statuses >> pid_a >> status_a >> pid_b >> status_b;
  EXPECT_EQ(255, std::max(status_a, status_b)) << result.out;
  EXPECT_EQ(0, std::min(status_a, status_b)) << result.out;
  EXPECT_EQ(status_a == 0 ? pid_a : pid_b, ReadInstalled("pid"));
  EXPECT_NE(std::string::npos,
            Log().find("current version: 2.0, local version: 2.0\n"));
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
  std::string log = Log();
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
