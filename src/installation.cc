#include "installation.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <ostream>
#include <string_view>
#include <vector>

#include "base/file_path.h"
#include "base/file_util.h"
#include "base/logging.h"
#include "download.h"
#include "instance_guard.h"
#include "package_digest.h"
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

// Checks the downloaded package against |expected|. Logs, removes the package
// and returns false when it cannot be read or does not match.
bool PackageHasDigest(const Sha256Digest& expected) {
  Sha256Digest actual;
  if (!Sha256OfFile(kPackageFileName, &actual)) {
    int error = errno;
    // Spelled out rather than PLOG_AT: the update run ends each of its
    // messages with its own line end.
    LOG_AT(log_site::kHashPackage, base::LOG_ERROR)
        << "can't read " << kPackageFileName << ": "
        << base::SystemErrorText(error) << std::endl;
    (void)remove(kPackageFileName);
    return false;
  }
  if (actual != expected) {
    LOG_AT(log_site::kPackageSha256, base::LOG_ERROR)
        << "package sha256 error: expected " << Sha256Hex(expected) << ", got "
        << Sha256Hex(actual) << std::endl;
    (void)remove(kPackageFileName);
    return false;
  }
  return true;
}

bool IsShellSafe(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
         (c >= '0' && c <= '9') || c == '_' || c == '.' || c == '/' ||
         c == '-';
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

bool ReadLinkTarget(int dir_fd, const char* name, std::string* target) {
  char buffer[PATH_MAX];
  ssize_t length = readlinkat(dir_fd, name, buffer, sizeof(buffer));
  if (length < 0 || static_cast<size_t>(length) >= sizeof(buffer)) {
    return false;
  }
  target->assign(buffer, static_cast<size_t>(length));
  return true;
}

// The file type bits of the entry |dirent| of the directory open on
// |dir_fd|. The listing names the type on the usual file systems, which
// spares a package of many files a status call per file; 0 when neither the
// listing nor lstat can tell.
mode_t EntryType(int dir_fd, const struct dirent* dirent) {
  if (dirent->d_type != DT_UNKNOWN) return DTTOIF(dirent->d_type);
  struct stat status;
  if (fstatat(dir_fd, dirent->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
    return 0;
  }
  return status.st_mode & S_IFMT;
}

// Why the entry |name| (|below| the top of the tree) of the directory open
// on |dir_fd|, neither a regular file nor a directory but of type |type|,
// must not be copied: "" when it may, else its path below the top, with the
// target for a link.
std::string UnsafeReason(int dir_fd, const char* name, mode_t type,
                         const std::string& below) {
  if (!S_ISLNK(type)) return below;
  std::string target;
  bool readable = ReadLinkTarget(dir_fd, name, &target);
  size_t depth =
      static_cast<size_t>(std::count(below.begin(), below.end(), '/'));
  if (readable && IsLinkTargetInside(target, depth)) return std::string();
  return below + " -> " + target;
}

}  // namespace

bool IsLinkTargetInside(const std::string& target, size_t depth) {
  if (target.empty() || target[0] == '/') return false;
  bool climbing = true;
  std::string_view rest = target;
  while (true) {
    size_t slash = rest.find('/');
    std::string_view component = rest.substr(0, slash);
    if (component == "..") {
      // A ".." after a name would climb out of wherever that name leads,
      // which may be a link to the top of the tree.
      if (!climbing || depth == 0) return false;
      --depth;
    } else if (!component.empty() && component != ".") {
      climbing = false;
    }
    if (slash == std::string_view::npos) return true;
    rest.remove_prefix(slash + 1);
  }
}

bool FindUnsafeEntry(const base::FsPath& dir, std::string* entry) {
  int top_fd = open(dir.AsString().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (top_fd < 0) return false;
  // Directories still to be read, as paths below the top ("" is the top).
  std::vector<std::string> pending(1);
  std::string unsafe;
  while (unsafe.empty() && !pending.empty()) {
    std::string directory = std::move(pending.back());
    pending.pop_back();
    // Listed as a directory, not a link: O_NOFOLLOW refuses one swapped in.
    int fd = openat(top_fd, directory.empty() ? "." : directory.c_str(),
                    O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    DIR* stream = fd >= 0 ? fdopendir(fd) : nullptr;
    if (!stream) {
      // Not readable here, so cp cannot read it either and fails the copy.
      if (fd >= 0) close(fd);
      continue;
    }
    while (const struct dirent* dirent = readdir(stream)) {
      std::string_view name = dirent->d_name;
      if (name == "." || name == "..") continue;
      mode_t type = EntryType(fd, dirent);
      if (S_ISREG(type)) continue;
      std::string below = directory.empty() ? std::string(name)
                                            : directory + "/" + dirent->d_name;
      if (S_ISDIR(type)) {
        pending.push_back(std::move(below));
        continue;
      }
      unsafe = UnsafeReason(fd, dirent->d_name, type, below);
      if (!unsafe.empty()) break;
    }
    closedir(stream);
  }
  close(top_fd);
  if (unsafe.empty()) return false;
  *entry = unsafe;
  return true;
}

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

bool InstallPackage(const PackageOffer& package,
                    const std::string& browser_pid) {
  bool write_failed = false;
  if (DownloadFile(package.url, kPackageFileName, kConnectTimeoutSeconds,
                   &write_failed) != 0) {
    LOG_AT(log_site::kDownloadPackage, base::LOG_ERROR)
        << "download " << package.url << " error!" << std::endl;
    // The disk is full: unpacking and copying would fill it further and could
    // leave the installation half copied. The partial package stays for the
    // next run to resume.
    if (write_failed) return false;
    // Otherwise a package completed by an earlier run may still be whole;
    // the digest or the extraction finds out.
  }
  if (package.sha256 && !PackageHasDigest(*package.sha256)) return false;
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
