#include "install/shadow_tree.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>
#include <vector>

#include "base/file_path.h"
#include "base/file_util.h"
#include "base/logging.h"
#include "update_settings.h"

namespace {

const int kDirectoryFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// The walks hold two descriptors a level; a deeper tree is a conflict, found
// before the first move.
const int kMaxDepth = 256;

// Changed directories of the installation are synced in batches: the first
// sync of a batch writes out what the others changed too on the usual file
// systems, and the batch bounds the descriptors held.
const size_t kSyncBatch = 64;

// A descriptor closed when it goes out of scope.
class ScopedFd {
 public:
  explicit ScopedFd(int fd) : fd_(fd) {}
  ~ScopedFd() {
    if (fd_ >= 0) {
      int error = errno;
      close(fd_);
      errno = error;
    }
  }
  ScopedFd(const ScopedFd&) = delete;
  ScopedFd& operator=(const ScopedFd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

std::string Below(const std::string& below, const std::string& name) {
  return below.empty() ? name : below + "/" + name;
}

// The names in the directory open on |fd|, without "." and "..", read whole
// before any of them is acted on: entries renamed away during a listing
// could make it skip others. False when it cannot be read.
bool ListNames(int fd, std::vector<std::string>* names) {
  int listing_fd = openat(fd, ".", kDirectoryFlags);
  if (listing_fd < 0) return false;
  DIR* stream = fdopendir(listing_fd);
  if (!stream) {
    close(listing_fd);
    return false;
  }
  errno = 0;
  while (const struct dirent* entry = readdir(stream)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") names->push_back(std::move(name));
  }
  int error = errno;
  closedir(stream);
  errno = error;
  return error == 0;
}

// Opens the directory |name| of the shadow directory |shadow_fd| (status
// |status|) for listing and moving entries out of it. cp gave it the
// package's mode, which may lack owner read or write; the shadow is ours, so
// it gets them.
int OpenShadowDirectory(int shadow_fd, const std::string& name,
                        const struct stat& status) {
  if ((status.st_mode & S_IRWXU) != S_IRWXU &&
      fchmodat(shadow_fd, name.c_str(), (status.st_mode & 07777) | S_IRWXU,
               0) != 0) {
    return -1;
  }
  return openat(shadow_fd, name.c_str(), kDirectoryFlags);
}

// What the entry of |status| is, for a conflict's entry.
const char* KindOf(const struct stat& status) {
  if (S_ISDIR(status.st_mode)) return "a directory";
  if (S_ISLNK(status.st_mode)) return "a link";
  return "a file";
}

bool FindConflictIn(int shadow_fd, int install_fd, const std::string& below,
                    int depth, std::string* conflict) {
  std::vector<std::string> names;
  if (!ListNames(shadow_fd, &names)) {
    *conflict = (below.empty() ? "." : below) + ": can't be listed";
    return true;
  }
  for (const std::string& name : names) {
    const std::string path = Below(below, name);
    struct stat ours, theirs;
    if (fstatat(shadow_fd, name.c_str(), &ours, AT_SYMLINK_NOFOLLOW) != 0) {
      *conflict = path + ": " + base::SystemErrorText(errno);
      return true;
    }
    if (fstatat(install_fd, name.c_str(), &theirs, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno == ENOENT) continue;  // New: moved whole.
      *conflict = path + ": " + base::SystemErrorText(errno);
      return true;
    }
    if (S_ISDIR(ours.st_mode) != S_ISDIR(theirs.st_mode)) {
      *conflict = path + ": " + KindOf(ours) +
                  " of the package where the installation has " +
                  KindOf(theirs);
      return true;
    }
    if (!S_ISDIR(ours.st_mode)) continue;
    // The moves enter the directory: they need to write it.
    if (faccessat(install_fd, name.c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
      *conflict = path +
                  ": a directory of the installation this user can't "
                  "write";
      return true;
    }
    if (depth >= kMaxDepth) {
      *conflict =
          path + ": deeper than " + std::to_string(kMaxDepth) + " directories";
      return true;
    }
    ScopedFd shadow_sub(OpenShadowDirectory(shadow_fd, name, ours));
    ScopedFd install_sub(openat(install_fd, name.c_str(), kDirectoryFlags));
    if (shadow_sub.get() < 0 || install_sub.get() < 0) {
      *conflict = path + ": " + base::SystemErrorText(errno);
      return true;
    }
    if (FindConflictIn(shadow_sub.get(), install_sub.get(), path, depth + 1,
                       conflict)) {
      return true;
    }
  }
  return false;
}

// Moves the entries of the shadow directory |shadow_fd| into the
// installation's directory |install_fd| (|below| the top), entering the
// directories that both have.
class Mover {
 public:
  explicit Mover(MoveOutcome* outcome) : outcome_(outcome) {}
  ~Mover() {
    for (auto& [fd, path] : changed_) close(fd);
  }

  bool MoveEntries(int shadow_fd, int install_fd, const std::string& below,
                   int depth) {
    std::vector<std::string> names;
    if (!ListNames(shadow_fd, &names)) return Fail(below, "list");
    bool changed = false;
    for (const std::string& name : names) {
      const std::string path = Below(below, name);
      struct stat ours, theirs;
      if (fstatat(shadow_fd, name.c_str(), &ours, AT_SYMLINK_NOFOLLOW) != 0) {
        return Fail(path, "read");
      }
      const bool exists =
          fstatat(install_fd, name.c_str(), &theirs, AT_SYMLINK_NOFOLLOW) == 0;
      if (S_ISDIR(ours.st_mode) && exists && S_ISDIR(theirs.st_mode)) {
        if (depth >= kMaxDepth) return Fail(path, "enter");
        ScopedFd shadow_sub(OpenShadowDirectory(shadow_fd, name, ours));
        ScopedFd install_sub(openat(install_fd, name.c_str(), kDirectoryFlags));
        if (shadow_sub.get() < 0 || install_sub.get() < 0) {
          return Fail(path, "enter");
        }
        if (!MoveEntries(shadow_sub.get(), install_sub.get(), path,
                         depth + 1)) {
          return false;
        }
        continue;
      }
      if (!MoveEntry(shadow_fd, install_fd, name, ours)) {
        return Fail(path, "move");
      }
      ++outcome_->moved;
      changed = true;
    }
    if (changed) {
      int fd = fcntl(install_fd, F_DUPFD_CLOEXEC, 0);
      if (fd < 0) return Fail(below, "sync");
      changed_.emplace_back(fd, below);
      if (changed_.size() >= kSyncBatch && !SyncChanged()) return false;
    }
    return true;
  }

  // Syncs the changed directories not yet synced.
  bool SyncChanged() {
    bool synced = true;
    for (auto& [fd, path] : changed_) {
      if (synced && fsync(fd) != 0) synced = Fail(path, "sync");
      close(fd);
    }
    changed_.clear();
    return synced;
  }

 private:
  // Renames |name| from the shadow into the installation. Renaming a
  // directory into another one writes its "..", so one that cp made without
  // owner write gets it for the move and its own mode back after.
  static bool MoveEntry(int shadow_fd, int install_fd, const std::string& name,
                        const struct stat& status) {
    const mode_t mode = status.st_mode & 07777;
    const bool read_only_dir = S_ISDIR(status.st_mode) && !(mode & S_IWUSR);
    if (read_only_dir &&
        fchmodat(shadow_fd, name.c_str(), mode | S_IWUSR, 0) != 0) {
      return false;
    }
    if (renameat(shadow_fd, name.c_str(), install_fd, name.c_str()) != 0) {
      return false;
    }
    if (read_only_dir) (void)fchmodat(install_fd, name.c_str(), mode, 0);
    return true;
  }

  bool Fail(const std::string& path, const char* step) {
    outcome_->entry = path.empty() ? "." : path;
    outcome_->step = step;
    outcome_->error = errno;
    return false;
  }

  MoveOutcome* outcome_;
  // Descriptors of the installation's directories that the moves changed,
  // with their paths.
  std::vector<std::pair<int, std::string>> changed_;
};

}  // namespace

bool MakeShadowDirectory() {
  if (!RemoveShadowDirectory()) return false;
  return mkdir(kShadowDirName, 0700) == 0;
}

bool ShadowDirectoryExists() {
  struct stat status;
  return lstat(kShadowDirName, &status) == 0 && S_ISDIR(status.st_mode) &&
         status.st_uid == geteuid();
}

bool RemoveShadowDirectory() {
  return base::DeleteOwnTree(base::FsPath(kShadowDirName));
}

bool FindMoveConflict(std::string* conflict) {
  ScopedFd shadow_fd(open(kShadowDirName, kDirectoryFlags));
  ScopedFd install_fd(open(".", kDirectoryFlags));
  if (shadow_fd.get() < 0 || install_fd.get() < 0) {
    *conflict =
        std::string(kShadowDirName) + ": " + base::SystemErrorText(errno);
    return true;
  }
  return FindConflictIn(shadow_fd.get(), install_fd.get(), std::string(), 0,
                        conflict);
}

bool MoveShadowIntoPlace(MoveOutcome* outcome) {
  MoveOutcome result;
  bool moved;
  {
    Mover mover(&result);
    ScopedFd shadow_fd(open(kShadowDirName, kDirectoryFlags));
    ScopedFd install_fd(open(".", kDirectoryFlags));
    if (shadow_fd.get() < 0 || install_fd.get() < 0) {
      result.entry = kShadowDirName;
      result.step = "enter";
      result.error = errno;
      moved = false;
    } else {
      moved = mover.MoveEntries(shadow_fd.get(), install_fd.get(),
                                std::string(), 0) &&
              mover.SyncChanged();
    }
  }
  *outcome = result;
  return moved;
}
