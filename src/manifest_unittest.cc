#include "manifest.h"

#include <string>

#include "gtest/gtest.h"
#include "test/updater_test.h"
#include "update_log_sites.h"

namespace {

using testing_util::ProcessResult;

class ManifestRunTest : public UpdateRunTest {
 protected:
  std::string ManifestUrl() { return server_.Url(kManifestUrlPath); }
};

TEST_F(ManifestRunTest, CurrentInstallationEndsWithZeroAfterTheVersionLine) {
  PublishManifest("2.0");
  ProcessResult result = RunUpdater("2.0");
  EXPECT_EQ(0, result.exit_code);
  EXPECT_EQ(std::to_string(result.pid), ReadInstalled("pid"));
  EXPECT_EQ("check\n", ReadInstalled("norvane_check_linux.ini"));
  EXPECT_EQ(testing_util::ReadFile(root_.Child(kManifestUrlPath)),
            ReadInstalled("norvane_update_linux.ini"));
  std::string log = Log();
  EXPECT_EQ(0u, log.find(UpdateEntry(log_site::kLoadStateFile,
                                     "load ini file error!")));
  EXPECT_NE(std::string::npos,
            log.find("\ncurrent version: 2.0, local version: 2.0\n"));
  EXPECT_EQ((std::vector<std::string>{kCheckUrlPath, kManifestUrlPath}),
            server_.RequestedPaths());
  EXPECT_EQ(std::string::npos, log.find("update successful"));

  // The same day the check file is not fetched again; the manifest is.
  server_.ClearRequests();
  WriteInstalled("norvane_update_linux.ini", "stale");
  result = RunUpdater("2.0.1");
  EXPECT_EQ(0, result.exit_code);
  EXPECT_EQ(std::vector<std::string>{kManifestUrlPath},
            server_.RequestedPaths());
  EXPECT_EQ(std::string::npos, Log().find("load ini file error"));
  EXPECT_NE(std::string::npos,
            Log().find("current version: 2.0, local version: 2.0.1\n"));
}

TEST_F(ManifestRunTest, FailedManifestDownloadIsLoggedWithCurlsText) {
  server_.SetErrorStatus(kManifestUrlPath, 404);
  ProcessResult result = RunUpdater("1.0");
  EXPECT_EQ(255, result.exit_code);
  EXPECT_TRUE(
      LogEndsWith("HTTP response code said error\n" +
                  UpdateEntry(log_site::kDownloadManifest,
                              "download " + ManifestUrl() + " error!")));
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
    EXPECT_TRUE(LogEndsWith(
        UpdateEntry(log_site::kManifestVersion, "get version number error!")))
        << manifest;
  }
}

TEST_F(ManifestRunTest, VersionsAreComparedByComponents) {
  struct Case {
    std::string local, server;
    bool update;
  } cases[] = {
      {"2.0", "2.0.1", true},
      {"2.0.1", "2.0", false},
      {"1.9", "1.10", true},
      {"1.10", "1.9", false},
      {"", "0.1", true},
      // Blanks and tabs around the server's version do not count.
      {"2.0", " 2.1", true},
      {"2.0", "2.0 ", false},
      {"2.0", "\t2.0.1\t", true},
  };
  for (const Case& c : cases) {
    PublishManifestText("[ubuntu_debian_i686]\nversion=" + c.server +
                        "\nurl=" + server_.Url("/missing.tar.gz") + "\n");
    server_.ClearRequests();
    ProcessResult result = RunUpdater(c.local);
    EXPECT_NE(std::string::npos,
              Log().find("current version: " + c.server +
                         ", local version: " + c.local + "\n"));
    bool fetched_package = !server_.RequestsFor("/missing.tar.gz").empty();
    EXPECT_EQ(c.update, fetched_package) << c.local << " vs " << c.server;
    EXPECT_EQ(c.update ? 255 : 0, result.exit_code);
  }
}

TEST_F(ManifestRunTest, ExpiryIsHonouredWhenTheManifestHasOne) {
  PublishManifestText(ManifestText("2.0", "expires=2020-01-01T00:00:00Z\n"));
  EXPECT_EQ(255, RunUpdater("2.0").exit_code);
  EXPECT_TRUE(
      LogEndsWith(UpdateEntry(log_site::kManifestExpired,
                              "manifest expired at 2020-01-01T00:00:00Z!")));
  // An unsigned manifest never moves the signed builds' record.
  PublishManifestText(ManifestText("2.0", "issued=2030-01-01T00:00:00Z\n"));
  EXPECT_EQ(0, RunUpdater("2.0").exit_code);
  EXPECT_EQ(std::string::npos,
            ReadInstalled(kStateFileName).find("AcceptedVersion"));
  EXPECT_EQ(std::string::npos,
            ReadInstalled(kStateFileName).find("ManifestIssued"));
  // Its issue mark is optional, but must be a time when it is there.
  PublishManifestText(ManifestText("2.0", "issued=2030-01-01\n"));
  EXPECT_EQ(255, RunUpdater("2.0").exit_code);
  EXPECT_TRUE(LogEndsWith(
      UpdateEntry(log_site::kManifestIssuedMalformed,
                  "manifest issued is not a time like 2026-12-31T00:00:00Z!")));
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
