#include "rollout_bucket.h"

#include <sys/stat.h>

#include <regex>
#include <set>
#include <string>

#include "gtest/gtest.h"
#include "test/test_util.h"
#include "test/updater_test.h"
#include "update_log_sites.h"

namespace {

using testing_util::ProcessResult;

class RolloutRunTest : public UpdateRunTest {
 protected:
  void SetUp() override {
    UpdateRunTest::SetUp();
    WriteInstalled("keltrin", "old binary");
    PublishPackage(MakePackage({{"keltrin", "new binary"}}));
  }

  // Offers 2.0 to |rollout_line| ("rollout=N\n") of installations and runs
  // an installation of 1.0.
  ProcessResult RunOffered(const std::string& rollout_line) {
    PublishManifestText(ManifestText("2.0", rollout_line));
    server_.ClearRequests();
    return RunUpdater("1.0");
  }
  // A state file with |bucket| stored, whose daily check is due, so that
  // the next run saves the file for the check too.
  void StoreBucket(const std::string& bucket) {
    WriteInstalled(kStateFileName,
                   "[main]\nLastUpdateTime=0\nRolloutBucket=" + bucket + "\n");
  }
  // The stored bucket, when it is one or two digits; "" otherwise.
  std::string StoredBucket() const {
    std::smatch match;
    std::string state = ReadInstalled(kStateFileName);
    std::regex line("\nRolloutBucket=([0-9]{1,2})\n");
    return std::regex_search(state, match, line) ? match[1].str() : "";
  }
  testing::AssertionResult HeldBack(const ProcessResult& result,
                                    const std::string& line) {
    if (result.exit_code != 0) {
      return testing::AssertionFailure() << "exit " << result.exit_code;
    }
    if (!PackageRequests().empty()) {
      return testing::AssertionFailure() << "the package was fetched";
    }
    if (ReadInstalled("keltrin") != "old binary") {
      return testing::AssertionFailure() << "the package was installed";
    }
    return LogEndsWith("current version: 2.0, local version: 1.0\n" + line +
                       "\n");
  }
};

TEST_F(RolloutRunTest, OnlyBucketsBelowThePercentageTakeTheUpdate) {
  StoreBucket("42");
  EXPECT_TRUE(HeldBack(RunOffered("rollout=0\n"),
                       "update held back: rollout 0%, bucket 42"));
  EXPECT_TRUE(HeldBack(RunOffered("rollout=42\n"),
                       "update held back: rollout 42%, bucket 42"));
  EXPECT_EQ("42", StoredBucket());
  // Widened on the server: the same package, now for this bucket too.
  ProcessResult result = RunOffered("rollout=43\n");
  EXPECT_EQ(0, result.exit_code);
  EXPECT_EQ("new binary", ReadInstalled("keltrin"));
  EXPECT_EQ("42", StoredBucket());
  EXPECT_NE(std::string::npos,
            ReadInstalled(kStateFileName).find("\nLastUpdateTime="));
  EXPECT_EQ(std::string::npos, Log().find("ERROR"));
}

TEST_F(RolloutRunTest, BucketIsDrawnOnceAndKept) {
  std::set<std::string> drawn;
  for (int installation = 0; installation < 8; ++installation) {
    testing_util::RemoveTree(InstallPath(kStateFileName));
    ProcessResult result = RunOffered("rollout=0\n");
    std::string bucket = StoredBucket();
    ASSERT_NE("", bucket) << ReadInstalled(kStateFileName);
    EXPECT_TRUE(
        HeldBack(result, "update held back: rollout 0%, bucket " + bucket));
    // Later runs keep it.
    RunOffered("rollout=0\n");
    EXPECT_EQ(bucket, StoredBucket());
    drawn.insert(bucket);
  }
  // Eight draws from 100 buckets that all agree would be chance once in
  // 10^14.
  EXPECT_LT(1u, drawn.size());

  // A stored bucket that is no bucket is logged and drawn anew.
  for (const char* stored : {"", "100", "-1", " 5", "4x", "abc"}) {
    StoreBucket(stored);
    ProcessResult result = RunOffered("rollout=0\n");
    EXPECT_EQ(0, result.exit_code) << stored;
    EXPECT_NE(std::string::npos,
              Log().find(UpdateEntry(log_site::kRolloutBucketMalformed,
                                     "rollout bucket is not a number 0 to 99, "
                                     "drawing a new one!")))
        << stored;
    EXPECT_NE("", StoredBucket()) << stored;
  }
}

TEST_F(RolloutRunTest, MalformedPercentagesAndUnkeptBucketsFail) {
  const std::string not_a_percentage =
      UpdateEntry(log_site::kManifestRolloutMalformed,
                  "manifest rollout is not a whole percentage 0 to 100!");
  for (const char* value : {"", "101", "-5", "50%", " 50", "0x10"}) {
    ProcessResult result = RunOffered(std::string("rollout=") + value + "\n");
    EXPECT_EQ(255, result.exit_code) << value;
    EXPECT_TRUE(LogEndsWith(not_a_percentage)) << value;
    EXPECT_TRUE(PackageRequests().empty()) << value;
  }
  // A bucket that cannot be saved would be drawn anew on every run.
  testing_util::RemoveTree(InstallPath(kStateFileName));
  ASSERT_EQ(0, mkdir(InstallPath(kStateFileName).c_str(), 0755));
  ProcessResult result = RunOffered("rollout=50\n");
  EXPECT_EQ(255, result.exit_code);
  EXPECT_TRUE(LogEndsWith(UpdateEntry(
      log_site::kWriteStateFile, "write norvane_upgrade_linux.ini failed!")));
  EXPECT_TRUE(PackageRequests().empty());
}

}  // namespace
