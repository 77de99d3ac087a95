#include "install/staging_directory.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ostream>
#include <string_view>

#include "base/file_util.h"
#include "base/logging.h"
#include "update_log_sites.h"
#include "update_settings.h"

namespace {

// The name of the directory inside the staging directory.
const char kUnpackedDirName[] = "package";

// Adds owner read, write and search to |name| in the directory |dir_fd| when
// it is a directory (not a link to one) that lacks any of them. fchmodat
// cannot refuse links, but only this user can change the entries of a
// staging directory, so nobody can swap one in after the status is read.
void GiveOwnerFullAccess(int dir_fd, const char* name) {
  struct stat status;
  if (fstatat(dir_fd, name, &status, AT_SYMLINK_NOFOLLOW) != 0 ||
      !S_ISDIR(status.st_mode) || (status.st_mode & S_IRWXU) == S_IRWXU) {
    return;
  }
  (void)fchmodat(dir_fd, name, (status.st_mode & 07777) | S_IRWXU, 0);
}

// Gives every directory of the tree |staging| owner read, write and search.
// The walker lists a directory only after it has yielded it, so each one is
// opened for listing after it got them.
void OpenUpTree(const std::string& staging) {
  GiveOwnerFullAccess(AT_FDCWD, staging.c_str());
  base::DirectoryWalker walker(
      base::FsPath(staging), true,
      base::kWalkDirectories | base::kWalkLinksAsEntries);
  base::FoundEntry entry;
  for (base::FsPath next = walker.NextPath(); !next.IsEmpty();
       next = walker.NextPath()) {
    walker.CurrentEntry(&entry);
    GiveOwnerFullAccess(walker.CurrentDirectoryFd(), entry.name.c_str());
  }
}

}  // namespace

bool MakeStagingDirectory(base::FsPath* staging) {
  base::FsPath root, resolved;
  base::LocateTempRoot(&root);
  std::string problem;
  bool made = false;
  base::FsPath directory;
  if (!base::ResolvePrivateRoot(root, &resolved, &problem)) {
    // A root that is simply missing is mkdtemp's failure, as it always was.
    if (access(root.IsEmpty() ? "." : root.AsString().c_str(), F_OK) == 0) {
      LOG_AT(log_site::kUnsafeTempRoot, base::LOG_ERROR)
          << "unsafe temp root: " << problem << "!" << std::endl;
    }
  } else if (base::MakeTempDirectoryUnder(resolved, &directory)) {
    made = mkdir(UnpackedTree(directory).AsString().c_str(), 0700) == 0;
    if (!made) (void)base::DeletePath(directory, true);
  }
  if (!made) {
    LOG_AT(log_site::kCreateTempDir, base::LOG_ERROR)
        << "can'nt create temp dir!" << std::endl;
    return false;
  }
  *staging = directory;
  return true;
}

base::FsPath UnpackedTree(const base::FsPath& staging) {
  return staging.Join(kUnpackedDirName);
}

bool IsOurStagingDirectory(const std::string& staging) {
  if (staging.empty() || staging[0] != '/') return false;
  std::string name = base::FsPath(staging).LastComponent().AsString();
  std::string_view stem(base::kTempDirTemplate);
  stem.remove_suffix(6);  // The "XXXXXX" that mkdtemp fills in.
  if (name.size() != stem.size() + 6 || name.compare(0, stem.size(), stem)) {
    return false;
  }
  struct stat status;
  return lstat(staging.c_str(), &status) == 0 && S_ISDIR(status.st_mode) &&
         status.st_uid == geteuid() && (status.st_mode & 077) == 0;
}

bool RemoveStagingDirectory(const std::string& staging) {
  if (!IsOurStagingDirectory(staging)) return true;
  OpenUpTree(staging);
  errno = 0;
  if (base::DeletePath(base::FsPath(staging), true)) return true;
  if (errno == 0) errno = ENOTEMPTY;
  return false;
}
