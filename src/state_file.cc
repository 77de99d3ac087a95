#include "state_file.h"

#include <ostream>

#include "base/file_util.h"
#include "base/logging.h"
#include "base/utf_string_conversions.h"
#include "update_log_sites.h"
#include "update_settings.h"

namespace {

const wchar_t kStateSection[] = L"main";

}  // namespace

void StateFile::Load() {
  std::string text;
  document_.Clear();
  if (base::ReadRegularFile(kStateFileName, &text, kMaxStateFileBytes)) {
    document_.ReadText(text, false);
  }
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
