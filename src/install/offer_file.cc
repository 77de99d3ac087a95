#include "install/offer_file.h"

#include <errno.h>
#include <limits.h>

#include <sstream>
#include <utility>

#include "base/file_util.h"
#include "base/utf_string_conversions.h"
#include "ini/ini_document.h"
#include "update_settings.h"

namespace {

const wchar_t kSection[] = L"package";
const wchar_t kUrlKey[] = L"url";
const wchar_t kSha256Key[] = L"sha256";
const wchar_t kSizeKey[] = L"size";
const wchar_t kStagingKey[] = L"staging";
const wchar_t kEntriesKey[] = L"entries";
const wchar_t kBytesKey[] = L"bytes";
const wchar_t kDeviceKey[] = L"device";
const wchar_t kInodeKey[] = L"inode";
const wchar_t kPhaseKey[] = L"phase";
const wchar_t kBootKey[] = L"boot";
// The longest boot id and phase read; the kernel's boot id has 36.
const size_t kMaxShortValueBytes = 64;
// A few short lines; anything longer is no file of ours.
const size_t kMaxOfferFileBytes = 16 * 1024;
// The longest URL installed, the longest path (the staging directory's) and
// the short keys and numbers fit, so what is written can be read back.
static_assert(kMaxPackageUrlBytes + PATH_MAX + 1024 <= kMaxOfferFileBytes);

std::string Value(const IniSection& section, const wchar_t* key) {
  const IniKey* found = section.FindKey(key);
  return found ? base::WideToUtf8(found->value()) : std::string();
}

}  // namespace

bool ReadOfferFile(const char* path, OfferFile* file) {
  std::string text;
  if (!base::ReadRegularFile(path, &text, kMaxOfferFileBytes)) return false;
  IniDocument document;
  document.ReadText(text, false);
  const IniSection* section = document.FindSection(kSection);
  if (!section || !section->FindKey(kUrlKey)) return false;
  OfferFile read;
  read.package.url = Value(*section, kUrlKey);
  if (section->FindKey(kSha256Key)) {
    Sha256Digest digest;
    if (!ParseSha256Hex(Value(*section, kSha256Key), &digest)) return false;
    read.package.sha256 = digest;
  }
  if (section->FindKey(kSizeKey)) {
    uint64_t size;
    if (!ParsePackageSize(Value(*section, kSizeKey), &size)) return false;
    read.package.size = size;
  }
  read.staging = Value(*section, kStagingKey);
  const std::pair<const wchar_t*, uint64_t*> numbers[] = {
      {kEntriesKey, &read.entries},
      {kBytesKey, &read.bytes},
      {kDeviceKey, &read.staging_device},
      {kInodeKey, &read.staging_inode}};
  for (const auto& [key, number] : numbers) {
    if (section->FindKey(key) &&
        !ParsePackageSize(Value(*section, key), number)) {
      return false;
    }
  }
  read.phase = Value(*section, kPhaseKey);
  read.boot = Value(*section, kBootKey);
  if (read.phase.size() > kMaxShortValueBytes ||
      read.boot.size() > kMaxShortValueBytes) {
    return false;
  }
  *file = read;
  return true;
}

bool WriteOfferFile(const char* path, const OfferFile& file) {
  IniDocument document;
  document.SetValue(kSection, kUrlKey, base::Utf8ToWide(file.package.url));
  if (file.package.sha256) {
    document.SetValue(kSection, kSha256Key,
                      base::Utf8ToWide(Sha256Hex(*file.package.sha256)));
  }
  if (file.package.size) {
    document.SetValue(kSection, kSizeKey, std::to_wstring(*file.package.size));
  }
  if (!file.staging.empty()) {
    document.SetValue(kSection, kStagingKey, base::Utf8ToWide(file.staging));
  }
  const std::pair<const wchar_t*, uint64_t> numbers[] = {
      {kEntriesKey, file.entries},
      {kBytesKey, file.bytes},
      {kDeviceKey, file.staging_device},
      {kInodeKey, file.staging_inode}};
  for (const auto& [key, number] : numbers) {
    if (number != 0) document.SetValue(kSection, key, std::to_wstring(number));
  }
  if (!file.phase.empty()) {
    document.SetValue(kSection, kPhaseKey, base::Utf8ToWide(file.phase));
  }
  if (!file.boot.empty()) {
    document.SetValue(kSection, kBootKey, base::Utf8ToWide(file.boot));
  }
  // A file that would be refused when read back is not written at all: a
  // journal lost that way would let a half-copied installation pass for
  // current.
  std::wostringstream text;
  document.Write(text);
  const std::string bytes = base::WideToUtf8(text.str());
  if (bytes.size() > kMaxOfferFileBytes) {
    errno = EFBIG;
    return false;
  }
  return base::ReplaceFileContents(path, bytes);
}
