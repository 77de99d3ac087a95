#include "accepted_manifest.h"

#include <optional>
#include <ostream>

#include "base/logging.h"
#include "state_file.h"
#include "update_log_sites.h"
#include "utc_time.h"
#include "version.h"

namespace {

const wchar_t kManifestIssuedKey[] = L"ManifestIssued";
const wchar_t kAcceptedVersionKey[] = L"AcceptedVersion";

// The mark of the newest manifest taken, from |state|: nothing when there is
// none yet. A stored mark that is not a time (a damaged or hand-edited file)
// is logged and counts as none, so that the installation is not locked out
// for good.
std::optional<int64_t> StoredMark(const StateFile& state) {
  std::optional<std::string> stored = state.Get(kManifestIssuedKey);
  if (!stored) return std::nullopt;
  int64_t mark;
  if (ParseUtcTime(*stored, &mark)) return mark;
  LOG_AT(log_site::kStoredIssuedMalformed, base::LOG_ERROR)
      << "stored manifest issue mark is not a time, taking this manifest!"
      << std::endl;
  return std::nullopt;
}

}  // namespace

bool AcceptSignedManifest(int64_t issue_time, const std::string& issued,
                          const std::string& offered,
                          const std::string& local_version) {
  StateFile state;
  if (!state.Load()) return false;
  std::optional<int64_t> stored = StoredMark(state);
  if (stored && issue_time < *stored) {
    LOG_AT(log_site::kManifestIssuedGoesBack, base::LOG_ERROR)
        << "manifest issued at " << issued
        << " is older than the manifest taken before, issued at "
        << *state.Get(kManifestIssuedKey) << "!" << std::endl;
    return false;
  }
  const std::string& version =
      CompareVersions(offered, local_version) >= 0 ? offered : local_version;
  if (stored && issue_time == *stored &&
      state.Get(kAcceptedVersionKey) == version) {
    return true;
  }
  state.Set(kManifestIssuedKey, issued);
  state.Set(kAcceptedVersionKey, version);
  return state.Save();
}
