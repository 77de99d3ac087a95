#include "installation.h"

#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ostream>

#include "base/file_path.h"
#include "base/file_util.h"
#include "base/logging.h"
#include "download.h"
#include "instance_guard.h"
#include "progress_line.h"

namespace {

const char kPackageFileName[] = "norvane.tar.gz";
const char kTempDirPrefix[] = "norvane_update";
const char kBrowserWord[] = "keltrin";
const unsigned kBrowserPollSeconds = 2;
const long kConnectTimeoutSeconds = 8;

// Runs |command| through the shell after echoing it, and checks how it
// ended: logs at |exit_site| when the shell did not exit normally and at
// |status_site| when it exited with a non-zero code.
bool RunShellCommand(const std::string& command, const char* tool,
                     const log_site::Site& exit_site,
                     const log_site::Site& status_site) {
  PrintProgressLine(command);
  int status = system(command.c_str());
  if (!WIFEXITED(status)) {
    LOG_AT(exit_site, base::LOG_ERROR)
        << tool << " exit error: " << WIFEXITED(status) << std::endl;
    return false;
  }
  if (WEXITSTATUS(status) != 0) {
    LOG_AT(status_site, base::LOG_ERROR)
        << tool << " status error: " << WEXITSTATUS(status) << std::endl;
    return false;
  }
  return true;
}

void WaitForBrowserExit(const std::string& browser_pid) {
  while (ProcessCommandLineContains(browser_pid, kBrowserWord)) {
    sleep(kBrowserPollSeconds);
  }
}

bool IsShellSafe(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
         (c >= '0' && c <= '9') || c == '_' || c == '.' || c == '/' || c == '-';
}

}  // namespace

std::string QuoteForShell(const std::string& path) {
  bool safe = !path.empty();
  for (char c : path) safe = safe && IsShellSafe(c);
  if (safe) return path;
  std::string quoted = "'";
  for (char c : path) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

std::string ExtractionCommand(const std::string& temp_dir) {
  return std::string("tar -zxvf ") + kPackageFileName + " -C " +
         QuoteForShell(temp_dir);
}

std::string CopyCommand(const std::string& temp_dir) {
  // The pattern stays outside the quotes so the shell still expands it.
  return "cp -v -r -f " + QuoteForShell(temp_dir) + "/* ./";
}

bool InstallPackage(const std::string& package_url,
                    const std::string& browser_pid) {
  bool write_failed = false;
  if (DownloadFile(package_url, kPackageFileName, kConnectTimeoutSeconds,
                   &write_failed) != 0) {
    LOG_AT(log_site::kDownloadPackage, base::LOG_ERROR)
        << "download " << package_url << " error!" << std::endl;
    // The disk is full: unpacking and copying would fill it further and could
    // leave the installation half copied. The partial package stays for the
    // next run to resume.
    if (write_failed) return false;
    // Otherwise a package completed by an earlier run may still be whole;
    // extraction finds out.
  }
  base::FsPath temp_dir;
  if (!base::MakeTempDirectory(kTempDirPrefix, &temp_dir)) {
    LOG_AT(log_site::kCreateTempDir, base::LOG_ERROR)
        << "can'nt create temp dir!" << std::endl;
    return false;
  }
  bool extracted =
      RunShellCommand(ExtractionCommand(temp_dir.AsString()), "tar",
                      log_site::kTarExit, log_site::kTarStatus);
  // Whole or not, the archive is not needed again: a broken one must be
  // downloaded afresh.
  (void)remove(kPackageFileName);
  if (!extracted) return false;

  WaitForBrowserExit(browser_pid);
  if (!RunShellCommand(CopyCommand(temp_dir.AsString()), "cp",
                       log_site::kCpExit, log_site::kCpStatus)) {
    return false;
  }
  (void)base::DeletePath(temp_dir, true);
  PrintProgressLine("update successful!");
  return true;
}
