#ifndef MANIFEST_H_
#define MANIFEST_H_

#include <string>

// The update manifest: which version the server offers for this platform and
// where its package is.

// Orders two version strings: negative when |a| is older than |b|, 0 when
// they are the same version, positive when |a| is newer. Components between
// dots are compared in order; within a component runs of digits compare as
// numbers of any length (leading zeros ignored) and other bytes as unsigned
// bytes. When all shared components are equal, the version with fewer
// components is older. Where the digit runs on both sides have the same
// lengths this is plain byte order, so "1.9" is older than "1.10" and "" older
// than any other version. The order is a strict weak order.
int CompareVersions(const std::string& a, const std::string& b);

enum class ManifestOutcome {
  kFailure,       // Logged; the run ends with a failure.
  kUpToDate,      // The installed version is current.
  kUpdateNeeded,  // The package URL names the newer version's package.
};

// Fetches the manifest from |manifest_url| into "norvane_update_linux.ini",
// prints the server's and the local version, and decides whether
// |local_version| needs updating. On kUpdateNeeded stores the package URL
// (possibly empty) in |package_url|.
ManifestOutcome CheckManifest(const std::string& manifest_url,
                              const std::string& local_version,
                              std::string* package_url);

#endif  // MANIFEST_H_
