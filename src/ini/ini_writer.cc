#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <sstream>
#include <string>

#include "base/eintr_wrapper.h"
#include "base/utf_string_conversions.h"
#include "ini/ini_document.h"

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

bool WriteAll(int fd, const std::string& bytes) {
  const char* next = bytes.data();
  size_t left = bytes.size();
  while (left > 0) {
    ssize_t written = HANDLE_EINTR(write(fd, next, left));
    if (written < 0) return false;
    next += written;
    left -= static_cast<size_t>(written);
  }
  return true;
}

}  // namespace

bool IniDocument::Save(const std::string& path) const {
  std::wostringstream text;
  Write(text);
  std::string bytes = base::WideToUtf8(text.str());

  std::string temp_path;
  int fd = CreateFileBeside(path, &temp_path);
  if (fd < 0) return false;
  bool ok = true;
  // A replaced file keeps its permissions.
  struct stat info;
  if (stat(path.c_str(), &info) == 0)
    ok = fchmod(fd, info.st_mode & 07777) == 0;
  ok = ok && WriteAll(fd, bytes) && fsync(fd) == 0;
  // close is not repeated on EINTR: Linux has released the descriptor then,
  // and the data is already on disk.
  if (close(fd) != 0 && errno != EINTR) ok = false;
  if (ok && rename(temp_path.c_str(), path.c_str()) == 0) return true;
  unlink(temp_path.c_str());
  return false;
}

void IniDocument::Write(std::wostream& out) const {
  for (const auto& section : sections_) {
    out << L'[' << section.second.name() << L"]\n";
    for (const auto& key : section.second.keys()) {
      out << key.second.name() << L'=' << key.second.value() << L'\n';
    }
  }
}
