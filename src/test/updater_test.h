#ifndef TEST_UPDATER_TEST_H_
#define TEST_UPDATER_TEST_H_

#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "test/test_util.h"

// Fixture for tests that run the real updater executable (built against the
// local test server) on a fresh installation directory.
class UpdaterTest : public testing::Test {
 protected:
  static std::string UpdaterPath() { return NORVANE_E2E_BINARY; }

  // Runs the updater with the browser's three arguments.
  testing_util::ProcessResult RunUpdater(
      const std::string& version, const std::string& browser_pid = "999999999",
      testing_util::RunOptions options = testing_util::RunOptions()) {
    return testing_util::RunProcess(
        {UpdaterPath(), version, install_.path(), browser_pid}, options);
  }
  testing_util::ProcessResult RunUpdaterWithArgs(
      const std::vector<std::string>& args,
      testing_util::RunOptions options = testing_util::RunOptions()) {
    std::vector<std::string> argv = {UpdaterPath()};
    argv.insert(argv.end(), args.begin(), args.end());
    return testing_util::RunProcess(argv, options);
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
    return testing_util::MaskLogTimes(ReadInstalled("norvane_update.log"));
  }

  testing_util::ScopedTempDir install_;
};

#endif  // TEST_UPDATER_TEST_H_
