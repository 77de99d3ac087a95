#include "manifest.h"

#include <stdio.h>

#include <ostream>

#include "base/file_util.h"
#include "base/logging.h"
#include "base/utf_string_conversions.h"
#include "download.h"
#include "ini/ini_document.h"
#include "progress_line.h"
#include "update_log_sites.h"
#include "update_settings.h"
#include "version.h"

namespace {

const wchar_t kPlatformSection[] = L"ubuntu_debian_i686";
const wchar_t kDigestKey[] = L"sha256";
// A manifest is a few lines; a signed one is held in memory whole to check
// its signature, so a file past this size is refused rather than read.
const size_t kMaxSignedManifestBytes = 1024 * 1024;
const size_t kMaxSignatureFileBytes = 256;

// Fetches the manifest's signature and checks it over the bytes of the
// manifest file with |key|. Logs and returns false when the signature cannot
// be fetched or read, or does not match.
bool ManifestSignatureIsValid(const std::string& manifest_url,
                              const ManifestPublicKey& key) {
  std::string signature_url = manifest_url + kSignatureUrlSuffix;
  if (DownloadFile(signature_url, kSignatureFileName, kConnectTimeoutSeconds) !=
      0) {
    LOG_AT(log_site::kDownloadSignature, base::LOG_ERROR)
        << "download " << signature_url << " error!" << std::endl;
    return false;
  }
  std::string signature_text;
  ManifestSignature signature;
  if (!base::ReadFileToString(kSignatureFileName, &signature_text,
                              kMaxSignatureFileBytes) ||
      !ParseSignatureFile(signature_text, &signature)) {
    LOG_AT(log_site::kLoadSignature, base::LOG_ERROR)
        << "load signature file error!" << std::endl;
    return false;
  }
  std::string manifest;
  if (!base::ReadFileToString(kManifestFileName, &manifest,
                              kMaxSignedManifestBytes) ||
      !VerifyManifestSignature(manifest, signature, key)) {
    LOG_AT(log_site::kVerifySignature, base::LOG_ERROR)
        << "manifest signature error!" << std::endl;
    return false;
  }
  return true;
}

// Reads the package digest from the manifest's key "sha256" into |digest|,
// left empty when the key is absent. Logs and returns false when the value is
// not a digest, or when the key is absent and |required|.
bool ReadPackageDigest(const IniDocument& manifest, bool required,
                       std::optional<Sha256Digest>* digest) {
  const IniSection* section = manifest.FindSection(kPlatformSection);
  const IniKey* key = section ? section->FindKey(kDigestKey) : nullptr;
  if (!key) {
    if (!required) return true;
    LOG_AT(log_site::kManifestSha256Missing, base::LOG_ERROR)
        << "get package sha256 error!" << std::endl;
    return false;
  }
  Sha256Digest value;
  if (!ParseSha256Hex(base::WideToUtf8(key->value()), &value)) {
    LOG_AT(log_site::kManifestSha256Malformed, base::LOG_ERROR)
        << "package sha256 is not 64 hex digits!" << std::endl;
    return false;
  }
  *digest = value;
  return true;
}

}  // namespace

ManifestOutcome CheckManifest(const std::string& manifest_url,
                              const std::string& local_version,
                              const ManifestPublicKey* signing_key,
                              PackageOffer* offer) {
  (void)remove(kManifestFileName);
  if (signing_key) (void)remove(kSignatureFileName);
  if (DownloadFile(manifest_url, kManifestFileName, kConnectTimeoutSeconds) !=
      0) {
    LOG_AT(log_site::kDownloadManifest, base::LOG_ERROR)
        << "download " << manifest_url << " error!" << std::endl;
    return ManifestOutcome::kFailure;
  }
  if (signing_key && !ManifestSignatureIsValid(manifest_url, *signing_key)) {
    return ManifestOutcome::kFailure;
  }
  IniDocument manifest;
  if (!manifest.Load(kManifestFileName, false)) {
    LOG_AT(log_site::kLoadManifest, base::LOG_ERROR)
        << "load ini file error!" << std::endl;
    return ManifestOutcome::kFailure;
  }
  std::string server_version =
      base::WideToUtf8(manifest.GetValue(kPlatformSection, L"version"));
  if (server_version.empty()) {
    LOG_AT(log_site::kManifestVersion, base::LOG_ERROR)
        << "get version number error!" << std::endl;
    return ManifestOutcome::kFailure;
  }
  PrintProgressLine("current version: " + server_version +
                    ", local version: " + local_version);
  // Checked before the version decision, so that a broken manifest shows
  // at once, not only when an update comes along.
  std::optional<Sha256Digest> sha256;
  if (!ReadPackageDigest(manifest, signing_key != nullptr, &sha256)) {
    return ManifestOutcome::kFailure;
  }
  if (CompareVersions(local_version, server_version) >= 0) {
    return ManifestOutcome::kUpToDate;
  }
  offer->url = base::WideToUtf8(manifest.GetValue(kPlatformSection, L"url"));
  offer->sha256 = sha256;
  return ManifestOutcome::kUpdateNeeded;
}
