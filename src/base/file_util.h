#ifndef BASE_FILE_UTIL_H_
#define BASE_FILE_UTIL_H_

#include <dirent.h>
#include <errno.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/stat.h>

#include <string>
#include <string_view>
#include <vector>

#include "base/file_path.h"

namespace base {

// Name of every directory that MakeTempDirectory makes; mkdtemp replaces the
// trailing "X" characters.
extern const char kTempDirTemplate[];

// Sets |path| to the directory under which temporary directories are made:
// $TMPDIR when it is set, even to the empty string, otherwise "/tmp". The
// directory is not checked. Always returns true.
bool LocateTempRoot(FsPath* path);

// Makes a new directory, accessible to its owner only, under the temporary
// root and stores its path in |path|. The path is relative when the root is
// empty or ".". |prefix| is accepted for callers' convenience and does not
// affect the name. Returns false, leaving |path| alone, when mkdtemp fails.
bool MakeTempDirectory(const std::string& prefix, FsPath* path);

// The same under |root| instead of the temporary root.
bool MakeTempDirectoryUnder(const FsPath& root, FsPath* path);

// Resolves |root| (empty means the current directory) once, to an absolute
// path without symbolic links, so that a link re-pointed later changes
// nothing, and checks that no other user can rename entries in it: it and
// every directory above it is owned by this user or by root, and each one
// that others may write to has the sticky bit. Stores the resolved path in
// |resolved|; returns false, with |resolved| alone and |problem| saying why,
// when it cannot be resolved or is not safe.
bool ResolvePrivateRoot(const FsPath& root, FsPath* resolved,
                        std::string* problem);

// Flushes the file system that holds |path| to its disk (syncfs), so that
// what was written there survives a power loss. Returns false, with errno
// set, on failure.
bool SyncFileSystemOf(const std::string& path);

// Replaces |*contents| with the bytes of the file at |path|. Returns false,
// leaving |*contents| alone and errno set, when the file cannot be opened or
// read, or holds more than |max_size| bytes (EFBIG).
bool ReadFileToString(const std::string& path, std::string* contents,
                      size_t max_size = SIZE_MAX);

// errno of OpenRegularFile and ReadRegularFile when |path| names something
// other than a regular file: a symbolic link, a directory, a FIFO, a device
// or a socket.
const int kNotRegularFile = EINVAL;

// Opens |path| with |flags| (O_CLOEXEC added) and |mode| like open(2), but
// only when it is a regular file: a symbolic link in its last component is
// never followed, and a FIFO never blocks the call. Returns the descriptor,
// or -1 with errno set (kNotRegularFile, or EISDIR for a directory opened
// for writing).
int OpenRegularFile(const std::string& path, int flags, mode_t mode = 0666);

// ReadFileToString for a regular file only, opened as OpenRegularFile does.
bool ReadRegularFile(const std::string& path, std::string* contents,
                     size_t max_size);

// SystemErrorText(|error|), with kNotRegularFile named for what it means
// above.
std::string FileErrorText(int error);

// Writes all of |bytes| to |fd|, repeating short and interrupted writes.
// Returns false, with errno set, when a write fails.
bool WriteAll(int fd, std::string_view bytes);

// Copies exactly |size| bytes from the current offset of |from_fd| to
// |to_fd|, in pieces. Returns false, with errno set, when a read or write
// fails, or when |from_fd| ends before |size| bytes (ENODATA) or holds more
// (EFBIG).
bool CopyExactly(int from_fd, int to_fd, uint64_t size);

// Mode argument of ReplaceFileContents that keeps the replaced file's mode.
const int kKeepFileMode = -1;

// Replaces the file at |path| with |contents| through a new file beside it
// that is synced and then renamed over it, the directory synced after, so a
// reader never sees half a file, a failed or interrupted write leaves the old
// file whole and the new one survives a power loss once this returns true. The
// file gets exactly |mode|, or with kKeepFileMode the replaced file's mode
// (0666 less the umask for a new file). Returns false, with errno set and no
// new file left behind, on failure.
bool ReplaceFileContents(const std::string& path, std::string_view contents,
                         int mode = kKeepFileMode);

// What a DirectoryWalker yields, as a bit mask.
typedef int WalkKinds;
const WalkKinds kWalkFiles = 1;        // Entries that are not directories.
const WalkKinds kWalkDirectories = 2;  // Directories.
// Examine entries with lstat instead of stat, so that a symbolic link to a
// directory is yielded as a file and never descended into.
const WalkKinds kWalkLinksAsEntries = 16;

// One entry of a directory listing. |status| is all zero bytes when the
// entry's status could not be read, which makes it count as a file.
struct ListedEntry {
  FsPath name;  // Without any directory part.
  struct stat status;
};

// The entry that a DirectoryWalker yielded last.
struct FoundEntry {
  struct stat status;
  std::string name;  // Without any directory part.
};

// Whether |status| describes a directory.
inline bool IsDirectoryStatus(const struct stat& status) {
  return S_ISDIR(status.st_mode);
}

// Appends every entry of |directory|, "." and ".." included, in the order
// the system delivers them, each with its status from lstat when
// |links_as_entries| is true and from stat otherwise. An entry whose status
// cannot be read is logged and kept with a zeroed status. A read error ends
// the listing early with the entries read so far. Returns false, leaving
// |entries| alone, only when the directory cannot be opened.
bool ListDirectory(std::vector<ListedEntry>* entries, const FsPath& directory,
                   bool links_as_entries);

// Yields the entries below |root| one directory listing at a time: a listing
// is read whole before any of its entries is yielded, entries come in listing
// order, and sub-directories are listed last-found first. The root itself,
// "." and ".." are never yielded. Directories that cannot be opened are
// skipped silently.
class DirectoryWalker {
 public:
  DirectoryWalker(const FsPath& root, bool recursive, WalkKinds kinds);
  ~DirectoryWalker();

  DirectoryWalker(const DirectoryWalker&) = delete;
  DirectoryWalker& operator=(const DirectoryWalker&) = delete;

  // The full path of the next entry, or the empty path once the walk is
  // over (and on every call after that).
  FsPath NextPath();

  // Copies the status and name of the entry that NextPath yielded last into
  // |info|; leaves |info| alone when there is none.
  void CurrentEntry(FoundEntry* info) const;

  // A descriptor of the directory whose entries are being yielded, or -1.
  // Owned by the walker and valid until the next call to NextPath; lets
  // callers act on entries with the *at system calls.
  int CurrentDirectoryFd() const;

  // Whether |path| ends in a "." or ".." component.
  static bool ShouldOmit(const FsPath& path);

 private:
  // Replaces entries_ with the kept entries of current_directory_ and
  // pushes its sub-directories when recursive. False when it can't be
  // opened.
  bool ReadCurrentDirectory();
  void CloseStream();

  std::vector<ListedEntry> entries_;
  size_t next_index_ = 0;  // Index in entries_ of the entry yielded last.
  FsPath current_directory_;
  bool recursive_;
  WalkKinds kinds_;
  std::vector<FsPath> pending_;  // Directories still to be listed; LIFO.
  bool root_listed_ = false;
  DIR* stream_ = nullptr;  // Open on the directory of entries_.
};

// Removes |path|: a file or symbolic link (unlinked), an empty directory, or
// with |recursive| a whole directory tree, whose symbolic links are unlinked
// and never followed. A top path that is a symbolic link to a directory,
// written with trailing separators or without, is unlinked when |recursive|
// and never walked, and makes the call fail otherwise. Returns true
// when the path no longer exists as far as this call knows (a missing path
// counts as deleted), false on the first failure; what was removed before it
// stays removed.
bool DeletePath(const FsPath& path, bool recursive);

// Removes |root| and all it holds, a tree the caller made (unpacked or
// copied with a package's modes): each directory gets owner read, write and
// search before it is emptied, links are unlinked and never followed, and a
// top path that is not a directory is unlinked. The listing gives each
// entry's type, so files cost no status call. True when nothing is left at
// |root| (a missing one counts); false, with errno set, on the first
// failure, what was removed before it staying removed.
bool DeleteOwnTree(const FsPath& root);

}  // namespace base

#endif  // BASE_FILE_UTIL_H_
