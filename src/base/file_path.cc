#include "base/file_path.h"

namespace base {

namespace {

// Length of |path| once its trailing separators are dropped. A path of
// exactly two separators keeps both unless it came from a longer run of
// separators, which ends as a single "/".
size_t LengthWithoutTrailingSeparators(const std::string& path) {
  size_t length = path.size();
  size_t last_removal_at = 0;  // 0: nothing removed yet.
  while (length > 1 && path[length - 1] == FsPath::kPathSeparator) {
    if (length == 2 && last_removal_at != 3 &&
        path[0] == FsPath::kPathSeparator) {
      break;
    }
    last_removal_at = length;
    --length;
  }
  return length;
}

}  // namespace

const char FsPath::kPathSeparator = '/';
const char FsPath::kCurrentDirName[] = ".";

FsPath FsPath::DropTrailingSeparators() const {
  return FsPath(path_.substr(0, LengthWithoutTrailingSeparators(path_)));
}

FsPath FsPath::Join(const std::string& component) const {
  if (path_ == kCurrentDirName) return FsPath(component);
  size_t base_length = LengthWithoutTrailingSeparators(path_);
  std::string joined;
  joined.reserve(base_length + 1 + component.size());
  joined.assign(path_, 0, base_length);
  if (!component.empty() && base_length != 0 &&
      joined.back() != kPathSeparator) {
    joined.push_back(kPathSeparator);
  }
  joined.append(component);
  return FsPath(std::move(joined));
}

void FsPath::LastComponentRange(size_t* start, size_t* length) const {
  size_t end = LengthWithoutTrailingSeparators(path_);
  size_t separator =
      end == 0 ? std::string::npos : path_.rfind(kPathSeparator, end - 1);
  if (separator == std::string::npos || separator == end - 1) {
    *start = 0;
    *length = end;
  } else {
    *start = separator + 1;
    *length = end - separator - 1;
  }
}

FsPath FsPath::LastComponent() const {
  size_t start, length;
  LastComponentRange(&start, &length);
  return FsPath(path_.substr(start, length));
}

FsPath FsPath::DirName() const {
  size_t start, length;
  LastComponentRange(&start, &length);
  if (start == 0) {
    return FsPath(!path_.empty() && path_[0] == kPathSeparator ? "/" : ".");
  }
  return FsPath(path_.substr(0, start)).DropTrailingSeparators();
}

bool FsPath::IsCurrentDirEntry() const {
  size_t start, length;
  LastComponentRange(&start, &length);
  return path_.compare(start, length, ".") == 0;
}

bool FsPath::IsParentDirEntry() const {
  size_t start, length;
  LastComponentRange(&start, &length);
  return path_.compare(start, length, "..") == 0;
}

}  // namespace base
