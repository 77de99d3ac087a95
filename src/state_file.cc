#include "state_file.h"

#include <errno.h>

#include <ostream>

#include "base/file_util.h"
#include "base/logging.h"
#include "base/utf_string_conversions.h"
#include "update_log_sites.h"
#include "update_settings.h"

namespace {

const wchar_t kStateSection[] = L"main";

}  // namespace

StateFileRead ReadStateFileText(std::string* text) {
  if (base::ReadRegularFile(kStateFileName, text, kMaxStateFileBytes)) {
    return StateFileRead::kRead;
  }
  int error = errno;
  if (error == ENOENT || error == base::kNotRegularFile) {
    return StateFileRead::kMissing;
  }
  LOG_AT(log_site::kStateFileUnreadable, base::LOG_ERROR)
      << "can't read " << kStateFileName << ": " << base::SystemErrorText(error)
      << "!" << std::endl;
  return StateFileRead::kFailed;
}

bool StateFile::Load() {
  std::string text;
  document_.Clear();
  StateFileRead read = ReadStateFileText(&text);
  if (read == StateFileRead::kRead) document_.ReadText(text, false);
  return read != StateFileRead::kFailed;
}

std::optional<std::string> StateFile::Get(const wchar_t* key) const {
  const IniSection* section = document_.FindSection(kStateSection);
  const IniKey* found = section ? section->FindKey(key) : nullptr;
  if (!found) return std::nullopt;
  return base::WideToUtf8(found->value());
}

void StateFile::Set(const wchar_t* key, const std::string& value) {
  document_.SetValue(kStateSection, key, base::Utf8ToWide(value));
}

bool StateFile::Save() const {
  if (document_.Save(kStateFileName)) return true;
  LOG_AT(log_site::kWriteStateFile, base::LOG_ERROR)
      << "write " << kStateFileName << " failed!" << std::endl;
  return false;
}
