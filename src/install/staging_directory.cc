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
  base::GiveOwnerAccessToTree(base::FsPath(staging));
  errno = 0;
  if (base::DeletePath(base::FsPath(staging), true)) return true;
  if (errno == 0) errno = ENOTEMPTY;
  return false;
}
