#ifndef MANIFEST_H_
#define MANIFEST_H_

#include <optional>
#include <string>

#include "manifest_signature.h"
#include "package_digest.h"

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
  kUpdateNeeded,  // The offer names the newer version's package.
};

// The package that the manifest offers.
struct PackageOffer {
  std::string url;  // Key "url"; possibly empty.
  // Key "sha256", when the manifest has it: the digest the downloaded
  // package must have.
  std::optional<Sha256Digest> sha256;
};

// Fetches the manifest from |manifest_url| into "norvane_update_linux.ini",
// prints the server's and the local version, and decides whether
// |local_version| needs updating. On kUpdateNeeded stores the offer in
// |offer|.
//
// A key "sha256" that is not 64 hexadecimal digits fails the step. With a
// |signing_key| the manifest must also be signed: the signature is fetched
// from |manifest_url| + ".sig" into "norvane_update_linux.ini.sig" and checked
// over the manifest's bytes before anything in it is read, and a manifest
// without "sha256" fails, so that the signature covers the package too.
// Without a key (null) no signature is fetched and "sha256" is optional.
ManifestOutcome CheckManifest(const std::string& manifest_url,
                              const std::string& local_version,
                              const ManifestPublicKey* signing_key,
                              PackageOffer* offer);

#endif  // MANIFEST_H_
