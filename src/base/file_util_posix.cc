#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <string_view>
#include <utility>

#include "base/eintr_wrapper.h"
#include "base/file_util.h"
#include "base/logging.h"

namespace base {

const char kTempDirTemplate[] = "com.dovamel.keltrin.XXXXXX";

namespace {

// Opens |directory| for reading its entries. With |no_follow| a symbolic
// link in its last component is refused. Returns nullptr on failure.
DIR* OpenDirectoryStream(const FsPath& directory, bool no_follow) {
  int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
  if (no_follow) flags |= O_NOFOLLOW;
  int fd = HANDLE_EINTR(open(directory.AsString().c_str(), flags));
  if (fd < 0) return nullptr;
  DIR* stream = fdopendir(fd);
  if (!stream) close(fd);
  return stream;
}

// Appends the entries of the open |stream| on |directory| to |entries|, as
// ListDirectory describes.
void ReadEntries(DIR* stream, const FsPath& directory, bool links_as_entries,
                 std::vector<ListedEntry>* entries) {
  int dir_fd = dirfd(stream);
  int stat_flags = links_as_entries ? AT_SYMLINK_NOFOLLOW : 0;
  while (true) {
    errno = 0;
    struct dirent* dirent = readdir(stream);
    if (!dirent) break;  // The end, or a read error: keep what was read.
    entries->push_back(ListedEntry{FsPath(dirent->d_name), {}});
    ListedEntry& entry = entries->back();
    if (fstatat(dir_fd, dirent->d_name, &entry.status, stat_flags) != 0) {
      int error = errno;
      PLOG_AT(log_site::kCouldntStat, LOG_ERROR, error)
          << "Couldn't stat " << directory.Join(entry.name).AsString();
      memset(&entry.status, 0, sizeof(entry.status));
    }
  }
}

// Removes the entry |name| of the directory open on |dir_fd|, or |path|
// when there is no such descriptor.
bool UnlinkEntry(int dir_fd, const std::string& name, const FsPath& path) {
  if (dir_fd >= 0) return unlinkat(dir_fd, name.c_str(), 0) == 0;
  return unlink(path.AsString().c_str()) == 0;
}

// Reads the file open on |fd| (which it closes) as ReadFileToString does.
bool ReadDescriptorToString(int fd, std::string* contents, size_t max_size) {
  std::string bytes;
  // A regular file is read in one call, with one spare byte to see its end;
  // other files, and a file that grows meanwhile, in chunks.
  size_t expected = 0;
  struct stat info;
  if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0 &&
      static_cast<uint64_t>(info.st_size) <= max_size) {
    expected = static_cast<size_t>(info.st_size);
    bytes.reserve(expected + 1);
  }
  const size_t kChunk = 64 * 1024;
  ssize_t count;
  do {
    size_t used = bytes.size();
    size_t chunk =
        expected > 0 && used <= expected ? expected - used + 1 : kChunk;
    bytes.resize(used + chunk);
    count = HANDLE_EINTR(read(fd, &bytes[used], chunk));
    bytes.resize(used + (count > 0 ? static_cast<size_t>(count) : 0));
  } while (count > 0 && bytes.size() <= max_size);
  int error = count < 0 ? errno : EFBIG;
  close(fd);
  if (count < 0 || bytes.size() > max_size) {
    errno = error;
    return false;
  }
  contents->swap(bytes);
  return true;
}

}  // namespace

bool ReadFileToString(const std::string& path, std::string* contents,
                      size_t max_size) {
  int fd = HANDLE_EINTR(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd < 0) return false;
  return ReadDescriptorToString(fd, contents, max_size);
}

int OpenRegularFile(const std::string& path, int flags, mode_t mode) {
  int fd = HANDLE_EINTR(
      open(path.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, mode));
  if (fd < 0) {
    // A link in the last component, or a FIFO without a reader.
    if (errno == ELOOP || errno == ENXIO) errno = kNotRegularFile;
    return -1;
  }
  struct stat info;
  int error = 0;
  if (fstat(fd, &info) != 0) {
    error = errno;
  } else if (!S_ISREG(info.st_mode)) {
    error = kNotRegularFile;
  } else if ((flags & O_NONBLOCK) == 0 &&
             fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
    error = errno;
  }
  if (error == 0) return fd;
  close(fd);
  errno = error;
  return -1;
}

std::string FileErrorText(int error) {
  return error == kNotRegularFile ? "Not a regular file"
                                  : SystemErrorText(error);
}

bool ReadRegularFile(const std::string& path, std::string* contents,
                     size_t max_size) {
  int fd = OpenRegularFile(path, O_RDONLY);
  if (fd < 0) return false;
  return ReadDescriptorToString(fd, contents, max_size);
}

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t written = HANDLE_EINTR(write(fd, bytes.data(), bytes.size()));
    if (written < 0) return false;
    bytes.remove_prefix(static_cast<size_t>(written));
  }
  return true;
}

bool CopyExactly(int from_fd, int to_fd, uint64_t size) {
  char buffer[64 * 1024];
  while (true) {
    // One byte more than is left, to see a source that holds more.
    size_t want =
        static_cast<size_t>(std::min<uint64_t>(sizeof(buffer), size + 1));
    ssize_t count = HANDLE_EINTR(read(from_fd, buffer, want));
    if (count < 0) return false;
    if (static_cast<uint64_t>(count) > size) {
      errno = EFBIG;
      return false;
    }
    if (count == 0) {
      if (size == 0) return true;
      errno = ENODATA;
      return false;
    }
    if (!WriteAll(to_fd,
                  std::string_view(buffer, static_cast<size_t>(count)))) {
      return false;
    }
    size -= static_cast<uint64_t>(count);
  }
}

namespace {

// Creates a new file named after |path| in the same directory, so that it can
// be renamed over |path|. Stores its name in |*temp_path|; returns the
// descriptor, or -1.
int CreateFileBeside(const std::string& path, std::string* temp_path) {
  static std::atomic<unsigned int> counter{0};
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = path + "." + std::to_string(getpid()) + "." +
                       std::to_string(counter++) + ".tmp";
    int fd = HANDLE_EINTR(
        open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (fd >= 0) {
      *temp_path = name;
      return fd;
    }
    if (errno != EEXIST) return -1;
  }
  return -1;
}

}  // namespace

bool ReplaceFileContents(const std::string& path, std::string_view contents,
                         int mode) {
  std::string temp_path;
  int fd = CreateFileBeside(path, &temp_path);
  if (fd < 0) return false;
  struct stat info;
  if (mode == kKeepFileMode && stat(path.c_str(), &info) == 0) {
    mode = static_cast<int>(info.st_mode & 07777);
  }
  bool ok =
      (mode == kKeepFileMode || fchmod(fd, static_cast<mode_t>(mode)) == 0) &&
      WriteAll(fd, contents) && fsync(fd) == 0;
  int error = errno;
  // close is not repeated on EINTR: Linux has released the descriptor then,
  // and the data is already on disk.
  if (close(fd) != 0 && errno != EINTR && ok) {
    ok = false;
    error = errno;
  }
  if (ok && rename(temp_path.c_str(), path.c_str()) != 0) {
    ok = false;
    error = errno;
  }
  if (ok) {
    // The rename lives in the directory: it too must reach the disk.
    std::string directory = FsPath(path).DirName().AsString();
    int dir_fd = HANDLE_EINTR(
        open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir_fd >= 0) {
      (void)fsync(dir_fd);
      close(dir_fd);
    }
    return true;
  }
  if (!ok) {
    unlink(temp_path.c_str());
    errno = error;
  }
  return ok;
}

bool LocateTempRoot(FsPath* path) {
  const char* tmpdir = getenv("TMPDIR");
  *path = FsPath(tmpdir ? tmpdir : "/tmp");
  return true;
}

bool MakeTempDirectory(const std::string& /*prefix*/, FsPath* path) {
  FsPath root;
  LocateTempRoot(&root);
  return MakeTempDirectoryUnder(root, path);
}

bool MakeTempDirectoryUnder(const FsPath& root, FsPath* path) {
  // mkdtemp fills in the name in place, in a NUL-terminated copy.
  std::string name = root.Join(kTempDirTemplate).AsString();
  if (!mkdtemp(&name[0])) return false;
  *path = FsPath(std::move(name));
  return true;
}

bool ListDirectory(std::vector<ListedEntry>* entries, const FsPath& directory,
                   bool links_as_entries) {
  DIR* stream = OpenDirectoryStream(directory, false);
  if (!stream) return false;
  ReadEntries(stream, directory, links_as_entries, entries);
  closedir(stream);
  return true;
}

DirectoryWalker::DirectoryWalker(const FsPath& root, bool recursive,
                                 WalkKinds kinds)
    : current_directory_(root), recursive_(recursive), kinds_(kinds) {
  pending_.push_back(root);
}

DirectoryWalker::~DirectoryWalker() { CloseStream(); }

FsPath DirectoryWalker::NextPath() {
  if (next_index_ < entries_.size()) ++next_index_;
  while (next_index_ >= entries_.size()) {
    if (pending_.empty()) {
      CloseStream();
      return FsPath();
    }
    current_directory_ = pending_.back().DropTrailingSeparators();
    pending_.pop_back();
    ReadCurrentDirectory();
  }
  return current_directory_.Join(entries_[next_index_].name);
}

bool DirectoryWalker::ReadCurrentDirectory() {
  // Nothing of the previous listing is yielded again, so it can go before
  // the next one is read.
  entries_.clear();
  next_index_ = 0;
  bool links_as_entries = (kinds_ & kWalkLinksAsEntries) != 0;
  // A sub-directory was seen as a directory by lstat; refusing a link in its
  // place keeps a concurrent swap from leading the walk out of the tree.
  bool no_follow = root_listed_ && links_as_entries;
  root_listed_ = true;
  DIR* stream = OpenDirectoryStream(current_directory_, no_follow);
  if (!stream) return false;
  CloseStream();
  stream_ = stream;
  ReadEntries(stream_, current_directory_, links_as_entries, &entries_);

  // Keep the wanted entries in place, in listing order.
  size_t kept = 0;
  for (ListedEntry& entry : entries_) {
    if (ShouldOmit(entry.name)) continue;
    bool is_directory = IsDirectoryStatus(entry.status);
    if (recursive_ && is_directory) {
      pending_.push_back(current_directory_.Join(entry.name));
    }
    WalkKinds wanted = is_directory ? kWalkDirectories : kWalkFiles;
    if ((kinds_ & wanted) == 0) continue;
    if (&entries_[kept] != &entry) entries_[kept] = std::move(entry);
    ++kept;
  }
  entries_.resize(kept);
  return true;
}

void DirectoryWalker::CloseStream() {
  if (stream_) closedir(stream_);
  stream_ = nullptr;
}

void DirectoryWalker::CurrentEntry(FoundEntry* info) const {
  if (next_index_ >= entries_.size()) return;
  const ListedEntry& entry = entries_[next_index_];
  info->status = entry.status;
  info->name = entry.name.AsString();
}

int DirectoryWalker::CurrentDirectoryFd() const {
  if (!stream_ || next_index_ >= entries_.size()) return -1;
  return dirfd(stream_);
}

bool DirectoryWalker::ShouldOmit(const FsPath& path) {
  return path.IsCurrentDirEntry() || path.IsParentDirEntry();
}

bool ResolvePrivateRoot(const FsPath& root, FsPath* resolved,
                        std::string* problem) {
  std::string name = root.IsEmpty() ? "." : root.AsString();
  char real[PATH_MAX];
  if (!realpath(name.c_str(), real)) {
    int error = errno;
    *problem = name + ": " + SystemErrorText(error);
    return false;
  }
  const uid_t me = geteuid();
  // From the root itself up to "/": whoever can rename an entry of any of
  // them can swap what the path leads to.
  for (FsPath dir(real);; dir = dir.DirName()) {
    struct stat status;
    if (lstat(dir.AsString().c_str(), &status) != 0) {
      int error = errno;
      *problem = dir.AsString() + ": " + SystemErrorText(error);
      return false;
    }
    if (!S_ISDIR(status.st_mode)) {
      *problem = dir.AsString() + " is not a directory";
      return false;
    }
    if (status.st_uid != me && status.st_uid != 0) {
      *problem = dir.AsString() + " belongs to another user";
      return false;
    }
    if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0 &&
        (status.st_mode & S_ISVTX) == 0) {
      *problem =
          dir.AsString() + " is writable by others without the sticky bit";
      return false;
    }
    if (dir.AsString() == "/") break;
  }
  *resolved = FsPath(real);
  return true;
}

bool SyncFileSystemOf(const std::string& path) {
  int fd = HANDLE_EINTR(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd < 0) return false;
  int result = syncfs(fd);
  int error = errno;
  close(fd);
  errno = error;
  return result == 0;
}

bool DeletePath(const FsPath& path, bool recursive) {
  const char* path_bytes = path.AsString().c_str();
  struct stat status;
  if (stat(path_bytes, &status) != 0) {
    int error = errno;
    return error == ENOENT || error == ENOTDIR;
  }
  if (!IsDirectoryStatus(status)) return unlink(path_bytes) == 0;
  if (!recursive) return rmdir(path_bytes) == 0;
  // Never walk through a link: what it points to is not ours to delete. A
  // trailing separator would make lstat follow the link, so it goes first.
  const std::string bare = path.DropTrailingSeparators().AsString();
  if (lstat(bare.c_str(), &status) != 0) {
    int error = errno;
    return error == ENOENT || error == ENOTDIR;
  }
  if (S_ISLNK(status.st_mode)) return unlink(bare.c_str()) == 0;

  // Files go during the walk; directories afterwards, children first.
  std::vector<FsPath> directories;
  directories.push_back(path);
  DirectoryWalker walker(path, true,
                         kWalkFiles | kWalkDirectories | kWalkLinksAsEntries);
  FoundEntry entry;
  bool success = true;
  for (FsPath next = walker.NextPath(); success && !next.IsEmpty();
       next = walker.NextPath()) {
    walker.CurrentEntry(&entry);
    if (IsDirectoryStatus(entry.status)) {
      directories.push_back(std::move(next));
    } else {
      success = UnlinkEntry(walker.CurrentDirectoryFd(), entry.name, next);
    }
  }
  while (success && !directories.empty()) {
    success = rmdir(directories.back().AsString().c_str()) == 0;
    directories.pop_back();
  }
  return success;
}

namespace {

// Adds owner read, write and search to |name| in the directory |dir_fd| when
// it is a directory (not a link to one) that lacks any of them. fchmodat
// cannot refuse links; callers walk trees that only their user can change.
void GiveOwnerFullAccess(int dir_fd, const char* name) {
  struct stat status;
  if (fstatat(dir_fd, name, &status, AT_SYMLINK_NOFOLLOW) != 0 ||
      !S_ISDIR(status.st_mode) || (status.st_mode & S_IRWXU) == S_IRWXU) {
    return;
  }
  (void)fchmodat(dir_fd, name, (status.st_mode & 07777) | S_IRWXU, 0);
}

}  // namespace

bool DeleteOwnTree(const FsPath& root) {
  const std::string top = root.DropTrailingSeparators().AsString();
  struct stat status;
  if (lstat(top.c_str(), &status) != 0) return errno == ENOENT;
  if (!S_ISDIR(status.st_mode)) return unlink(top.c_str()) == 0;
  GiveOwnerFullAccess(AT_FDCWD, top.c_str());
  // Files go as each directory is read; directories afterwards, children
  // first: each is found after its parent, so the reverse order works.
  std::vector<std::string> pending(1, top);
  std::vector<std::string> directories;
  while (!pending.empty()) {
    std::string directory = std::move(pending.back());
    pending.pop_back();
    DIR* stream = OpenDirectoryStream(FsPath(directory), true);
    if (!stream) return false;
    const int dir_fd = dirfd(stream);
    // Read whole first: removing entries during the listing could make it
    // skip others.
    std::vector<std::pair<std::string, unsigned char>> names;
    errno = 0;
    while (const struct dirent* dirent = readdir(stream)) {
      std::string_view name = dirent->d_name;
      if (name != "." && name != "..") names.emplace_back(name, dirent->d_type);
    }
    bool success = errno == 0;
    for (auto& [name, type] : names) {
      if (!success) break;
      bool is_directory = type == DT_DIR;
      if (type == DT_UNKNOWN) {
        success =
            fstatat(dir_fd, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0;
        is_directory = success && S_ISDIR(status.st_mode);
      }
      if (!success) break;
      if (is_directory) {
        // Its mode is the package's: it needs owner access to be emptied.
        GiveOwnerFullAccess(dir_fd, name.c_str());
        pending.push_back(directory + "/" + name);
      } else {
        success = unlinkat(dir_fd, name.c_str(), 0) == 0;
      }
    }
    int error = errno;
    closedir(stream);
    errno = error;
    if (!success) return false;
    directories.push_back(std::move(directory));
  }
  for (auto it = directories.rbegin(); it != directories.rend(); ++it) {
    if (rmdir(it->c_str()) != 0) return false;
  }
  return true;
}

}  // namespace base
