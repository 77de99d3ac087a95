#include "delta/delta_apply.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <system_error>
#include <thread>
#include <vector>

#include "base/eintr_wrapper.h"
#include "base/file_util.h"
#include "base/logging.h"
#include "delta/delta_listing.h"
#include "delta/file_patch.h"

namespace {

// Closes a descriptor with the object.
class ScopedFd {
 public:
  explicit ScopedFd(int fd = -1) : fd_(fd) {}
  ~ScopedFd() {
    if (fd_ >= 0) close(fd_);
  }
  ScopedFd(const ScopedFd&) = delete;
  ScopedFd& operator=(const ScopedFd&) = delete;

  int get() const { return fd_; }
  // Closes the descriptor now, reporting whether close succeeded.
  bool Close() {
    int fd = fd_;
    fd_ = -1;
    return close(fd) == 0;
  }

 private:
  int fd_;
};

// The descriptors of the three trees.
struct Trees {
  int delta;
  int base;
  int output;
};

// Opens |path| below the directory open on |dir_fd| with |flags| and
// |mode|, following no link in any of its components. Returns the
// descriptor, or -1 with errno set.
int OpenBelow(int dir_fd, const std::string& path, int flags, mode_t mode = 0) {
  int current = dir_fd;
  size_t start = 0;
  for (size_t slash = path.find('/'); slash != std::string::npos;
       slash = path.find('/', start)) {
    std::string component = path.substr(start, slash - start);
    int next =
        HANDLE_EINTR(openat(current, component.c_str(),
                            O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    int error = errno;
    if (current != dir_fd) close(current);
    if (next < 0) {
      errno = error;
      return -1;
    }
    current = next;
    start = slash + 1;
  }
  int fd = HANDLE_EINTR(openat(current, path.c_str() + start,
                               flags | O_NOFOLLOW | O_CLOEXEC, mode));
  int error = errno;
  if (current != dir_fd) close(current);
  errno = error;
  return fd;
}

// Opens the regular file |path| below |dir_fd| for reading and stores its
// size; -1 with errno set (kNotRegularFile for anything else, a link
// included).
int OpenRegularBelow(int dir_fd, const std::string& path, uint64_t* size) {
  // O_NONBLOCK: a FIFO in its place does not hold the open.
  int fd = OpenBelow(dir_fd, path, O_RDONLY | O_NONBLOCK);
  if (fd < 0) {
    if (errno == ELOOP) errno = base::kNotRegularFile;
    return -1;
  }
  struct stat status;
  int error = 0;
  if (fstat(fd, &status) != 0) {
    error = errno;
  } else if (!S_ISREG(status.st_mode)) {
    error = base::kNotRegularFile;
  }
  if (error != 0) {
    close(fd);
    errno = error;
    return -1;
  }
  *size = static_cast<uint64_t>(status.st_size);
  return fd;
}

std::string Problem(const std::string& path, const std::string& what) {
  return path + ": " + what;
}

// Checks that the installation holds the base of |file|, and stores the
// installed file's permission bits in |*mode|.
bool CheckBase(const Trees& trees, const DeltaFile& file, uint32_t* mode,
               std::string* problem) {
  uint64_t size;
  ScopedFd fd(OpenRegularBelow(trees.base, file.path, &size));
  if (fd.get() < 0) {
    *problem =
        Problem(file.path, "the installed file: " + base::FileErrorText(errno));
    return false;
  }
  Sha256Digest digest;
  if (!Sha256OfDescriptor(fd.get(), &digest)) {
    *problem = Problem(file.path, "can't read the installed file: " +
                                      base::SystemErrorText(errno));
    return false;
  }
  if (size != file.base_size || digest != file.base_sha256) {
    *problem = Problem(file.path,
                       "the installed file is not the one the delta was "
                       "made for");
    return false;
  }
  struct stat status;
  if (fstat(fd.get(), &status) != 0) {
    *problem = Problem(file.path, base::SystemErrorText(errno));
    return false;
  }
  *mode = status.st_mode & 07777;
  return true;
}

// Copies the regular file |path| below |from_fd|, which must be |size|
// bytes long, into |result_fd|.
bool CopyBelow(int from_fd, const std::string& path, uint64_t size,
               int result_fd, std::string* problem) {
  uint64_t actual;
  ScopedFd in(OpenRegularBelow(from_fd, path, &actual));
  if (in.get() < 0) {
    *problem = base::FileErrorText(errno);
    return false;
  }
  if (actual != size) {
    *problem = "it is not of the listed size";
    return false;
  }
  if (!base::CopyExactly(in.get(), result_fd, size)) {
    *problem = base::SystemErrorText(errno);
    return false;
  }
  return true;
}

// Applies the patch of |file| to its base into |result_fd|.
bool PatchInto(const Trees& trees, const DeltaFile& file, int result_fd,
               std::string* problem) {
  uint64_t base_size, patch_size;
  ScopedFd base(OpenRegularBelow(trees.base, file.path, &base_size));
  if (base.get() < 0) {
    *problem = "the installed file: " + base::FileErrorText(errno);
    return false;
  }
  ScopedFd patch(
      OpenRegularBelow(trees.delta, DeltaPayloadPath(file), &patch_size));
  if (patch.get() < 0) {
    *problem = "the patch: " + base::FileErrorText(errno);
    return false;
  }
  return ApplyFilePatch(base.get(), file.base_size, patch.get(), result_fd,
                        file.size, file.sha256, problem);
}

// Makes the result of |file| below the output tree.
bool MakeFile(const Trees& trees, const DeltaFile& file, std::string* problem) {
  ScopedFd result(
      OpenBelow(trees.output, file.path, O_RDWR | O_CREAT | O_EXCL, 0600));
  if (result.get() < 0) {
    *problem = Problem(file.path, base::SystemErrorText(errno));
    return false;
  }
  std::string why;
  bool made = false;
  switch (file.method) {
    case DeltaMethod::kKept:
      made = CopyBelow(trees.base, file.path, file.size, result.get(), &why);
      if (!made) why = "the installed file: " + why;
      break;
    case DeltaMethod::kWhole:
      made = CopyBelow(trees.delta, DeltaPayloadPath(file), file.size,
                       result.get(), &why);
      if (!made) why = "the carried file: " + why;
      break;
    case DeltaMethod::kPatched:
      // Checks the result's digest itself.
      made = PatchInto(trees, file, result.get(), &why);
      break;
  }
  if (made && file.method != DeltaMethod::kPatched) {
    Sha256Digest digest;
    if (lseek(result.get(), 0, SEEK_SET) != 0 ||
        !Sha256OfDescriptor(result.get(), &digest)) {
      made = false;
      why = "can't read the result: " + base::SystemErrorText(errno);
    } else if (digest != file.sha256) {
      made = false;
      why = "the result has another digest than listed";
    }
  }
  if (made && (fchmod(result.get(), file.mode) != 0 || !result.Close())) {
    made = false;
    why = base::SystemErrorText(errno);
  }
  if (!made) *problem = Problem(file.path, why);
  return made;
}

bool MakeDirectory(const Trees& trees, const std::string& path,
                   std::string* problem) {
  size_t slash = path.rfind('/');
  std::string parent = slash == std::string::npos ? "" : path.substr(0, slash);
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  ScopedFd parent_fd(
      parent.empty() ? HANDLE_EINTR(fcntl(trees.output, F_DUPFD_CLOEXEC, 0))
                     : OpenBelow(trees.output, parent, O_RDONLY | O_DIRECTORY));
  // Owner-only until its files are in; the listed mode comes last.
  if (parent_fd.get() < 0 ||
      mkdirat(parent_fd.get(), name.c_str(), 0700) != 0) {
    *problem = Problem(path, base::SystemErrorText(errno));
    return false;
  }
  return true;
}

bool SetDirectoryMode(const Trees& trees, const DeltaDirectory& directory,
                      std::string* problem) {
  ScopedFd fd(OpenBelow(trees.output, directory.path, O_RDONLY | O_DIRECTORY));
  if (fd.get() < 0 || fchmod(fd.get(), directory.mode) != 0) {
    *problem = Problem(directory.path, base::SystemErrorText(errno));
    return false;
  }
  return true;
}

// The directories of |listing| in byte order, which puts every directory
// before the ones below it.
std::vector<DeltaDirectory> SortedDirectories(const DeltaListing& listing) {
  std::vector<DeltaDirectory> directories = listing.directories;
  std::sort(directories.begin(), directories.end(),
            [](const DeltaDirectory& a, const DeltaDirectory& b) {
              return a.path < b.path;
            });
  return directories;
}

bool MakeDirectories(const Trees& trees,
                     const std::vector<DeltaDirectory>& sorted,
                     std::string* problem) {
  for (const DeltaDirectory& directory : sorted) {
    if (!MakeDirectory(trees, directory.path, problem)) return false;
  }
  return true;
}

bool SetDirectoryModes(const Trees& trees,
                       const std::vector<DeltaDirectory>& sorted,
                       std::string* problem) {
  // Deepest first, so that a directory without search permission closes
  // none below it.
  for (auto it = sorted.rbegin(); it != sorted.rend(); ++it) {
    if (!SetDirectoryMode(trees, *it, problem)) return false;
  }
  return true;
}

// Checks the bases of a listing's kept and patched files, on a thread of its
// own where one can be started: they are the installation's bytes, and
// their digests then take little time of the files being made beside them.
class BaseCheck {
 public:
  BaseCheck(const Trees& trees, const DeltaListing& listing)
      : trees_(trees), listing_(listing), modes_(listing.files.size(), 0) {
    try {
      thread_ = std::thread([this] { Run(); });
    } catch (const std::system_error&) {
      Run();  // No thread to be had: checked here and now.
    }
  }
  ~BaseCheck() {
    if (thread_.joinable()) thread_.join();
  }
  BaseCheck(const BaseCheck&) = delete;
  BaseCheck& operator=(const BaseCheck&) = delete;

  // Waits for the check. False, with |*problem| saying why, when a base is
  // not in the installation as listed; otherwise stores the installed
  // permission bits of each listed file with a base in |*modes|.
  bool Finish(std::vector<uint32_t>* modes, std::string* problem) {
    if (thread_.joinable()) thread_.join();
    if (failed_) {
      *problem = problem_;
      return false;
    }
    *modes = modes_;
    return true;
  }

 private:
  void Run() {
    for (size_t i = 0; i < listing_.files.size(); ++i) {
      const DeltaFile& file = listing_.files[i];
      if (file.method != DeltaMethod::kWhole &&
          !CheckBase(trees_, file, &modes_[i], &problem_)) {
        failed_ = true;
        return;
      }
    }
  }

  const Trees trees_;
  const DeltaListing& listing_;
  std::vector<uint32_t> modes_;
  std::string problem_;
  bool failed_ = false;
  std::thread thread_;
};

int OpenTree(const base::FsPath& dir) {
  return HANDLE_EINTR(
      open(dir.AsString().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

bool TreeProblem(const base::FsPath& dir, std::string* problem) {
  *problem = Problem(dir.AsString(), base::SystemErrorText(errno));
  return false;
}

// Whether |dir| holds nothing but "." and "..".
bool IsEmptyDirectory(const base::FsPath& dir) {
  std::vector<base::ListedEntry> entries;
  return base::ListDirectory(&entries, dir, true) && entries.size() == 2;
}

void EmptyDirectory(const base::FsPath& dir) {
  // A listed mode may have taken the owner's write away from it.
  struct stat status;
  if (lstat(dir.AsString().c_str(), &status) == 0 && S_ISDIR(status.st_mode) &&
      (status.st_mode & S_IRWXU) != S_IRWXU) {
    (void)chmod(dir.AsString().c_str(), (status.st_mode & 07777) | S_IRWXU);
  }
  std::vector<base::ListedEntry> entries;
  if (!base::ListDirectory(&entries, dir, true)) return;
  for (const base::ListedEntry& entry : entries) {
    if (entry.name.IsCurrentDirEntry() || entry.name.IsParentDirEntry()) {
      continue;
    }
    (void)base::DeleteOwnTree(dir.Join(entry.name));
  }
}

}  // namespace

bool ApplyDelta(const base::FsPath& delta_dir, const base::FsPath& base_dir,
                const base::FsPath& output_dir, DeltaOutput output,
                DeltaCounts* counts, std::string* problem) {
  DeltaListing listing;
  if (!ReadDeltaListing(delta_dir.AsString(), &listing, problem)) {
    return false;
  }
  ScopedFd delta(OpenTree(delta_dir));
  if (delta.get() < 0) return TreeProblem(delta_dir, problem);
  ScopedFd installation(OpenTree(base_dir));
  if (installation.get() < 0) return TreeProblem(base_dir, problem);
  ScopedFd made(OpenTree(output_dir));
  if (made.get() < 0) return TreeProblem(output_dir, problem);
  if (!IsEmptyDirectory(output_dir)) {
    *problem = Problem(output_dir.AsString(), "not an empty directory");
    return false;
  }
  const Trees trees = {delta.get(), installation.get(), made.get()};
  // The bases are checked while the changed files are made: a patch made
  // against another base fails its result's digest anyway, and every
  // result waits for the check before it counts.
  const std::vector<DeltaDirectory> directories = SortedDirectories(listing);
  std::vector<uint32_t> modes;
  bool applied;
  {
    BaseCheck bases(trees, listing);
    applied = MakeDirectories(trees, directories, problem);
    for (size_t i = 0; applied && i < listing.files.size(); ++i) {
      if (listing.files[i].method != DeltaMethod::kKept) {
        applied = MakeFile(trees, listing.files[i], problem);
      }
    }
    // An installation that is not as the delta expects explains a patch
    // that failed too, so the check always runs to its end and its reason
    // comes first.
    if (!bases.Finish(&modes, problem)) applied = false;
  }
  // Only what differs from the installation is made for an install: a kept
  // file that is installed with another mode is made all the same, so that
  // the install gives it the release's mode as the full package does.
  for (size_t i = 0; applied && i < listing.files.size(); ++i) {
    const DeltaFile& file = listing.files[i];
    if (file.method == DeltaMethod::kKept &&
        (output == DeltaOutput::kWholeTree || modes[i] != file.mode)) {
      applied = MakeFile(trees, file, problem);
    }
  }
  if (!applied || !SetDirectoryModes(trees, directories, problem)) {
    EmptyDirectory(output_dir);
    return false;
  }
  if (counts) {
    *counts = DeltaCounts();
    for (const DeltaFile& file : listing.files) {
      switch (file.method) {
        case DeltaMethod::kKept:
          ++counts->kept;
          break;
        case DeltaMethod::kPatched:
          ++counts->patched;
          break;
        case DeltaMethod::kWhole:
          ++counts->whole;
          break;
      }
    }
  }
  return true;
}
