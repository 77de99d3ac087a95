#include <sstream>
#include <string>

#include "base/file_util.h"
#include "base/utf_string_conversions.h"
#include "ini/ini_document.h"

bool IniDocument::Save(const std::string& path) const {
  std::wostringstream text;
  Write(text);
  return base::ReplaceFileContents(path, base::WideToUtf8(text.str()));
}

void IniDocument::Write(std::wostream& out) const {
  for (const auto& section : sections_) {
    out << L'[' << section.second.name() << L"]\n";
    for (const auto& key : section.second.keys()) {
      out << key.second.name() << L'=' << key.second.value() << L'\n';
    }
  }
}
