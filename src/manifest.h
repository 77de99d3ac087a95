#ifndef MANIFEST_H_
#define MANIFEST_H_

#include <stdint.h>

#include <optional>
#include <string>
#include <string_view>

#include "download.h"
#include "manifest_signature.h"
#include "manifest_terms.h"
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
  // The delta offered beside the package, when the manifest has a
  // well-formed one.
  std::optional<DeltaOffer> delta;

  // Whether both name the same full package. The delta takes no part: the
  // package record and the journal name the full package alone, and a
  // delta added to or dropped from the manifest leaves that package as it
  // is, so its bytes and staged tree are still taken.
  bool operator==(const PackageOffer& other) const {
    return url == other.url && sha256 == other.sha256 && size == other.size;
  }
};

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
// without "sha256", "size", "expires" or "issued" fails, so that the
// signature covers the package, runs out and is ordered. A signed manifest
// issued before one taken earlier fails too (see accepted_manifest.h).
// Without a key (null) no signature is fetched and those keys are optional.
//
// A key that is there but malformed (see manifest_terms.h) and an "expires"
// that has passed fail the step as well; a malformed delta offer does not,
// it is left out of |offer|.
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
