#ifndef BASE_FILE_PATH_H_
#define BASE_FILE_PATH_H_

#include <stddef.h>

#include <string>
#include <utility>

namespace base {

// A path as the operating system sees it: a byte string with "/" as the only
// separator. Operations only rearrange bytes; none of them touches the file
// system, resolves links or normalises "." and ".." components.
class FsPath {
 public:
  static const char kPathSeparator;
  static const char kCurrentDirName[];

  FsPath() = default;
  explicit FsPath(const std::string& path) : path_(path) {}
  explicit FsPath(std::string&& path) : path_(std::move(path)) {}
  explicit FsPath(const char* path) : path_(path) {}

  // The bytes to hand to system calls and command lines.
  const std::string& AsString() const { return path_; }
  bool IsEmpty() const { return path_.empty(); }

  // This path without trailing separators. A lone "/" and exactly "//" stay
  // as they are; three or more separators and nothing else become "/".
  FsPath DropTrailingSeparators() const;

  // This path followed by |component|, with one separator between them
  // unless this path is empty or already ends in one once its trailing
  // separators are dropped. The path "." joined with anything gives the
  // component alone. The component is appended unexamined.
  FsPath Join(const std::string& component) const;
  FsPath Join(const FsPath& component) const { return Join(component.path_); }

  // The final component, ignoring trailing separators; "/", "//" and the
  // empty path give themselves.
  FsPath LastComponent() const;

  // The path without its final component and the separators before it:
  // "/a/b" gives "/a", "/a" and "/" give "/", a lone component or the empty
  // path gives ".".
  FsPath DirName() const;

  // Whether the final component is exactly "." or "..".
  bool IsCurrentDirEntry() const;
  bool IsParentDirEntry() const;

  bool operator==(const FsPath& other) const { return path_ == other.path_; }
  bool operator!=(const FsPath& other) const { return path_ != other.path_; }

 private:
  // Where the final component starts in path_ and how long it is.
  void LastComponentRange(size_t* start, size_t* length) const;

  std::string path_;
};

}  // namespace base

#endif  // BASE_FILE_PATH_H_
