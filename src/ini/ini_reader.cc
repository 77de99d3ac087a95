#include <fcntl.h>
#include <stdint.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "base/eintr_wrapper.h"
#include "base/utf_string_conversions.h"
#include "ini/ini_document.h"

namespace {

const wchar_t kNameBlanks[] = L" \t";
const wchar_t kLineEnds[] = L"\r\n";
const wchar_t kHeaderTrailingBlanks[] = L" \t\r\n";

// Replaces |*contents| with the bytes of the file at |path|. Returns false,
// leaving |*contents| alone, when the file cannot be opened or read.
bool ReadWholeFile(const std::string& path, std::string* contents) {
  int fd = HANDLE_EINTR(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd < 0) return false;
  std::string bytes;
  // A regular file is read in one call, with one spare byte to see its end;
  // other files, and a file that grows meanwhile, in chunks.
  size_t expected = 0;
  struct stat info;
  if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0 &&
      static_cast<uint64_t>(info.st_size) < bytes.max_size()) {
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
  } while (count > 0);
  close(fd);
  if (count < 0) return false;
  contents->swap(bytes);
  return true;
}

}  // namespace

bool IniDocument::Load(const std::string& path, bool merge) {
  std::string bytes;
  if (!ReadWholeFile(path, &bytes)) return false;
  if (!merge) Clear();
  // A line feed byte is never part of a multi-byte sequence, so the bytes can
  // be split into lines before decoding.
  IniSection* current = nullptr;
  std::wstring line;
  const char* next = bytes.data();
  const char* end = next + bytes.size();
  while (next < end) {
    const char* line_feed = static_cast<const char*>(
        memchr(next, '\n', static_cast<size_t>(end - next)));
    const char* line_end = line_feed ? line_feed : end;
    base::Utf8ToWide(next, static_cast<size_t>(line_end - next), &line);
    ReadLine(&line, &current);
    next = line_end + 1;
  }
  return true;
}

void IniDocument::Read(std::wistream& in, bool merge) {
  if (!merge) Clear();
  IniSection* current = nullptr;
  std::wstring line;
  while (std::getline(in, line)) ReadLine(&line, &current);
}

void IniDocument::ReadLine(std::wstring* line, IniSection** current) {
  TrimLeft(line, kNameBlanks);
  TrimRight(line, kLineEnds);
  if (line->empty()) return;
  wchar_t first = (*line)[0];
  if (first == L'[') {
    // Not npos: the line starts with "[", which is no blank.
    size_t last = line->find_last_not_of(kHeaderTrailingBlanks);
    if ((*line)[last] == L']') {
      *current = FindOrCreateSection(line->substr(1, last - 1));
      return;
    }
  }
  // "#" and ";" start comments; a line without a key name or without "=" says
  // nothing either.
  if (first == L'#' || first == L';' || first == L'=' || !*current) return;
  size_t equals = line->find(L'=');
  if (equals == std::wstring::npos) return;
  (*current)
      ->FindOrCreateKey(line->substr(0, equals))
      ->set_value(std::wstring(*line, equals + 1));
}
