#ifndef MANIFEST_EXPIRY_H_
#define MANIFEST_EXPIRY_H_

#include <stdint.h>

#include <optional>
#include <string>

// A manifest's key "expires" holds the UTC time (in the form of utc_time.h)
// after which the manifest is no longer taken, so that a genuine but old
// manifest cannot be served for ever. Builds with a manifest key require the
// key, so that every signature runs out; other builds honour it when it is
// there.

// Checks the value |expires| of the key (nothing when the key is absent) at
// |now|, seconds since 1970. Logs and returns false when the key is absent
// and |required|, when its value is not a time, and when |now| is past it.
bool ManifestIsUnexpired(const std::optional<std::string>& expires,
                         bool required, int64_t now);

#endif  // MANIFEST_EXPIRY_H_
