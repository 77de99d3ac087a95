#include "delta/delta_builder.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <utility>
#include <vector>

#include "base/eintr_wrapper.h"
#include "base/file_util.h"
#include "base/logging.h"
#include "delta/file_patch.h"
#include "update_settings.h"

namespace {

// An entry of the new tree: its path below the top and its status.
typedef std::vector<std::pair<std::string, struct stat>> TreeEntries;

std::string ErrorText(const std::string& path, int error) {
  return path + ": " + base::FileErrorText(error);
}

// Appends the entries of the directory |below| the top |top| and of every
// directory under it, links not followed. Fails on a directory that cannot
// be read, which would otherwise drop its files from the delta unseen.
bool ListTree(const std::string& top, const std::string& below,
              TreeEntries* entries, std::string* problem) {
  std::string directory = below.empty() ? top : top + "/" + below;
  DIR* stream = opendir(directory.c_str());
  if (!stream) {
    *problem = ErrorText(below.empty() ? "." : below, errno);
    return false;
  }
  std::vector<std::string> names;
  errno = 0;
  while (const struct dirent* dirent = readdir(stream)) {
    std::string name = dirent->d_name;
    if (name != "." && name != "..") names.push_back(std::move(name));
  }
  int error = errno;
  closedir(stream);
  if (error != 0) {
    *problem = ErrorText(below.empty() ? "." : below, error);
    return false;
  }
  for (const std::string& name : names) {
    std::string path = below.empty() ? name : below + "/" + name;
    struct stat status;
    if (lstat((top + "/" + path).c_str(), &status) != 0) {
      *problem = ErrorText(path, errno);
      return false;
    }
    if (!S_ISREG(status.st_mode) && !S_ISDIR(status.st_mode)) {
      *problem = path + ": a delta carries only regular files and directories";
      return false;
    }
    if (!IsDeltaPath(path)) {
      *problem = path + ": a delta listing cannot name it";
      return false;
    }
    entries->emplace_back(path, status);
    if (S_ISDIR(status.st_mode) && !ListTree(top, path, entries, problem)) {
      return false;
    }
  }
  return true;
}

// Whether |path| below |top| is a regular file reached through directories
// alone, as updaters open a base: a file reached through a link is none.
bool IsPlainFile(const std::string& top, const std::string& path) {
  struct stat status;
  for (size_t slash = path.find('/'); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    std::string directory = top + "/" + path.substr(0, slash);
    if (lstat(directory.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) {
      return false;
    }
  }
  return lstat((top + "/" + path).c_str(), &status) == 0 &&
         S_ISREG(status.st_mode);
}

// The size and digest of the regular file at |path|, from one descriptor.
bool Measure(const std::string& path, uint64_t* size, Sha256Digest* digest) {
  int fd = base::OpenRegularFile(path, O_RDONLY);
  if (fd < 0) return false;
  struct stat status;
  bool ok = fstat(fd, &status) == 0 && Sha256OfDescriptor(fd, digest);
  int error = errno;
  close(fd);
  errno = error;
  if (ok) *size = static_cast<uint64_t>(status.st_size);
  return ok;
}

// Makes the directories of |path| below |top| that are missing.
bool MakeParents(const std::string& top, const std::string& path) {
  for (size_t slash = path.find('/'); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    std::string directory = top + "/" + path.substr(0, slash);
    if (mkdir(directory.c_str(), 0755) != 0 && errno != EEXIST) return false;
  }
  return true;
}

bool CopyNewFile(const std::string& from, const std::string& to,
                 uint64_t size) {
  int in = base::OpenRegularFile(from, O_RDONLY);
  if (in < 0) return false;
  int out = HANDLE_EINTR(
      open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
  bool ok = out >= 0 && base::CopyExactly(in, out, size);
  int error = errno;
  close(in);
  if (out >= 0 && close(out) != 0 && ok) {
    ok = false;
    error = errno;
  }
  errno = error;
  return ok;
}

// Lists the file |path| of the new tree in |*file| and puts its payload, if
// it needs one, below |out|.
bool AddFile(const std::string& old_top, const std::string& new_top,
             const std::string& out, const std::string& path,
             const struct stat& status, DeltaFile* file, std::string* problem) {
  const std::string new_path = new_top + "/" + path;
  const std::string old_path = old_top + "/" + path;
  file->path = path;
  file->mode = status.st_mode & 0777;
  if (!Measure(new_path, &file->size, &file->sha256)) {
    *problem = ErrorText(path, errno);
    return false;
  }
  if (IsPlainFile(old_top, path)) {
    if (!Measure(old_path, &file->base_size, &file->base_sha256)) {
      *problem = ErrorText("the old " + path, errno);
      return false;
    }
    if (file->base_size == file->size && file->base_sha256 == file->sha256) {
      file->method = DeltaMethod::kKept;
      return true;
    }
    file->method = DeltaMethod::kPatched;
    std::string patch = out + "/" + DeltaPayloadPath(*file);
    bool made = false;
    if (!MakeParents(out, DeltaPayloadPath(*file))) {
      *problem = ErrorText(patch, errno);
      return false;
    }
    if (!MakeFilePatch(old_path, new_path, patch, file->size, &made, problem)) {
      return false;
    }
    if (made) return true;
  }
  file->method = DeltaMethod::kWhole;
  file->base_size = file->size;
  file->base_sha256 = file->sha256;
  std::string payload = DeltaPayloadPath(*file);
  if (!MakeParents(out, payload) ||
      !CopyNewFile(new_path, out + "/" + payload, file->size)) {
    *problem = ErrorText(out + "/" + payload, errno);
    return false;
  }
  return true;
}

}  // namespace

bool BuildDelta(const base::FsPath& old_dir, const base::FsPath& new_dir,
                const base::FsPath& out_dir, DeltaListing* listing,
                std::string* problem) {
  const std::string old_top = old_dir.AsString();
  const std::string new_top = new_dir.AsString();
  const std::string out = out_dir.AsString();
  TreeEntries entries;
  if (!ListTree(new_top, "", &entries, problem)) return false;
  if (entries.size() > kMaxDeltaEntries) {
    *problem = "more than " + std::to_string(kMaxDeltaEntries) + " entries";
    return false;
  }
  // Byte order puts every directory before the entries below it.
  std::sort(entries.begin(), entries.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  if (mkdir((out + "/patches").c_str(), 0755) != 0 ||
      mkdir((out + "/files").c_str(), 0755) != 0) {
    *problem = ErrorText(out, errno);
    return false;
  }
  DeltaListing built;
  for (const auto& [path, status] : entries) {
    if (S_ISDIR(status.st_mode)) {
      built.directories.push_back(DeltaDirectory{path, status.st_mode & 0777});
      continue;
    }
    built.files.emplace_back();
    if (!AddFile(old_top, new_top, out, path, status, &built.files.back(),
                 problem)) {
      return false;
    }
  }
  // Whatever is written must read back the same.
  std::string text = FormatDeltaListing(built);
  DeltaListing read_back;
  if (!ParseDeltaListing(text, &read_back, problem)) return false;
  if (!(read_back == built)) {
    *problem = "the listing does not read back as written";
    return false;
  }
  std::string listing_path = out + "/" + kDeltaListingFileName;
  if (!base::ReplaceFileContents(listing_path, text, 0644)) {
    *problem = ErrorText(listing_path, errno);
    return false;
  }
  *listing = std::move(built);
  return true;
}

bool ListingMakesTree(const DeltaListing& listing, const base::FsPath& tree,
                      std::string* problem) {
  const std::string top = tree.AsString();
  TreeEntries entries;
  if (!ListTree(top, "", &entries, problem)) return false;
  std::map<std::string, const DeltaFile*> listed;
  for (const DeltaFile& file : listing.files) listed[file.path] = &file;
  for (const auto& [path, status] : entries) {
    if (!S_ISREG(status.st_mode)) continue;
    auto found = listed.find(path);
    if (found == listed.end()) {
      *problem = path + ": the package holds it, the delta does not list it";
      return false;
    }
    const DeltaFile& file = *found->second;
    // The size alone tells most other files apart, without reading them.
    uint64_t size = static_cast<uint64_t>(status.st_size);
    Sha256Digest digest = file.sha256;
    if (size == file.size && !Measure(top + "/" + path, &size, &digest)) {
      *problem = ErrorText(path, errno);
      return false;
    }
    if (size != file.size || digest != file.sha256) {
      *problem = path + ": the delta makes another file than the package's";
      return false;
    }
    listed.erase(found);
  }
  if (!listed.empty()) {
    *problem = listed.begin()->first +
               ": the delta lists it, the package holds no such file";
    return false;
  }
  return true;
}
