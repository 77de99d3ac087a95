// Feeds arbitrary file bytes to IniDocument::Load and checks the round trip
// through Save. The input is used twice:
//  - as the bytes of an INI file, loaded with Load;
//  - as a document built with SetValue: the input split at 0xFF bytes (never
//    part of UTF-8) into fields, each decoded from UTF-8, taken three at a
//    time as section, key and value; one field left over makes an empty
//    section, two make a key with an empty value. Such documents may lie
//    outside what the file format can hold.
// Files live in a private temporary directory under $TMPDIR.

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <sstream>
#include <string>
#include <vector>

#include "base/file_path.h"
#include "base/file_util.h"
#include "base/utf_string_conversions.h"
#include "fuzz/fuzz_check.h"
#include "ini/ini_document.h"

namespace {

base::FsPath* g_temp_dir = nullptr;

void RemoveTempDir() { base::DeletePath(*g_temp_dir, true); }

std::string TempFile(const char* name) {
  return g_temp_dir->Join(name).AsString();
}

std::string ReadBytes(const std::string& path) {
  std::string bytes;
  FILE* file = fopen(path.c_str(), "rbe");
  FUZZ_CHECK(file) << "cannot open " << path;
  char buffer[4096];
  size_t count;
  while ((count = fread(buffer, 1, sizeof(buffer), file)) > 0)
    bytes.append(buffer, count);
  fclose(file);
  return bytes;
}

void WriteBytes(const std::string& path, const std::string& bytes) {
  FILE* file = fopen(path.c_str(), "wbe");
  FUZZ_CHECK(file) << "cannot create " << path;
  FUZZ_CHECK(fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size());
  FUZZ_CHECK(fclose(file) == 0);
}

// The document's contents, one line per section and per key, for messages.
std::string Describe(const IniDocument& document) {
  std::string text;
  for (const auto& section : document.sections()) {
    text += "section " + fuzz::Quote(section.second.name()) + "\n";
    for (const auto& key : section.second.keys()) {
      text += "  key " + fuzz::Quote(key.second.name()) + " = " +
              fuzz::Quote(key.second.value()) + "\n";
    }
  }
  return text;
}

// Same sections and keys in the same order, with the same names (letter
// case included) and values.
bool Equal(const IniDocument& a, const IniDocument& b) {
  if (a.sections().size() != b.sections().size()) return false;
  auto section_b = b.sections().begin();
  for (const auto& section_a : a.sections()) {
    const IniSection& sa = section_a.second;
    const IniSection& sb = (section_b++)->second;
    if (sa.name() != sb.name() || sa.keys().size() != sb.keys().size())
      return false;
    auto key_b = sb.keys().begin();
    for (const auto& key_a : sa.keys()) {
      const IniKey& ka = key_a.second;
      const IniKey& kb = (key_b++)->second;
      if (ka.name() != kb.name() || ka.value() != kb.value()) return false;
    }
  }
  return true;
}

bool AllValid(const std::wstring& text) {
  for (wchar_t c : text) {
    uint32_t value = static_cast<uint32_t>(c);
    if (value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return false;
  }
  return true;
}

bool StartsWithAny(const std::wstring& text, const wchar_t* characters) {
  return !text.empty() &&
         std::wstring(characters).find(text[0]) != std::wstring::npos;
}

// Whether Save and Load give the document back unchanged. Save writes names
// and values as they are, so a line feed splits a line, a carriage return at
// a line's end is dropped, a key line needs a name before its first "=" that
// no comment character starts, and a key line that starts with "[" and ends
// (less blanks and carriage returns) with "]" is a header. Characters that
// are no code points come back as U+FFFD.
bool WithinRoundTripLimits(const IniDocument& document) {
  for (const auto& section : document.sections()) {
    const std::wstring& name = section.second.name();
    if (name.find(L'\n') != std::wstring::npos || !AllValid(name)) return false;
    for (const auto& key : section.second.keys()) {
      const std::wstring& key_name = key.second.name();
      const std::wstring& value = key.second.value();
      if (key_name.empty() ||
          key_name.find_first_of(L"=\n") != std::wstring::npos ||
          StartsWithAny(key_name, L"#;") || !AllValid(key_name)) {
        return false;
      }
      if (value.find(L'\n') != std::wstring::npos ||
          (!value.empty() && value.back() == L'\r') || !AllValid(value)) {
        return false;
      }
      size_t last = value.find_last_not_of(L" \t\r");
      if (key_name[0] == L'[' && last != std::wstring::npos &&
          value[last] == L']') {
        return false;
      }
    }
  }
  return true;
}

// Saves |document| to the file "saved.ini" and returns the file's bytes,
// which must be the UTF-8 form of Write's text.
std::string SaveAndRead(const IniDocument& document) {
  std::string path = TempFile("saved.ini");
  FUZZ_CHECK(document.Save(path)) << Describe(document);
  std::string bytes = ReadBytes(path);
  std::wostringstream text;
  document.Write(text);
  FUZZ_CHECK(bytes == base::WideToUtf8(text.str()))
      << "saved: " << fuzz::Quote(bytes)
      << "\nwritten: " << fuzz::Quote(text.str());
  return bytes;
}

void Load(const std::string& path, bool merge, IniDocument* document) {
  FUZZ_CHECK(document->Load(path, merge)) << "cannot load " << path;
}

// Saves |document| and reads it back, twice over. What one save and load
// gives holds only what a file can hold, so from there on the text stays the
// same; within the limits the first load already gives the document back.
void CheckRoundTrip(const IniDocument& document) {
  std::string saved = SaveAndRead(document);
  IniDocument loaded;
  Load(TempFile("saved.ini"), false, &loaded);
  std::string saved_again = SaveAndRead(loaded);
  IniDocument loaded_again;
  Load(TempFile("saved.ini"), false, &loaded_again);

  FUZZ_CHECK(WithinRoundTripLimits(loaded)) << Describe(loaded);
  FUZZ_CHECK(Equal(loaded, loaded_again))
      << "first load:\n"
      << Describe(loaded) << "second load:\n"
      << Describe(loaded_again);
  FUZZ_CHECK(SaveAndRead(loaded_again) == saved_again)
      << "saved: " << fuzz::Quote(saved_again);

  if (!WithinRoundTripLimits(document)) return;
  FUZZ_CHECK(Equal(document, loaded))
      << "document:\n"
      << Describe(document) << "saved: " << fuzz::Quote(saved) << "\nloaded:\n"
      << Describe(loaded);
  FUZZ_CHECK(saved_again == saved) << "first: " << fuzz::Quote(saved)
                                   << "\nsecond: " << fuzz::Quote(saved_again);
}

void CheckLoadedFile(const std::string& bytes) {
  std::string path = TempFile("input.ini");
  WriteBytes(path, bytes);
  IniDocument document;
  document.SetValue(L"left over", L"key", L"value");
  Load(path, false, &document);

  // Whatever a file holds, the document holds only what a file can hold.
  FUZZ_CHECK(WithinRoundTripLimits(document)) << Describe(document);

  // Load decodes the bytes line by line, Read the decoded text as a stream.
  IniDocument read;
  std::wistringstream stream(base::Utf8ToWide(bytes));
  read.Read(stream, false);
  FUZZ_CHECK(Equal(document, read)) << "loaded:\n"
                                    << Describe(document) << "read:\n"
                                    << Describe(read);

  // Reading the same file again into the same document changes nothing.
  IniDocument merged;
  Load(path, false, &merged);
  Load(path, true, &merged);
  FUZZ_CHECK(Equal(document, merged)) << "once:\n"
                                      << Describe(document) << "twice:\n"
                                      << Describe(merged);

  CheckRoundTrip(document);
}

void CheckBuiltDocument(const std::string& bytes) {
  std::vector<std::wstring> fields;
  size_t start = 0;
  while (true) {
    size_t end = bytes.find('\xFF', start);
    fields.push_back(base::Utf8ToWide(bytes.substr(start, end - start)));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  IniDocument document;
  size_t i = 0;
  for (; i + 3 <= fields.size(); i += 3)
    document.SetValue(fields[i], fields[i + 1], fields[i + 2]);
  if (fields.size() - i == 1) document.FindOrCreateSection(fields[i]);
  if (fields.size() - i == 2) document.SetValue(fields[i], fields[i + 1], L"");
  CheckRoundTrip(document);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  g_temp_dir = new base::FsPath;
  if (!base::MakeTempDirectory("ini_reader_fuzzer", g_temp_dir)) {
    perror("ini_reader_fuzzer: cannot make a temporary directory");
    abort();
  }
  atexit(RemoveTempDir);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string bytes(reinterpret_cast<const char*>(data), size);
  CheckLoadedFile(bytes);
  CheckBuiltDocument(bytes);
  return 0;
}
