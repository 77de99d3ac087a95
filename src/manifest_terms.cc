#include "manifest_terms.h"

#include "base/utf_string_conversions.h"
#include "rollout.h"
#include "utc_time.h"

namespace {

// The value of the key |name| in the platform section, or nothing.
std::optional<std::string> FindValue(const IniDocument& manifest,
                                     const wchar_t* name) {
  const IniSection* section = manifest.FindSection(kPlatformSection);
  const IniKey* key = section ? section->FindKey(name) : nullptr;
  if (!key) return std::nullopt;
  return base::WideToUtf8(key->value());
}

// Reads the time in the key |name| into |*text| and |*seconds|. Returns
// false with |missing| or |malformed| in |*fault| when it is absent and
// |required|, or is not a time.
bool ReadTime(const IniDocument& manifest, const wchar_t* name, bool required,
              ManifestFault missing, ManifestFault malformed,
              std::optional<std::string>* text, std::optional<int64_t>* seconds,
              ManifestFault* fault) {
  std::optional<std::string> value = FindValue(manifest, name);
  if (!value) {
    if (required) *fault = missing;
    return !required;
  }
  int64_t parsed;
  if (!ParseUtcTime(*value, &parsed)) {
    *fault = malformed;
    return false;
  }
  *text = value;
  *seconds = parsed;
  return true;
}

bool ReadKeys(const IniDocument& manifest, bool required, ManifestTerms* terms,
              ManifestFault* fault) {
  terms->version = FindValue(manifest, L"version").value_or("");
  terms->url = FindValue(manifest, L"url").value_or("");
  if (terms->Version().empty()) {
    *fault = ManifestFault::kNoVersion;
    return false;
  }
  std::optional<std::string> size = FindValue(manifest, L"size");
  uint64_t size_value;
  if (size && !ParsePackageSize(*size, &size_value)) {
    *fault = ManifestFault::kSizeMalformed;
    return false;
  }
  if (!size && required) {
    *fault = ManifestFault::kNoSize;
    return false;
  }
  if (size) terms->size = size_value;
  std::optional<std::string> sha256 = FindValue(manifest, L"sha256");
  Sha256Digest digest;
  if (!sha256 && required) {
    *fault = ManifestFault::kNoSha256;
    return false;
  }
  if (sha256 && !ParseSha256Hex(*sha256, &digest)) {
    *fault = ManifestFault::kSha256Malformed;
    return false;
  }
  if (sha256) terms->sha256 = digest;
  if (!ReadTime(manifest, L"expires", required, ManifestFault::kNoExpires,
                ManifestFault::kExpiresMalformed, &terms->expires,
                &terms->expiry, fault)) {
    return false;
  }
  std::optional<std::string> rollout = FindValue(manifest, L"rollout");
  int percent;
  if (rollout && !ParseRolloutPercent(*rollout, &percent)) {
    *fault = ManifestFault::kRolloutMalformed;
    return false;
  }
  if (rollout) terms->rollout = percent;
  return ReadTime(manifest, L"issued", required, ManifestFault::kNoIssued,
                  ManifestFault::kIssuedMalformed, &terms->issued,
                  &terms->issue_time, fault);
}

// |text| without the blanks and tabs at its ends.
std::string_view TrimBlanks(std::string_view text) {
  size_t first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return std::string_view();
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// Reads the four keys of the delta offer into |*offer|. Returns false with
// the fault in |*fault| when some but not all are there or one is
// malformed, and when none is there, with kNone.
bool ReadDeltaOffer(const IniDocument& manifest, DeltaOffer* offer,
                    DeltaOfferFault* fault) {
  std::optional<std::string> from = FindValue(manifest, L"delta_from");
  std::optional<std::string> url = FindValue(manifest, L"delta_url");
  std::optional<std::string> sha256 = FindValue(manifest, L"delta_sha256");
  std::optional<std::string> size = FindValue(manifest, L"delta_size");
  const int present = !!from + !!url + !!sha256 + !!size;
  *fault = DeltaOfferFault::kNone;
  if (present != 4) {
    if (present != 0) *fault = DeltaOfferFault::kIncomplete;
    return false;
  }
  DeltaOffer read;
  read.from = std::string(TrimBlanks(*from));
  read.url = *url;
  if (read.from.empty()) {
    *fault = DeltaOfferFault::kFromBlank;
  } else if (read.url.empty()) {
    *fault = DeltaOfferFault::kUrlEmpty;
  } else if (!ParseSha256Hex(*sha256, &read.sha256)) {
    *fault = DeltaOfferFault::kSha256Malformed;
  } else if (!ParsePackageSize(*size, &read.size)) {
    *fault = DeltaOfferFault::kSizeMalformed;
  } else {
    *offer = read;
    return true;
  }
  return false;
}

}  // namespace

std::string_view ManifestTerms::Version() const { return TrimBlanks(version); }

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

bool ReadManifestTerms(const IniDocument& manifest, bool signed_build,
                       ManifestTerms* terms, ManifestFault* fault) {
  *fault = ManifestFault::kNone;
  if (!ReadKeys(manifest, signed_build, terms, fault)) return false;
  DeltaOffer delta;
  if (ReadDeltaOffer(manifest, &delta, &terms->delta_fault)) {
    terms->delta = delta;
  }
  return true;
}
