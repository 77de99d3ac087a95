#include <sys/stat.h>

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
  ProcessResult result = testing_util::RunProcess(
      {"sh", "-c", "exec \"$0\" 1.0 \"$1\" 1 <&-", UpdaterPath(),
       install_.path()});
  EXPECT_EQ(std::to_string(result.pid), ReadInstalled("pid"));
  EXPECT_EQ("", result.err);
}

}  // namespace
