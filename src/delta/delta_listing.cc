#include "delta/delta_listing.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <initializer_list>
#include <set>
#include <utility>

#include "base/file_path.h"
#include "base/file_util.h"
#include "base/utf_string_conversions.h"
#include "ini/ini_document.h"
#include "manifest_terms.h"
#include "update_settings.h"

namespace {

const char kFormat[] = "1";
const char kPatchesDir[] = "patches/";
const char kFilesDir[] = "files/";
const uint32_t kMaxMode = 0777;

const char* MethodName(DeltaMethod method) {
  switch (method) {
    case DeltaMethod::kKept:
      return "kept";
    case DeltaMethod::kPatched:
      return "patched";
    case DeltaMethod::kWhole:
      break;
  }
  return "whole";
}

bool ParseMethod(const std::string& text, DeltaMethod* method) {
  for (DeltaMethod candidate :
       {DeltaMethod::kKept, DeltaMethod::kPatched, DeltaMethod::kWhole}) {
    if (text == MethodName(candidate)) {
      *method = candidate;
      return true;
    }
  }
  return false;
}

std::string FormatMode(uint32_t mode) {
  char text[8];
  snprintf(text, sizeof(text), "%04o", static_cast<unsigned>(mode));
  return text;
}

// Three or four octal digits of permission bits.
bool ParseMode(const std::string& text, uint32_t* mode) {
  if (text.size() < 3 || text.size() > 4 ||
      text.find_first_not_of("01234567") != std::string::npos) {
    return false;
  }
  uint32_t value = static_cast<uint32_t>(std::stoul(text, nullptr, 8));
  if (value > kMaxMode) return false;
  *mode = value;
  return true;
}

bool ParseCount(const std::string& text, uint64_t* count) {
  uint64_t value;
  if (!ParsePackageSize(text, &value) || value > kMaxDeltaEntries) return false;
  *count = value;
  return true;
}

bool IsUpdaterFileName(std::string_view name) {
  for (const char* updater_name : kUpdaterFileNames) {
    if (name == updater_name) return true;
  }
  return false;
}

}  // namespace

bool IsDeltaPath(std::string_view path) {
  std::wstring wide;
  if (path.empty() || path[0] == '/' ||
      !base::Utf8ToWide(path.data(), path.size(), &wide)) {
    return false;
  }
  for (unsigned char c : path) {
    if (c < 0x20 || c == 0x7f) return false;
  }
  std::string_view rest = path;
  bool top = true;
  while (true) {
    size_t slash = rest.find('/');
    std::string_view component = rest.substr(0, slash);
    if (component.empty() || component == "." || component == "..") {
      return false;
    }
    if (top && IsUpdaterFileName(component)) return false;
    top = false;
    if (slash == std::string_view::npos) return true;
    rest.remove_prefix(slash + 1);
  }
}

namespace {

// The keys of one section of the listing, each present exactly once and
// none else.
class SectionReader {
 public:
  SectionReader(const IniSection& section, std::string name,
                std::string* problem)
      : section_(section), name_(std::move(name)), problem_(problem) {}

  // Whether the section has exactly |count| keys.
  bool HasKeys(size_t count) {
    if (section_.keys().size() == count) return true;
    return Fail("it has " + std::to_string(section_.keys().size()) +
                " keys instead of " + std::to_string(count));
  }

  // The value of |key| as UTF-8; false when the key is missing.
  bool Get(const char* key, std::string* value) {
    const IniKey* found = section_.FindKey(base::Utf8ToWide(key));
    if (!found) return Fail(std::string("no key \"") + key + "\"");
    *value = base::WideToUtf8(found->value());
    return true;
  }

  // Reads |key| with |parse|, which returns false for a malformed value.
  template <typename T, typename Parse>
  bool Read(const char* key, const char* what, Parse parse, T* value) {
    std::string text;
    if (!Get(key, &text)) return false;
    if (parse(text, value)) return true;
    return Fail(std::string("its \"") + key + "\" is not " + what);
  }

  bool Fail(const std::string& what) {
    *problem_ = "[" + name_ + "]: " + what;
    return false;
  }

 private:
  const IniSection& section_;
  std::string name_;
  std::string* problem_;
};

bool ParsePath(const std::string& text, std::string* path) {
  if (!IsDeltaPath(text)) return false;
  *path = text;
  return true;
}

bool ParseDigest(const std::string& text, Sha256Digest* digest) {
  return ParseSha256Hex(text, digest);
}

const char kPathForm[] =
    "a relative path without empty, \".\" or \"..\" components";

const IniSection* FindSection(const IniDocument& document,
                              const std::string& name, std::string* problem) {
  const IniSection* section = document.FindSection(base::Utf8ToWide(name));
  if (!section) *problem = "no section [" + name + "]";
  return section;
}

bool ParseDirectory(const IniDocument& document, uint64_t number,
                    DeltaDirectory* directory, std::string* problem) {
  std::string name = "directory." + std::to_string(number);
  const IniSection* section = FindSection(document, name, problem);
  if (!section) return false;
  SectionReader reader(*section, name, problem);
  return reader.HasKeys(2) &&
         reader.Read("path", kPathForm, ParsePath, &directory->path) &&
         reader.Read("mode", "permission bits in octal, 0000 to 0777",
                     ParseMode, &directory->mode);
}

bool ParseFile(const IniDocument& document, uint64_t number, DeltaFile* file,
               std::string* problem) {
  std::string name = "file." + std::to_string(number);
  const IniSection* section = FindSection(document, name, problem);
  if (!section) return false;
  SectionReader reader(*section, name, problem);
  std::string method;
  if (!reader.Get("method", &method)) return false;
  if (!ParseMethod(method, &file->method)) {
    return reader.Fail("its \"method\" is not kept, patched or whole");
  }
  bool patched = file->method == DeltaMethod::kPatched;
  if (!reader.HasKeys(patched ? 7 : 5) ||
      !reader.Read("path", kPathForm, ParsePath, &file->path) ||
      !reader.Read("mode", "permission bits in octal, 0000 to 0777", ParseMode,
                   &file->mode) ||
      !reader.Read("size", "a decimal byte count", ParsePackageSize,
                   &file->size) ||
      !reader.Read("sha256", "64 hex digits", ParseDigest, &file->sha256)) {
    return false;
  }
  if (!patched) {
    file->base_size = file->size;
    file->base_sha256 = file->sha256;
    return true;
  }
  return reader.Read("base_size", "a decimal byte count", ParsePackageSize,
                     &file->base_size) &&
         reader.Read("base_sha256", "64 hex digits", ParseDigest,
                     &file->base_sha256);
}

// Checks that no path is listed twice and that every parent is a listed
// directory.
bool CheckTreeShape(const DeltaListing& listing, std::string* problem) {
  std::set<std::string_view> directories, paths;
  for (const DeltaDirectory& directory : listing.directories) {
    directories.insert(directory.path);
  }
  auto check = [&](const std::string& path) {
    if (!paths.insert(path).second) {
      *problem = path + ": listed twice";
      return false;
    }
    size_t slash = path.rfind('/');
    if (slash != std::string::npos &&
        !directories.count(std::string_view(path).substr(0, slash))) {
      *problem = path + ": its directory is not listed";
      return false;
    }
    return true;
  };
  for (const DeltaDirectory& directory : listing.directories) {
    if (!check(directory.path)) return false;
  }
  for (const DeltaFile& file : listing.files) {
    if (!check(file.path)) return false;
  }
  return true;
}

}  // namespace

bool DeltaFile::operator==(const DeltaFile& other) const {
  return path == other.path && mode == other.mode && size == other.size &&
         sha256 == other.sha256 && method == other.method &&
         base_size == other.base_size && base_sha256 == other.base_sha256;
}

std::string DeltaPayloadPath(const DeltaFile& file) {
  switch (file.method) {
    case DeltaMethod::kKept:
      break;
    case DeltaMethod::kPatched:
      return kPatchesDir + file.path;
    case DeltaMethod::kWhole:
      return kFilesDir + file.path;
  }
  return std::string();
}

std::string FormatDeltaListing(const DeltaListing& listing) {
  std::string text =
      "# The files of a package and how each is made from the package "
      "before.\n";
  text += std::string("[delta]\nformat=") + kFormat +
          "\ndirectories=" + std::to_string(listing.directories.size()) +
          "\nfiles=" + std::to_string(listing.files.size()) + "\n";
  for (size_t i = 0; i < listing.directories.size(); ++i) {
    const DeltaDirectory& directory = listing.directories[i];
    text += "[directory." + std::to_string(i + 1) +
            "]\npath=" + directory.path +
            "\nmode=" + FormatMode(directory.mode) + "\n";
  }
  for (size_t i = 0; i < listing.files.size(); ++i) {
    const DeltaFile& file = listing.files[i];
    text += "[file." + std::to_string(i + 1) + "]\npath=" + file.path +
            "\nmode=" + FormatMode(file.mode) +
            "\nsize=" + std::to_string(file.size) +
            "\nsha256=" + Sha256Hex(file.sha256) +
            "\nmethod=" + MethodName(file.method) + "\n";
    if (file.method == DeltaMethod::kPatched) {
      text += "base_size=" + std::to_string(file.base_size) +
              "\nbase_sha256=" + Sha256Hex(file.base_sha256) + "\n";
    }
  }
  return text;
}

bool ParseDeltaListing(std::string_view text, DeltaListing* listing,
                       std::string* problem) {
  if (text.size() > kMaxDeltaListingBytes) {
    *problem =
        "it is larger than " + std::to_string(kMaxDeltaListingBytes) + " bytes";
    return false;
  }
  IniDocument document;
  document.ReadText(text, false);
  const IniSection* top = FindSection(document, "delta", problem);
  if (!top) return false;
  SectionReader reader(*top, "delta", problem);
  std::string format;
  uint64_t directory_count, file_count;
  if (!reader.HasKeys(3) || !reader.Get("format", &format)) return false;
  if (format != kFormat) {
    return reader.Fail(std::string("its \"format\" is not ") + kFormat);
  }
  const char kCount[] = "a count of at most 1000000";
  if (!reader.Read("directories", kCount, ParseCount, &directory_count) ||
      !reader.Read("files", kCount, ParseCount, &file_count)) {
    return false;
  }
  // The counts are checked against the sections there are before anything
  // is reserved for them.
  if (document.sections().size() != 1 + directory_count + file_count) {
    *problem = "it has " + std::to_string(document.sections().size()) +
               " sections instead of " +
               std::to_string(1 + directory_count + file_count);
    return false;
  }
  DeltaListing parsed;
  parsed.directories.resize(static_cast<size_t>(directory_count));
  parsed.files.resize(static_cast<size_t>(file_count));
  for (size_t i = 0; i < parsed.directories.size(); ++i) {
    if (!ParseDirectory(document, i + 1, &parsed.directories[i], problem)) {
      return false;
    }
  }
  for (size_t i = 0; i < parsed.files.size(); ++i) {
    if (!ParseFile(document, i + 1, &parsed.files[i], problem)) return false;
  }
  if (!CheckTreeShape(parsed, problem)) return false;
  *listing = std::move(parsed);
  return true;
}

bool ReadDeltaListing(const std::string& delta_dir, DeltaListing* listing,
                      std::string* problem) {
  std::string path =
      base::FsPath(delta_dir).Join(kDeltaListingFileName).AsString();
  std::string text;
  if (!base::ReadRegularFile(path, &text, kMaxDeltaListingBytes)) {
    *problem =
        std::string(kDeltaListingFileName) + ": " +
        (errno == EFBIG ? "it is larger than " +
                              std::to_string(kMaxDeltaListingBytes) + " bytes"
                        : base::FileErrorText(errno));
    return false;
  }
  if (ParseDeltaListing(text, listing, problem)) return true;
  *problem = std::string(kDeltaListingFileName) + ": " + *problem;
  return false;
}
