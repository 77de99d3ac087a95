#include "rollout_bucket.h"

#include <sys/stat.h>

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

  // Offers 2.0 to |percent| of installations and runs an installation of
  // 1.0.
  ProcessResult RunOffered(const std::string& percent) {
    PublishManifestText(ManifestText("2.0", "rollout=" + percent + "\n"));
    server_.ClearRequests();
    return RunUpdater("1.0");
  }
  // Expects the last run to have ended as current with |line| last.
  void ExpectHeldBack(const ProcessResult& result, const std::string& line) {
    EXPECT_EQ(0, result.exit_code);
    EXPECT_TRUE(LogEndsWith("local version: 1.0\n" + line + "\n"));
    EXPECT_TRUE(PackageRequests().empty());
    EXPECT_EQ("old binary", ReadInstalled("keltrin"));
  }
  // A state file holding |bucket|, whose daily check is due, so that the
  // check saves the file too.
  void StoreBucket(const std::string& bucket) {
    WriteInstalled(kStateFileName,
                   "[main]\nLastUpdateTime=0\nRolloutBucket=" + bucket + "\n");
  }
  // The stored bucket when it is one or two digits, else "".
  std::string StoredBucket() const {
    std::string state = ReadInstalled(kStateFileName);
    size_t start = state.find("\nRolloutBucket=");
    if (start == std::string::npos) return "";
    start += 15;
    std::string bucket = state.substr(start, state.find('\n', start) - start);
    bool digits = !bucket.empty() && bucket.size() <= 2 &&
                  bucket.find_first_not_of("0123456789") == std::string::npos;
    return digits ? bucket : "";
  }
};

TEST_F(RolloutRunTest, OnlyBucketsBelowThePercentageTakeTheUpdate) {
  StoreBucket("42");
  ExpectHeldBack(RunOffered("0"), "update held back: rollout 0%, bucket 42");
  ExpectHeldBack(RunOffered("42"), "update held back: rollout 42%, bucket 42");
  // Widened on the server: the same package, now for this bucket too.
  EXPECT_EQ(0, RunOffered("43").exit_code);
  EXPECT_EQ("new binary", ReadInstalled("keltrin"));
  EXPECT_EQ("42", StoredBucket());
  EXPECT_NE(std::string::npos,
            ReadInstalled(kStateFileName).find("\nLastUpdateTime="));
  EXPECT_EQ(std::string::npos, Log().find("ERROR"));
}

TEST_F(RolloutRunTest, BucketIsDrawnOnceAndKeptOrTheRunFails) {
  std::set<std::string> drawn;
  for (int installation = 0; installation < 5; ++installation) {
    testing_util::RemoveTree(InstallPath(kStateFileName));
    ProcessResult result = RunOffered("0");
    std::string bucket = StoredBucket();
    ASSERT_NE("", bucket) << ReadInstalled(kStateFileName);
    ExpectHeldBack(result, "update held back: rollout 0%, bucket " + bucket);
    RunOffered("0");
    EXPECT_EQ(bucket, StoredBucket());
    drawn.insert(bucket);
  }
  // Five equal draws from 100 buckets would happen once in 10^8.
  EXPECT_LT(1u, drawn.size());

  for (const char* stored : {"", "100", " 5", "abc"}) {
    StoreBucket(stored);
    EXPECT_EQ(0, RunOffered("0").exit_code) << stored;
    EXPECT_NE(std::string::npos,
              Log().find(UpdateEntry(log_site::kRolloutBucketMalformed,
                                     "rollout bucket is not a number 0 to 99, "
                                     "drawing a new one!")))
        << stored;
    EXPECT_NE("", StoredBucket()) << stored;
  }
  // A bucket that cannot be saved would be drawn anew on every run.
  testing_util::RemoveTree(InstallPath(kStateFileName));
  ASSERT_EQ(0, mkdir(InstallPath(kStateFileName).c_str(), 0755));
  EXPECT_EQ(255, RunOffered("50").exit_code);
  EXPECT_TRUE(LogEndsWith(UpdateEntry(
      log_site::kWriteStateFile, "write norvane_upgrade_linux.ini failed!")));
  EXPECT_TRUE(PackageRequests().empty());
}

}  // namespace
