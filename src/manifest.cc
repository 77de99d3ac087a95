#include "manifest.h"

#include <stdio.h>
#include <time.h>

#include <ostream>
#include <string_view>

#include "accepted_version.h"
#include "base/file_util.h"
#include "base/logging.h"
#include "base/utf_string_conversions.h"
#include "download.h"
#include "ini/ini_document.h"
#include "manifest_expiry.h"
#include "progress_line.h"
#include "rollout.h"
#include "update_log_sites.h"
#include "update_settings.h"
#include "version.h"

namespace {

const wchar_t kPlatformSection[] = L"ubuntu_debian_i686";
const wchar_t kDigestKey[] = L"sha256";
const wchar_t kSizeKey[] = L"size";
const wchar_t kExpiresKey[] = L"expires";
const wchar_t kRolloutKey[] = L"rollout";

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

// The value of the key |name| in the platform section, or nothing.
std::optional<std::string> FindValue(const IniDocument& manifest,
                                     const wchar_t* name) {
  const IniSection* section = manifest.FindSection(kPlatformSection);
  const IniKey* key = section ? section->FindKey(name) : nullptr;
  if (!key) return std::nullopt;
  return base::WideToUtf8(key->value());
}

// Reads the package digest from the manifest's key "sha256" into |digest|,
// left empty when the key is absent. Logs and returns false when the value is
// not a digest, or when the key is absent and |required|.
bool ReadPackageDigest(const IniDocument& manifest, bool required,
                       std::optional<Sha256Digest>* digest) {
  std::optional<std::string> text = FindValue(manifest, kDigestKey);
  if (!text) {
    if (!required) return true;
    LOG_AT(log_site::kManifestSha256Missing, base::LOG_ERROR)
        << "get package sha256 error!" << std::endl;
    return false;
  }
  Sha256Digest value;
  if (!ParseSha256Hex(*text, &value)) {
    LOG_AT(log_site::kManifestSha256Malformed, base::LOG_ERROR)
        << "package sha256 is not 64 hex digits!" << std::endl;
    return false;
  }
  *digest = value;
  return true;
}

// Reads the package size from the manifest's key "size" into |size|, left
// empty when the key is absent. Logs and returns false when the value is not
// a decimal byte count, or when the key is absent and |required|.
bool ReadPackageSize(const IniDocument& manifest, bool required,
                     std::optional<uint64_t>* size) {
  std::optional<std::string> text = FindValue(manifest, kSizeKey);
  if (!text) {
    if (!required) return true;
    LOG_AT(log_site::kManifestSizeMissing, base::LOG_ERROR)
        << "get package size error!" << std::endl;
    return false;
  }
  uint64_t value;
  if (!ParsePackageSize(*text, &value)) {
    LOG_AT(log_site::kManifestSizeMalformed, base::LOG_ERROR)
        << "package size is not a decimal number!" << std::endl;
    return false;
  }
  *size = value;
  return true;
}

// Reads the manifest's key "rollout" into |percent|, left alone when the key
// is absent. Logs and returns false when the value is not a percentage.
bool ReadRolloutPercent(const IniDocument& manifest, int* percent) {
  std::optional<std::string> value = FindValue(manifest, kRolloutKey);
  if (value && !ParseRolloutPercent(*value, percent)) {
    LOG_AT(log_site::kManifestRolloutMalformed, base::LOG_ERROR)
        << "manifest rollout is not a whole percentage 0 to 100!" << std::endl;
    return false;
  }
  return true;
}

// |text| without the blanks and tabs at its ends.
std::string_view TrimmedBlanks(std::string_view text) {
  size_t first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return std::string_view();
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

}  // namespace

bool ParsePackageSize(std::string_view text, uint64_t* size) {
  if (text.empty() || text.size() > 18) return false;
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  *size = value;
  return true;
}

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
  std::string server_version =
      base::WideToUtf8(manifest.GetValue(kPlatformSection, L"version"));
  // Blanks around the value are no part of the version: "2.0 " is 2.0.
  std::string_view compared_version = TrimmedBlanks(server_version);
  if (compared_version.empty()) {
    LOG_AT(log_site::kManifestVersion, base::LOG_ERROR)
        << "get version number error!" << std::endl;
    return ManifestOutcome::kFailure;
  }
  PrintProgressLine("current version: " + server_version +
                    ", local version: " + local_version);
  // Checked before the version decision, so that a broken manifest shows
  // at once, not only when an update comes along.
  const bool signed_build = signing_key != nullptr;
  std::optional<Sha256Digest> sha256;
  std::optional<uint64_t> size;
  int rollout = kFullRollout;
  if (!ReadPackageSize(manifest, signed_build, &size) ||
      !ReadPackageDigest(manifest, signed_build, &sha256) ||
      !ManifestIsUnexpired(FindValue(manifest, kExpiresKey), signed_build,
                           time(nullptr)) ||
      !ReadRolloutPercent(manifest, &rollout)) {
    return ManifestOutcome::kFailure;
  }
  if (signed_build && !AcceptSignedVersion(std::string(compared_version))) {
    return ManifestOutcome::kFailure;
  }
  if (CompareVersions(local_version, std::string(compared_version)) >= 0 &&
      !installation_unfinished) {
    return ManifestOutcome::kUpToDate;
  }
  offer->url = base::WideToUtf8(manifest.GetValue(kPlatformSection, L"url"));
  offer->sha256 = sha256;
  offer->size = size;
  *rollout_percent = rollout;
  return ManifestOutcome::kUpdateNeeded;
}
