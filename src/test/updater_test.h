#ifndef TEST_UPDATER_TEST_H_
#define TEST_UPDATER_TEST_H_

#include <dirent.h>
#include <sodium.h>
#include <stdio.h>

#include <algorithm>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "test/test_util.h"
#include "test/update_server.h"
#include "update_log_sites.h"
#include "update_settings.h"

// The entry that the update run writes at |site| with |message|, its time
// masked: every message of the run ends with a line end of its own, so an
// empty line follows.
inline std::string UpdateEntry(const log_site::Site& site,
                               const std::string& message) {
  return std::string("[MMDD/HHMMSS:ERROR:") + site.file + "(" +
         std::to_string(site.line) + ")] " + message + "\n\n";
}

// Fixture for tests that run the real updater executable (built against the
// local test server) on a fresh installation directory.
class UpdaterTest : public testing::Test {
 protected:
  static std::string UpdaterPath() { return NORVANE_E2E_BINARY; }

  // Runs the updater with the browser's three arguments and options_.
  testing_util::ProcessResult RunUpdater(
      const std::string& version,
      const std::string& browser_pid = "999999999") {
    return RunUpdaterWithArgs({version, install_.path(), browser_pid});
  }
  testing_util::ProcessResult RunUpdaterWithArgs(
      const std::vector<std::string>& args) {
    std::vector<std::string> argv = {updater_path_};
    argv.insert(argv.end(), args.begin(), args.end());
    return testing_util::RunProcess(argv, options_);
  }

  std::string InstallPath(const std::string& name) const {
    return install_.Child(name);
  }
  std::string ReadInstalled(const std::string& name) const {
    return testing_util::ReadFile(install_.Child(name));
  }
  void WriteInstalled(const std::string& name, const std::string& contents) {
    testing_util::WriteFile(install_.Child(name), contents);
  }
  // The run's log with its timestamps masked.
  std::string Log() const {
    return testing_util::MaskLogTimes(ReadInstalled(kLogFileName));
  }
  bool LogHas(const std::string& text) const {
    return ReadInstalled(kLogFileName).find(text) != std::string::npos;
  }
  // Whether the log ends with |expected| (times masked). Only the tail is
  // masked, so megabytes of tar listings cost nothing.
  testing::AssertionResult LogEndsWith(const std::string& expected) const {
    std::string log = ReadInstalled(kLogFileName);
    std::string tail = testing_util::MaskLogTimes(
        log.substr(log.size() - std::min(expected.size(), log.size())));
    if (tail == expected) return testing::AssertionSuccess();
    return testing::AssertionFailure() << "the log ends with\n"
                                       << tail << "\ninstead of\n"
                                       << expected;
  }

  // The names of the temporary directories the updater left under its
  // TMPDIR, sorted.
  std::vector<std::string> LeftTempDirs() const;

  // The updater executable that RunUpdater runs.
  std::string updater_path_ = UpdaterPath();
  testing_util::ScopedTempDir install_;
  // Private temporary root of the updater, so nothing is left in /tmp.
  testing_util::ScopedTempDir tmp_;
  testing_util::RunOptions options_ = TempRootOptions(tmp_.path());

 private:
  static testing_util::RunOptions TempRootOptions(const std::string& root) {
    testing_util::RunOptions options;
    options.set_env = {"TMPDIR=" + root};
    return options;
  }
};

// Adds the local update server that the end-to-end updater talks to, with
// helpers to publish manifests and packages on it.
class UpdateRunTest : public UpdaterTest {
 protected:
  static constexpr char kPackagePath[] = "/packages/keltrin.tar.gz";

  void SetUp() override {
    testing_util::RunProcess(
        {"mkdir", "-p", root_.Child("update"), root_.Child("packages")});
    testing_util::WriteFile(root_.Child(kCheckUrlPath), "check\n");
    ASSERT_TRUE(server_.Start(NORVANE_TEST_SERVER_PORT));
  }

  // Serves a manifest offering |version| with the package at kPackagePath.
  void PublishManifest(const std::string& version) {
    PublishManifestText(ManifestText(version));
  }
  // The text of that manifest, with |extra_lines| after the "url" line.
  std::string ManifestText(const std::string& version,
                           const std::string& extra_lines = "") {
    return "[ubuntu_debian_i686]\nversion=" + version +
           "\nurl=" + server_.Url(kPackagePath) + "\n" + extra_lines;
  }
  void PublishManifestText(const std::string& text) {
    testing_util::WriteFile(root_.Child(kManifestUrlPath), text);
  }

  // Makes a gzip-compressed tar archive of |files| (relative path, contents)
  // and returns its bytes.
  static std::string MakePackage(
      const std::vector<std::pair<std::string, std::string>>& files) {
    testing_util::ScopedTempDir staging;
    std::vector<std::string> mkdir = {"mkdir", "-p"};
    for (const auto& file : files) {
      std::string full = staging.Child(file.first);
      mkdir.push_back(full.substr(0, full.rfind('/')));
    }
    testing_util::RunProcess(mkdir);
    for (const auto& [path, contents] : files) {
      testing_util::WriteFile(staging.Child(path), contents);
    }
    std::string archive = staging.path() + ".tar.gz";
    testing_util::ProcessResult result = testing_util::RunProcess(
        {"sh", "-c", "cd \"$0\" && tar -czf \"$1\" $(ls -A)", staging.path(),
         archive});
    EXPECT_EQ(0, result.exit_code) << result.err;
    std::string bytes = testing_util::ReadFile(archive);
    testing_util::RunProcess({"rm", "-f", archive});
    return bytes;
  }
  // Serves |bytes| at kPackagePath.
  void PublishPackage(const std::string& bytes) {
    testing_util::WriteFile(root_.Child(kPackagePath), bytes);
  }
  // Leaves |bytes| in the package file as an earlier run that fetched the
  // package at kPackagePath would have, with |record_lines| ("sha256=...",
  // "size=...") in its record.
  void PlantPackage(const std::string& bytes,
                    const std::string& record_lines = "") {
    WriteInstalled(kPackageFileName, bytes);
    WriteInstalled(
        kPackageRecordFileName,
        "[package]\nurl=" + server_.Url(kPackagePath) + "\n" + record_lines);
  }
  std::vector<testing_util::ServedRequest> PackageRequests() const {
    return server_.RequestsFor(kPackagePath);
  }
  // The entry of a failed package download.
  std::string PackageDownloadEntry() const {
    return UpdateEntry(log_site::kDownloadPackage,
                       "download " + server_.Url(kPackagePath) + " error!");
  }

  // The SHA-256 digest of |bytes| in lower-case hex, computed here rather
  // than by the code under test.
  static std::string Sha256HexOf(const std::string& bytes) {
    unsigned char digest[crypto_hash_sha256_BYTES];
    crypto_hash_sha256(digest,
                       reinterpret_cast<const unsigned char*>(bytes.data()),
                       bytes.size());
    std::string hex;
    for (unsigned char byte : digest) {
      char pair[3];
      snprintf(pair, sizeof(pair), "%02x", byte);
      hex += pair;
    }
    return hex;
  }

  testing_util::ScopedTempDir root_;
  testing_util::UpdateServer server_{root_.path()};
};

inline std::vector<std::string> UpdaterTest::LeftTempDirs() const {
  std::vector<std::string> names;
  DIR* stream = opendir(tmp_.path().c_str());
  while (struct dirent* entry = stream ? readdir(stream) : nullptr) {
    if (entry->d_name[0] != '.') names.push_back(entry->d_name);
  }
  if (stream) closedir(stream);
  std::sort(names.begin(), names.end());
  return names;
}

#endif  // TEST_UPDATER_TEST_H_
