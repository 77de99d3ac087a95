#include "manifest.h"

#include <stdio.h>
#include <time.h>

#include <ostream>
#include <string_view>

#include "accepted_manifest.h"
#include "base/file_util.h"
#include "base/logging.h"
#include "base/utf_string_conversions.h"
#include "download.h"
#include "ini/ini_document.h"
#include "manifest_terms.h"
#include "progress_line.h"
#include "rollout.h"
#include "update_log_sites.h"
#include "update_settings.h"
#include "version.h"

namespace {

// Fetches |url| into the fixed file |name|, removed first, within |limits|
// and at most |max_bytes|. Logs at |site| and returns false when it fails.
bool FetchFresh(const std::string& url, const char* name, uint64_t max_bytes,
                DownloadLimits limits, const log_site::Site& site) {
  (void)remove(name);
  limits.max_file_bytes = max_bytes;
  if (DownloadFile(url, name, kConnectTimeoutSeconds, limits) == 0) {
    return true;
  }
  LOG_AT(site, base::LOG_ERROR) << "download " << url << " error!" << std::endl;
  return false;
}

// Fetches the manifest's signature and checks it over the bytes of the
// manifest file with |key|. Logs and returns false when the signature cannot
// be fetched or read, or does not match.
bool ManifestSignatureIsValid(const std::string& manifest_url,
                              const ManifestPublicKey& key,
                              const DownloadLimits& limits) {
  if (!FetchFresh(manifest_url + kSignatureUrlSuffix, kSignatureFileName,
                  kMaxSignatureFileBytes, limits,
                  log_site::kDownloadSignature)) {
    return false;
  }
  std::string signature_text;
  ManifestSignature signature;
  if (!base::ReadRegularFile(kSignatureFileName, &signature_text,
                             kMaxSignatureFileBytes) ||
      !ParseSignatureFile(signature_text, &signature)) {
    LOG_AT(log_site::kLoadSignature, base::LOG_ERROR)
        << "load signature file error!" << std::endl;
    return false;
  }
  std::string manifest;
  if (!base::ReadRegularFile(kManifestFileName, &manifest, kMaxManifestBytes) ||
      !VerifyManifestSignature(manifest, signature, key)) {
    LOG_AT(log_site::kVerifySignature, base::LOG_ERROR)
        << "manifest signature error!" << std::endl;
    return false;
  }
  return true;
}

// The log entry of each fault of a manifest's keys.
struct FaultEntry {
  ManifestFault fault;
  const log_site::Site* site;
  const char* message;
};
const FaultEntry kFaultEntries[] = {
    {ManifestFault::kNoVersion, &log_site::kManifestVersion,
     "get version number error!"},
    {ManifestFault::kSizeMalformed, &log_site::kManifestSizeMalformed,
     "package size is not a decimal number!"},
    {ManifestFault::kNoSize, &log_site::kManifestSizeMissing,
     "get package size error!"},
    {ManifestFault::kSha256Malformed, &log_site::kManifestSha256Malformed,
     "package sha256 is not 64 hex digits!"},
    {ManifestFault::kNoSha256, &log_site::kManifestSha256Missing,
     "get package sha256 error!"},
    {ManifestFault::kNoExpires, &log_site::kManifestExpiresMissing,
     "get manifest expires error!"},
    {ManifestFault::kExpiresMalformed, &log_site::kManifestExpiresMalformed,
     "manifest expires is not a time like 2026-12-31T00:00:00Z!"},
    {ManifestFault::kRolloutMalformed, &log_site::kManifestRolloutMalformed,
     "manifest rollout is not a whole percentage 0 to 100!"},
    {ManifestFault::kNoIssued, &log_site::kManifestIssuedMissing,
     "get manifest issued error!"},
    {ManifestFault::kIssuedMalformed, &log_site::kManifestIssuedMalformed,
     "manifest issued is not a time like 2026-12-31T00:00:00Z!"},
};

void LogFault(ManifestFault fault) {
  for (const FaultEntry& entry : kFaultEntries) {
    if (entry.fault == fault) {
      LOG_AT(*entry.site, base::LOG_ERROR) << entry.message << std::endl;
    }
  }
}

}  // namespace

ManifestOutcome CheckManifest(const std::string& manifest_url,
                              const std::string& local_version,
                              const ManifestPublicKey* signing_key,
                              const DownloadLimits& limits,
                              bool installation_unfinished, PackageOffer* offer,
                              int* rollout_percent) {
  if (signing_key) (void)remove(kSignatureFileName);
  if (!FetchFresh(manifest_url, kManifestFileName, kMaxManifestBytes, limits,
                  log_site::kDownloadManifest)) {
    return ManifestOutcome::kFailure;
  }
  if (signing_key &&
      !ManifestSignatureIsValid(manifest_url, *signing_key, limits)) {
    return ManifestOutcome::kFailure;
  }
  IniDocument manifest;
  std::string text;
  if (!base::ReadRegularFile(kManifestFileName, &text, kMaxManifestBytes)) {
    LOG_AT(log_site::kLoadManifest, base::LOG_ERROR)
        << "load ini file error!" << std::endl;
    return ManifestOutcome::kFailure;
  }
  manifest.ReadText(text, false);
  const bool signed_build = signing_key != nullptr;
  ManifestTerms terms;
  ManifestFault fault;
  bool readable = ReadManifestTerms(manifest, signed_build, &terms, &fault);
  if (fault != ManifestFault::kNoVersion) {
    PrintProgressLine("current version: " + terms.version +
                      ", local version: " + local_version);
  }
  // Every key is checked before the version decision, so that a broken
  // manifest shows at once, not only when an update comes along.
  if (!readable) {
    LogFault(fault);
    return ManifestOutcome::kFailure;
  }
  if (terms.expiry && time(nullptr) > *terms.expiry) {
    LOG_AT(log_site::kManifestExpired, base::LOG_ERROR)
        << "manifest expired at " << *terms.expires << "!" << std::endl;
    return ManifestOutcome::kFailure;
  }
  // Blanks around the value are no part of the version: "2.0 " is 2.0.
  const std::string offered(terms.Version());
  if (signed_build && !AcceptSignedManifest(*terms.issue_time, *terms.issued,
                                            offered, local_version)) {
    return ManifestOutcome::kFailure;
  }
  if (CompareVersions(local_version, offered) >= 0 &&
      !installation_unfinished) {
    return ManifestOutcome::kUpToDate;
  }
  offer->url = terms.url;
  offer->sha256 = terms.sha256;
  offer->size = terms.size;
  offer->delta = terms.delta;
  *rollout_percent = terms.rollout.value_or(kFullRollout);
  return ManifestOutcome::kUpdateNeeded;
}
