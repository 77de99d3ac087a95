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
#include "package_check.h"
#include "package_commands.h"
#include "package_record.h"
#include "progress_line.h"
#include "update_log_sites.h"
#include "update_settings.h"

namespace {

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

// |text| with control bytes and backslashes written as octal escapes, so
// that a hostile file name cannot forge log lines.
std::string Printable(const std::string& text) {
  std::string printable;
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7f || c == '\\') {
      const char kDigits[] = "01234567";
      printable += '\\';
      printable += kDigits[c >> 6];
      printable += kDigits[(c >> 3) & 7];
      printable += kDigits[c & 7];
    } else {
      printable += static_cast<char>(c);
    }
  }
  return printable;
}

}  // namespace

bool InstallPackage(const PackageOffer& package, const std::string& browser_pid,
                    const DownloadLimits& limits) {
  if (!PreparePackageFile(package)) return false;
  DownloadLimits package_limits = limits;
  package_limits.max_file_bytes = package.size.value_or(kMaxPackageBytes);
  DownloadError error = DownloadError::kNone;
  if (DownloadFile(package.url, kPackageFileName, kConnectTimeoutSeconds,
                   package_limits, &error) != 0) {
    LOG_AT(log_site::kDownloadPackage, base::LOG_ERROR)
        << "download " << package.url << " error!" << std::endl;
    switch (error) {
      case DownloadError::kWrite:
        // The disk is full: unpacking and copying would fill it further and
        // could leave the installation half copied.
      case DownloadError::kStalled:
      case DownloadError::kTarget:
        // The partial package stays for the next run to resume.
        return false;
      case DownloadError::kTooLarge:
        // Whatever the server sends there is not the offered package.
        RemovePackage();
        return false;
      case DownloadError::kNone:
      case DownloadError::kTransfer:
        // A package completed by an earlier run may still be whole; its
        // size, digest or the extraction finds out. One known to be short
        // of its size stays for the next run to resume.
        if (PackageIsShortOfItsSize(package)) return false;
        break;
    }
  }
  if (!PackageMatchesOffer(package)) return false;
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
  RemovePackage();
  if (!extracted) return false;
  // tar keeps every entry inside the temporary directory, but cp would carry
  // links and special files into the installation for a later package to
  // write through.
  std::string unsafe_entry;
  if (FindUnsafeEntry(temp_dir, &unsafe_entry)) {
    LOG_AT(log_site::kUnsafePackageEntry, base::LOG_ERROR)
        << "unsafe package entry: " << Printable(unsafe_entry) << std::endl;
    (void)base::DeletePath(temp_dir, true);
    return false;
  }

  WaitForBrowserExit(browser_pid);
  if (!RunShellCommand(CopyCommand(temp_dir.AsString()), "cp",
                       log_site::kCpExit, log_site::kCpStatus)) {
    return false;
  }
  (void)base::DeletePath(temp_dir, true);
  PrintProgressLine("update successful!");
  return true;
}
