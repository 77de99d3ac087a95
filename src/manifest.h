#ifndef MANIFEST_H_
#define MANIFEST_H_

#include <stdint.h>

#include <optional>
#include <string>
#include <string_view>

#include "download.h"
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
  // Key "size", when the manifest has it: the package's length in bytes.
  std::optional<uint64_t> size;

  bool operator==(const PackageOffer& other) const {
    return url == other.url && sha256 == other.sha256 && size == other.size;
  }
};

// Parses a package size: 1 to 18 decimal digits, nothing else. Returns
// false, leaving |*size| alone, for any other text.
bool ParsePackageSize(std::string_view text, uint64_t* size);

// Fetches the manifest from |manifest_url| into "norvane_update_linux.ini",
// prints the server's and the local version, and decides whether
// |local_version| needs updating. On kUpdateNeeded stores the offer in
// |offer| and the share of installations it is offered to (key "rollout",
// see rollout.h) in |rollout_percent|.
//
// A key "sha256" that is not 64 hexadecimal digits fails the step. With a
// |signing_key| the manifest must also be signed: the signature is fetched
// from |manifest_url| + ".sig" into "norvane_update_linux.ini.sig" and checked
// over the manifest's bytes before anything in it is read, and a manifest
// without "sha256", "size" or "expires" fails, so that the signature covers
// the package and runs out. A signed manifest that offers a version older
// than one accepted before fails too (see accepted_version.h). Without a key
// (null) no signature is fetched and those keys are optional.
//
// A key "size" that is not a decimal byte count, an "expires" that is not a
// time or has passed (see manifest_expiry.h) and a "rollout" that is not a
// percentage fail the step as well.
// Every download stays within |limits| and the manifest and signature within
// their own size limits. The blanks and tabs around the server's version
// take no part in the comparison. When |installation_unfinished| (an
// install did not finish, so the installation may be half old, half new)
// the local version is not trusted: the outcome is kUpdateNeeded whatever
// the comparison says.
ManifestOutcome CheckManifest(const std::string& manifest_url,
                              const std::string& local_version,
                              const ManifestPublicKey* signing_key,
                              const DownloadLimits& limits,
                              bool installation_unfinished, PackageOffer* offer,
                              int* rollout_percent);

#endif  // MANIFEST_H_
