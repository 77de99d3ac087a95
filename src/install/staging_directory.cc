#include "install/staging_directory.h"

#include <errno.h>
#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ostream>
#include <string>

#include "base/file_util.h"
#include "base/logging.h"
#include "install/package_record.h"
#include "update_log_sites.h"
#include "update_settings.h"

namespace {

// The name of the directory inside the staging directory.
const char kUnpackedDirName[] = "package";
const char kUnpackedDeltaDirName[] = "delta";
// mkdtemp's alphabet for the template's trailing "XXXXXX".
const char kNameAlphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
const size_t kRandomNameLength = 6;
// Names already taken are drawn again; so many collisions in a row mean
// something else fills the root.
const int kMaxNameTries = 100;

// The temporary root of this run.
struct TempRoot {
  base::FsPath located;  // As the environment names it.
  bool resolved = false;
  base::FsPath path;    // Resolved, when |resolved|.
  std::string problem;  // Why not, otherwise.
};

// The temporary root, resolved the first time it is asked for.
const TempRoot& RunTempRoot() {
  static const TempRoot root = [] {
    TempRoot found;
    base::LocateTempRoot(&found.located);
    found.resolved =
        base::ResolvePrivateRoot(found.located, &found.path, &found.problem);
    return found;
  }();
  return root;
}

// The template's name with its trailing characters drawn at random.
std::string RandomStagingName() {
  std::string name(base::kTempDirTemplate);
  for (size_t i = name.size() - kRandomNameLength; i < name.size(); ++i) {
    name[i] = kNameAlphabet[randombytes_uniform(sizeof(kNameAlphabet) - 1)];
  }
  return name;
}

// Whether |staging| is exactly the run's temporary root, a separator and a
// name that mkdtemp could have given the template there.
bool IsStagingPath(const std::string& staging) {
  const TempRoot& root = RunTempRoot();
  if (!root.resolved) return false;
  std::string stem(base::kTempDirTemplate);
  stem.resize(stem.size() - kRandomNameLength);
  const std::string prefix = root.path.Join(stem).AsString();
  return staging.size() == prefix.size() + kRandomNameLength &&
         staging.compare(0, prefix.size(), prefix) == 0 &&
         staging.find_first_not_of(kNameAlphabet, prefix.size()) ==
             std::string::npos;
}

// Reads the status of |path| into |*status| when it is a directory, not a
// link, owned by this user and accessible to this user alone.
bool ReadPrivateDirectoryStatus(const std::string& path, struct stat* status) {
  struct stat found;
  if (lstat(path.c_str(), &found) != 0 || !S_ISDIR(found.st_mode) ||
      found.st_uid != geteuid() || (found.st_mode & 077) != 0) {
    return false;
  }
  *status = found;
  return true;
}

// Records the device and inode of the directory just made at
// |made->staging|, in |*made| and the package record, then makes the unpack
// directory inside. Nothing is put there before the record holds both: a
// directory named without them is empty. Removes the directory and returns
// false when any step fails.
bool RecordNewDirectory(OfferFile* made) {
  struct stat status;
  if (ReadPrivateDirectoryStatus(made->staging, &status)) {
    made->staging_device = static_cast<uint64_t>(status.st_dev);
    made->staging_inode = static_cast<uint64_t>(status.st_ino);
    const base::FsPath tree = UnpackedTree(base::FsPath(made->staging));
    if (WritePackageRecord(*made) &&
        mkdir(tree.AsString().c_str(), 0700) == 0) {
      return true;
    }
  }
  (void)rmdir(made->staging.c_str());
  return false;
}

// Draws a name under |root| that is not taken, names it in the package
// record and makes it, with |*made| filled in. False when the record cannot
// be written or no directory can be made.
bool MakeRecordedDirectory(const base::FsPath& root, OfferFile* made) {
  for (int tries = 0; tries < kMaxNameTries; ++tries) {
    made->staging = root.Join(RandomStagingName()).AsString();
    made->staging_device = 0;
    made->staging_inode = 0;
    if (!WritePackageRecord(*made)) return false;
    if (mkdir(made->staging.c_str(), 0700) == 0) {
      return RecordNewDirectory(made);
    }
    if (errno != EEXIST) return false;
  }
  return false;
}

}  // namespace

bool MakeStagingDirectory(OfferFile* record) {
  const TempRoot& root = RunTempRoot();
  if (!root.resolved) {
    // A root that is simply missing is a failure to make the directory, as
    // it always was.
    const base::FsPath& located = root.located;
    if (access(located.IsEmpty() ? "." : located.AsString().c_str(), F_OK) ==
        0) {
      LOG_AT(log_site::kUnsafeTempRoot, base::LOG_ERROR)
          << "unsafe temp root: " << root.problem << "!" << std::endl;
    }
  } else if (sodium_init() >= 0) {
    OfferFile made = *record;
    if (MakeRecordedDirectory(root.path, &made)) {
      *record = made;
      return true;
    }
    // No longer naming a directory that is not there.
    (void)WritePackageRecord(*record);
  }
  LOG_AT(log_site::kCreateTempDir, base::LOG_ERROR)
      << "can'nt create temp dir!" << std::endl;
  return false;
}

base::FsPath UnpackedTree(const base::FsPath& staging) {
  return staging.Join(kUnpackedDirName);
}

base::FsPath UnpackedDelta(const base::FsPath& staging) {
  return staging.Join(kUnpackedDeltaDirName);
}

bool IsOurStagingDirectory(const OfferFile& record) {
  struct stat status;
  return record.staging_inode != 0 && IsStagingPath(record.staging) &&
         ReadPrivateDirectoryStatus(record.staging, &status) &&
         static_cast<uint64_t>(status.st_dev) == record.staging_device &&
         static_cast<uint64_t>(status.st_ino) == record.staging_inode;
}

bool RemoveStagingDirectory(const OfferFile& record, bool* left_alone) {
  struct stat status;
  if (record.staging.empty() || (lstat(record.staging.c_str(), &status) != 0 &&
                                 (errno == ENOENT || errno == ENOTDIR))) {
    return true;
  }
  if (IsOurStagingDirectory(record)) {
    return base::DeleteOwnTree(base::FsPath(record.staging));
  }
  if (record.staging_inode == 0 && IsStagingPath(record.staging) &&
      ReadPrivateDirectoryStatus(record.staging, &status)) {
    if (rmdir(record.staging.c_str()) == 0) return true;
    // A directory that holds anything is not the one a killed run made.
    if (errno != ENOTEMPTY && errno != EEXIST) return false;
  }
  *left_alone = true;
  return true;
}
