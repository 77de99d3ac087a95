#include "accepted_version.h"

#include <optional>
#include <ostream>

#include "base/logging.h"
#include "state_file.h"
#include "update_log_sites.h"
#include "version.h"

namespace {

const wchar_t kAcceptedVersionKey[] = L"AcceptedVersion";

}  // namespace

bool AcceptSignedVersion(const std::string& offered) {
  StateFile state;
  if (!state.Load()) return false;
  std::optional<std::string> accepted = state.Get(kAcceptedVersionKey);
  int order = accepted ? CompareVersions(offered, *accepted) : 1;
  if (order < 0) {
    LOG_AT(log_site::kManifestVersionGoesBack, base::LOG_ERROR)
        << "manifest version " << offered << " is older than accepted version "
        << *accepted << "!" << std::endl;
    return false;
  }
  if (order == 0) return true;
  state.Set(kAcceptedVersionKey, offered);
  return state.Save();
}
