#include "manifest.h"

#include <stdio.h>

#include <algorithm>
#include <ostream>
#include <string_view>

#include "base/file_util.h"
#include "base/logging.h"
#include "base/utf_string_conversions.h"
#include "download.h"
#include "ini/ini_document.h"
#include "progress_line.h"

namespace {

const char kManifestFileName[] = "norvane_update_linux.ini";
const char kSignatureFileName[] = "norvane_update_linux.ini.sig";
const char kSignatureUrlSuffix[] = ".sig";
const wchar_t kPlatformSection[] = L"ubuntu_debian_i686";
const wchar_t kDigestKey[] = L"sha256";
const long kConnectTimeoutSeconds = 8;
// A manifest is a few lines; a signed one is held in memory whole to check
// its signature, so a file past this size is refused rather than read.
const size_t kMaxSignedManifestBytes = 1024 * 1024;
const size_t kMaxSignatureFileBytes = 256;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Compares two runs of digits by their numeric value, of any length.
int CompareNumbers(std::string_view a, std::string_view b) {
  a.remove_prefix(std::min(a.find_first_not_of('0'), a.size()));
  b.remove_prefix(std::min(b.find_first_not_of('0'), b.size()));
  if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
  int result = a.compare(b);
  return (result > 0) - (result < 0);
}

size_t EndOfDigits(std::string_view text, size_t start) {
  while (start < text.size() && IsDigit(text[start])) ++start;
  return start;
}

// Compares two components token by token: a run of digits is one token that
// compares by its numeric value with another run, and every other byte is a
// token of its own compared as an unsigned byte. A run of digits against
// another byte compares as a digit byte does: no other byte lies among the
// digits, so the answer is the same for every digit. Being a plain
// lexicographic order over these tokens keeps the comparison transitive.
int CompareComponents(std::string_view a, std::string_view b) {
  size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    if (IsDigit(a[i]) && IsDigit(b[j])) {
      size_t end_a = EndOfDigits(a, i), end_b = EndOfDigits(b, j);
      int result =
          CompareNumbers(a.substr(i, end_a - i), b.substr(j, end_b - j));
      if (result != 0) return result;
      i = end_a;
      j = end_b;
      continue;
    }
    unsigned char byte_a = a[i], byte_b = b[j];
    if (byte_a != byte_b) return byte_a < byte_b ? -1 : 1;
    ++i;
    ++j;
  }
  return (i < a.size()) - (j < b.size());
}

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

int CompareVersions(const std::string& a, const std::string& b) {
  std::string_view rest_a = a, rest_b = b;
  while (true) {
    size_t dot_a = rest_a.find('.'), dot_b = rest_b.find('.');
    int result =
        CompareComponents(rest_a.substr(0, dot_a), rest_b.substr(0, dot_b));
    if (result != 0) return result;
    bool last_a = dot_a == std::string_view::npos;
    bool last_b = dot_b == std::string_view::npos;
    if (last_a || last_b) return last_a == last_b ? 0 : (last_a ? -1 : 1);
    rest_a.remove_prefix(dot_a + 1);
    rest_b.remove_prefix(dot_b + 1);
  }
}

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
