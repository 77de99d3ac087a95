#include "manifest.h"

#include <string>

#include "gtest/gtest.h"
#include "test/updater_test.h"

namespace {

int Sign(int value) { return (value > 0) - (value < 0); }

TEST(CompareVersionsTest, OrdersVersionsByComponents) {
  struct Case {
    const char* a;
    const char* b;
    int expected;  // Sign of CompareVersions(a, b).
  } cases[] = {
      {"2.0", "2.0", 0},
      {"2.0", "2.0.1", -1},
      {"2.0.1", "2.0", 1},
      {"1.10", "1.9", 1},  // Numbers, not bytes: 10 > 9.
      {"1.9", "1.10", -1},
      {"", "1.0", -1},
      {"", "", 0},
      {"", ".", -1},
      {"1.0", "01.00", 0},  // Leading zeros do not count.
      {"2.0.0", "2.0", 1},  // More components, all shared equal.
      {"99999999999999999999999", "99999999999999999999998",
       1},                   // No overflow.
      {"1.2a", "1.2b", -1},  // Non-numeric components compare as bytes.
      {"1.2", "1.2a", -1},
      {"1.\x80", "1.z", 1},  // Bytes from 0x80 up sort above ASCII.
      {" 2.1", "2.0", -1},   // A blank is no digit: compared as bytes.
      {"10.0", "9.9", 1},
      {"3.0.10", "3.0.9", 1},
      {"2.0rc10", "2.0rc9", 1},  // Digit runs inside a component are numbers.
      {"2.0rc1", "2.0", 1},
      {"1.2-!", "1.2-1", -1},  // "!" sorts below the digits, "a" above.
      {"1.2-a", "1.2-1", 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.expected, Sign(CompareVersions(c.a, c.b)))
        << '"' << c.a << "\" vs \"" << c.b << '"';
    EXPECT_EQ(-c.expected, Sign(CompareVersions(c.b, c.a)))
        << '"' << c.b << "\" vs \"" << c.a << '"';
  }
}

TEST(CompareVersionsTest, IsTransitiveAcrossNumbersAndOtherText) {
  // Compared as plain bytes, "1a" < "9" and "10" < "1a", but 9 < 10.
  const char* sorted[] = {"!", "1", "1a", "9", "9a", "10", "10a", "a", "\xff"};
  for (size_t i = 0; i < std::size(sorted); ++i) {
    for (size_t j = 0; j < std::size(sorted); ++j) {
      EXPECT_EQ(Sign(static_cast<int>(i) - static_cast<int>(j)),
                Sign(CompareVersions(sorted[i], sorted[j])))
          << sorted[i] << " vs " << sorted[j];
    }
  }
}

TEST(CompareVersionsTest, AgreesWithByteOrderWhereDigitCountsMatch) {
  const char* versions[] = {"1.0",   "1.1",   "1.9", "2.0", "2.0.1",
                            "2.1.0", "10.00", "2.a", "2.b", ""};
  for (const char* a : versions) {
    for (const char* b : versions) {
      std::string sa(a), sb(b);
      bool same_shape = sa.size() == sb.size() &&
                        sa.find('.') == sb.find('.') &&
                        sa.rfind('.') == sb.rfind('.');
      if (!same_shape) continue;
      EXPECT_EQ(Sign(sa.compare(sb)), Sign(CompareVersions(sa, sb)))
          << a << " vs " << b;
    }
  }
}

}  // namespace

namespace {

using testing_util::ProcessResult;

class ManifestRunTest : public UpdateRunTest {
 protected:
  std::vector<std::string> RequestedPaths() {
    std::vector<std::string> paths;
    for (const auto& request : server_.Requests())
      paths.push_back(request.path);
    return paths;
  }
  std::string ManifestUrl() { return server_.Url(kManifestPath); }
};

TEST_F(ManifestRunTest, CurrentInstallationEndsWithZeroAfterTheVersionLine) {
  PublishManifest("2.0");
  ProcessResult result = RunUpdater("2.0");
  EXPECT_EQ(0, result.exit_code);
  EXPECT_EQ(std::to_string(result.pid), ReadInstalled("pid"));
  EXPECT_EQ("check\n", ReadInstalled("norvane_check_linux.ini"));
  EXPECT_EQ(testing_util::ReadFile(root_.Child(kManifestPath)),
            ReadInstalled("norvane_update_linux.ini"));
  std::string log = Log();
  EXPECT_EQ(0u, log.find("[MMDD/HHMMSS:ERROR:norvane_update(48)] load ini "
                         "file error!\n\n"));
  EXPECT_NE(std::string::npos,
            log.find("\ncurrent version: 2.0, local version: 2.0\n"));
  EXPECT_EQ((std::vector<std::string>{kCheckPath, kManifestPath}),
            RequestedPaths());
  EXPECT_EQ(std::string::npos, log.find("update successful"));

  // The same day the check file is not fetched again; the manifest is.
  server_.ClearRequests();
  WriteInstalled("norvane_update_linux.ini", "stale");
  result = RunUpdater("2.0.1");
  EXPECT_EQ(0, result.exit_code);
  EXPECT_EQ(std::vector<std::string>{kManifestPath}, RequestedPaths());
  EXPECT_EQ(std::string::npos, Log().find("load ini file error"));
  EXPECT_NE(std::string::npos,
            Log().find("current version: 2.0, local version: 2.0.1\n"));
}

TEST_F(ManifestRunTest, FailedManifestDownloadIsLoggedWithCurlsText) {
  server_.SetErrorStatus(kManifestPath, 404);
  ProcessResult result = RunUpdater("1.0");
  EXPECT_EQ(255, result.exit_code);
  std::string log = Log();
  std::string expected_end =
      "HTTP response code said error\n"
      "[MMDD/HHMMSS:ERROR:norvane_update(150)] download " +
      ManifestUrl() + " error!\n\n";
  ASSERT_GE(log.size(), expected_end.size());
  EXPECT_EQ(expected_end, log.substr(log.size() - expected_end.size()));
  EXPECT_EQ("", ReadInstalled("norvane_update_linux.ini"));
}

TEST_F(ManifestRunTest, ManifestWithoutVersionFails) {
  for (const std::string& manifest :
       {std::string(""), std::string("[ubuntu_debian_i686]\nversion=\n"),
        std::string("[other]\nversion=2.0\n"),
        std::string("version=2.0\n[ubuntu_debian_i686]\n")}) {
    PublishManifestText(manifest);
    ProcessResult result = RunUpdater("1.0");
    EXPECT_EQ(255, result.exit_code) << manifest;
    std::string log = Log();
    std::string entry =
        "[MMDD/HHMMSS:ERROR:norvane_update(163)] get version number error!\n\n";
    EXPECT_EQ(entry,
              log.substr(log.size() - std::min(log.size(), entry.size())))
        << manifest;
  }
}

TEST_F(ManifestRunTest, VersionsAreComparedByComponents) {
  struct Case {
    std::string local, server;
    bool update;
  } cases[] = {
      {"2.0", "2.0.1", true}, {"2.0.1", "2.0", false}, {"1.9", "1.10", true},
      {"1.10", "1.9", false}, {"", "0.1", true},       {"2.0", " 2.1", false},
  };
  for (const Case& c : cases) {
    PublishManifestText("[ubuntu_debian_i686]\nversion=" + c.server +
                        "\nurl=" + server_.Url("/missing.tar.gz") + "\n");
    server_.ClearRequests();
    ProcessResult result = RunUpdater(c.local);
    EXPECT_NE(std::string::npos,
              Log().find("current version: " + c.server +
                         ", local version: " + c.local + "\n"));
    bool fetched_package = false;
    for (const auto& request : server_.Requests()) {
      fetched_package |= request.path == "/missing.tar.gz";
    }
    EXPECT_EQ(c.update, fetched_package) << c.local << " vs " << c.server;
    EXPECT_EQ(c.update ? 255 : 0, result.exit_code);
  }
}

TEST_F(ManifestRunTest, NonAsciiBytesInTheManifestDoNotHideTheVersion) {
  PublishManifestText(
      "[ubuntu_debian_i686]\n# caf\xc3\xa9 \xff\xfe\nversion=2.0\n");
  ProcessResult result = RunUpdater("2.0");
  EXPECT_EQ(0, result.exit_code);
  EXPECT_NE(std::string::npos,
            Log().find("current version: 2.0, local version: 2.0\n"));
}

}  // namespace
