#include "daily_check.h"

#include <unistd.h>

#include <string>

#include "gtest/gtest.h"
#include "test/test_util.h"
#include "test/updater_test.h"
#include "update_log_sites.h"

namespace {

using testing_util::FileExists;
using testing_util::MaskLogTimes;
using testing_util::ReadFile;
using testing_util::WriteFile;

const int64_t kNow = 1765000000;

// Runs each case in a fresh working directory, capturing standard error.
class DailyCheckTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(nullptr, getcwd(saved_cwd_, sizeof(saved_cwd_)));
    ASSERT_EQ(0, chdir(dir_.path().c_str()));
  }
  void TearDown() override { ASSERT_EQ(0, chdir(saved_cwd_)); }
  std::string Stderr() { return MaskLogTimes(stderr_.Text()); }
  std::string State() { return ReadFile("norvane_upgrade_linux.ini"); }
  // IsDailyCheckDueAt, which must succeed.
  bool DueAt(int64_t now) {
    bool due = false;
    EXPECT_TRUE(IsDailyCheckDueAt(now, &due));
    return due;
  }

  testing_util::ScopedTempDir dir_;
  testing_util::StderrCapture stderr_;
  char saved_cwd_[4096];
};

TEST_F(DailyCheckTest, MissingStateFileIsLoggedCreatedAndDue) {
  EXPECT_TRUE(DueAt(kNow));
  EXPECT_EQ(UpdateEntry(log_site::kLoadStateFile, "load ini file error!"),
            Stderr());
  EXPECT_EQ("[main]\nLastUpdateTime=1765000000\n", State());
}

TEST_F(DailyCheckTest, DueExactlyOneDayAfterTheStoredTime) {
  struct Case {
    std::string stored;
    bool due;
  } cases[] = {
      {std::to_string(kNow - 86400), true},
      {std::to_string(kNow - 86399), false},
      {std::to_string(kNow), false},
      {std::to_string(kNow + 1), true},  // Clock set back.
      {"", true},
      {"garbage", true},
      {std::to_string(kNow - 10) + "xyz", false},  // Leading digits count.
      {"  " + std::to_string(kNow - 10), false},
  };
  for (const Case& c : cases) {
    std::string before = "[main]\nLastUpdateTime=" + c.stored + "\n";
    WriteFile("norvane_upgrade_linux.ini", before);
    EXPECT_EQ(c.due, DueAt(kNow)) << "stored: " << c.stored;
    EXPECT_EQ(c.due ? "[main]\nLastUpdateTime=1765000000\n" : before, State())
        << "stored: " << c.stored;
  }
  EXPECT_EQ("", Stderr());
}

TEST_F(DailyCheckTest, TimesPast2038AreStoredAndComparedWhole) {
  const int64_t after_2038 = 4102444800;  // 2100-01-01.
  WriteFile(
      "norvane_upgrade_linux.ini",
      "[main]\nLastUpdateTime=" + std::to_string(after_2038 - 100) + "\n");
  EXPECT_FALSE(DueAt(after_2038));
  EXPECT_TRUE(DueAt(after_2038 + 86400));
  EXPECT_EQ("[main]\nLastUpdateTime=4102531200\n", State());
}

TEST_F(DailyCheckTest, OtherSectionsAndKeysAreKeptInWriterOrder) {
  WriteFile("norvane_upgrade_linux.ini",
            "[zeta]\nb=2\na=1\n[Main]\nextra=x\nLastUpdateTime=5\n[Alpha]\n");
  EXPECT_TRUE(DueAt(kNow));
  EXPECT_EQ(
      "[Alpha]\n[Main]\nextra=x\nLastUpdateTime=1765000000\n[zeta]\na=1\nb=2\n",
      State());
}

}  // namespace
