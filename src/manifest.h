#ifndef MANIFEST_H_
#define MANIFEST_H_

#include <optional>
#include <string>

#include "manifest_signature.h"
#include "package_digest.h"

// The update manifest: which version the server offers for this platform and
// where its package is.

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
