#include "install/package_check.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string_view>
#include <vector>

#include "update_settings.h"

namespace {

// The first of the updater's own files that the tree open on |top_fd| holds
// at its top, whatever its type, or "".
std::string UpdaterFileAtTop(int top_fd) {
  for (const char* name : kUpdaterFileNames) {
    struct stat status;
    if (fstatat(top_fd, name, &status, AT_SYMLINK_NOFOLLOW) == 0) return name;
  }
  return std::string();
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
  return FindUnsafeEntry(dir, entry, nullptr);
}

bool FindUnsafeEntry(const base::FsPath& dir, std::string* entry,
                     uint64_t* entries) {
  uint64_t counted = 0;
  int top_fd = open(dir.AsString().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (top_fd < 0) return false;
  // Directories still to be read, as paths below the top ("" is the top).
  std::vector<std::string> pending(1);
  std::string unsafe = UpdaterFileAtTop(top_fd);
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
      ++counted;
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
  if (unsafe.empty()) {
    if (entries) *entries = counted;
    return false;
  }
  *entry = unsafe;
  return true;
}
