#include "daily_check.h"

#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include <ostream>

#include "base/logging.h"
#include "base/utf_string_conversions.h"
#include "download.h"
#include "ini/ini_document.h"
#include "state_file.h"
#include "update_log_sites.h"
#include "update_settings.h"

namespace {

const wchar_t kStateSection[] = L"main";
const wchar_t kLastUpdateTimeKey[] = L"LastUpdateTime";
const uint64_t kCheckInterval = 86400;

void StoreCheckTime(IniDocument* state, int64_t now) {
  state->SetValue(kStateSection, kLastUpdateTimeKey, std::to_wstring(now));
  (void)state->Save(kStateFileName);
}

}  // namespace

bool IsDailyCheckDueAt(int64_t now, bool* due) {
  IniDocument state;
  std::string text;
  switch (ReadStateFileText(&text)) {
    case StateFileRead::kFailed:
      return false;
    case StateFileRead::kMissing:
      // The file is rewritten whole through a new one, which replaces a link
      // or a special file in its place.
      LOG_AT(log_site::kLoadStateFile, base::LOG_ERROR)
          << "load ini file error!" << std::endl;
      StoreCheckTime(&state, now);
      *due = true;
      return true;
    case StateFileRead::kRead:
      break;
  }
  state.ReadText(text, false);
  std::string stored_text =
      base::WideToUtf8(state.GetValue(kStateSection, kLastUpdateTimeKey));
  // Leading blanks, an optional sign and digits, like atol, but 64 bits wide
  // on every build so the schedule keeps working after 2038.
  int64_t stored = strtoll(stored_text.c_str(), nullptr, 10);
  // Unsigned, so a stored time in the future (clock set back) is due too.
  uint64_t elapsed = static_cast<uint64_t>(now) - static_cast<uint64_t>(stored);
  if (elapsed < kCheckInterval) {
    *due = false;
    return true;
  }
  StoreCheckTime(&state, now);
  *due = true;
  return true;
}

bool IsDailyCheckDue(bool* due) {
  return IsDailyCheckDueAt(time(nullptr), due);
}

void FetchCheckFile(const std::string& check_url,
                    const DownloadLimits& limits) {
  (void)remove(kCheckFileName);
  DownloadLimits check_limits = limits;
  check_limits.max_file_bytes = kMaxCheckFileBytes;
  (void)DownloadFile(check_url, kCheckFileName, kConnectTimeoutSeconds,
                     check_limits);
}
