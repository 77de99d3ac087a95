#include <string.h>

#include <string>

#include "base/file_util.h"
#include "base/utf_string_conversions.h"
#include "ini/ini_document.h"

namespace {

constexpr std::wstring_view kLineEnds = L"\r\n";
constexpr std::wstring_view kHeaderTrailingBlanks = L" \t\r\n";

}  // namespace

bool IniDocument::Load(const std::string& path, bool merge) {
  std::string bytes;
  if (!base::ReadFileToString(path, &bytes)) return false;
  ReadText(bytes, merge);
  return true;
}

void IniDocument::ReadText(std::string_view text, bool merge) {
  if (!merge) Clear();
  // A line feed byte is never part of a multi-byte sequence, so the bytes can
  // be split into lines before decoding.
  IniSection* current = nullptr;
  std::wstring line;
  const char* next = text.data();
  const char* end = next + text.size();
  while (next < end) {
    const char* line_feed = static_cast<const char*>(
        memchr(next, '\n', static_cast<size_t>(end - next)));
    const char* line_end = line_feed ? line_feed : end;
    base::Utf8ToWide(next, static_cast<size_t>(line_end - next), &line);
    ReadLine(line, &current);
    next = line_end + 1;
  }
}

void IniDocument::Read(std::wistream& in, bool merge) {
  if (!merge) Clear();
  IniSection* current = nullptr;
  std::wstring line;
  while (std::getline(in, line)) ReadLine(line, &current);
}

void IniDocument::ReadLine(std::wstring_view line, IniSection** current) {
  line = TrimmedRight(TrimmedLeft(line, kNameBlanks), kLineEnds);
  if (line.empty()) return;
  wchar_t first = line[0];
  if (first == L'[') {
    // Not npos: the line starts with "[", which is no blank.
    size_t last = line.find_last_not_of(kHeaderTrailingBlanks);
    if (line[last] == L']') {
      *current = FindOrCreateSection(line.substr(1, last - 1));
      return;
    }
  }
  // "#" and ";" start comments; a line without a key name or without "=" says
  // nothing either.
  if (first == L'#' || first == L';' || first == L'=' || !*current) return;
  size_t equals = line.find(L'=');
  if (equals == std::wstring_view::npos) return;
  (*current)
      ->FindOrCreateKey(line.substr(0, equals))
      ->set_value(std::wstring(line.substr(equals + 1)));
}
