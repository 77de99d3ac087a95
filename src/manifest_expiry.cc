#include "manifest_expiry.h"

#include <ostream>

#include "base/logging.h"
#include "update_log_sites.h"
#include "utc_time.h"

bool ManifestIsUnexpired(const std::optional<std::string>& expires,
                         bool required, int64_t now) {
  if (!expires) {
    if (!required) return true;
    LOG_AT(log_site::kManifestExpiresMissing, base::LOG_ERROR)
        << "get manifest expires error!" << std::endl;
    return false;
  }
  int64_t expiry;
  if (!ParseUtcTime(*expires, &expiry)) {
    LOG_AT(log_site::kManifestExpiresMalformed, base::LOG_ERROR)
        << "manifest expires is not a time like 2026-12-31T00:00:00Z!"
        << std::endl;
    return false;
  }
  if (now > expiry) {
    LOG_AT(log_site::kManifestExpired, base::LOG_ERROR)
        << "manifest expired at " << *expires << "!" << std::endl;
    return false;
  }
  return true;
}
