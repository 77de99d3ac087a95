#ifndef MANIFEST_TERMS_H_
#define MANIFEST_TERMS_H_

#include <stdint.h>

#include <optional>
#include <string>
#include <string_view>

#include "ini/ini_document.h"
#include "package_digest.h"

// The keys of a manifest's platform section that the updater acts on, read
// and checked in one place: the updater reads every manifest through it, and
// the publishing tool checks what it signs through it, so the two never
// disagree about a manifest.

// Why a manifest's keys cannot be taken. Each fault has its own log entry in
// the updater.
enum class ManifestFault {
  kNone,
  kNoVersion,         // "version" missing, or blanks only.
  kSizeMalformed,     // "size" not a decimal byte count.
  kNoSize,            // Required "size" missing.
  kSha256Malformed,   // "sha256" not 64 hexadecimal digits.
  kNoSha256,          // Required "sha256" missing.
  kNoExpires,         // Required "expires" missing.
  kExpiresMalformed,  // "expires" not a time (see utc_time.h).
  kRolloutMalformed,  // "rollout" not a percentage (see rollout.h).
  kNoIssued,          // Required "issued" missing.
  kIssuedMalformed,   // "issued" not a time.
};

// Why a manifest's delta offer cannot be taken. A delta offer is only ever a
// shortcut to the full package, so updaters ignore one with a fault and
// install the full package; the publishing tool refuses to write it.
enum class DeltaOfferFault {
  kNone,
  kIncomplete,       // Some of the four keys are there, not all.
  kFromBlank,        // "delta_from" blanks only.
  kUrlEmpty,         // "delta_url" empty.
  kSha256Malformed,  // "delta_sha256" not 64 hexadecimal digits.
  kSizeMalformed,    // "delta_size" not a decimal byte count.
};

// A delta package offered beside the full package, for installations of
// one older version (see delta/delta_listing.h): keys "delta_from",
// "delta_url", "delta_sha256" and "delta_size", all four or none.
struct DeltaOffer {
  std::string from;  // The version it applies to, without blanks at its ends.
  std::string url;
  Sha256Digest sha256 = {};
  uint64_t size = 0;

  bool operator==(const DeltaOffer& other) const {
    return from == other.from && url == other.url && sha256 == other.sha256 &&
           size == other.size;
  }
};

// What a manifest says, as the updater reads it.
struct ManifestTerms {
  std::string version;               // As written, blanks included.
  std::string_view Version() const;  // Without the blanks and tabs at its ends.
  std::string url;                   // Empty when the key is missing.
  std::optional<Sha256Digest> sha256;
  std::optional<uint64_t> size;
  std::optional<std::string> expires;  // As written, when the key is there.
  std::optional<int64_t> expiry;       // Seconds since 1970.
  std::optional<std::string> issued;   // The issue mark, as written.
  std::optional<int64_t> issue_time;   // Seconds since 1970.
  std::optional<int> rollout;          // Percentage, when the key is there.
  // The delta offer, when its four keys are there and well-formed; with a
  // fault it stays empty and |delta_fault| says why.
  std::optional<DeltaOffer> delta;
  DeltaOfferFault delta_fault = DeltaOfferFault::kNone;
};

// The platform section that manifests offer their update in.
inline constexpr wchar_t kPlatformSection[] = L"ubuntu_debian_i686";

// Parses a package size: 1 to 18 decimal digits, nothing else. Returns
// false, leaving |*size| alone, for any other text.
bool ParsePackageSize(std::string_view text, uint64_t* size);

// Reads the keys of |manifest| into |*terms|, checking "version", "size",
// "sha256", "expires", "rollout" and "issued" in that order. With
// |signed_build| the keys that signed updaters require ("size", "sha256",
// "expires", "issued") must be there. Returns false with the first fault in
// |*fault|; |*terms| then holds what was read before it. The delta offer is
// read last, and a fault of its own fails nothing (see DeltaOfferFault).
bool ReadManifestTerms(const IniDocument& manifest, bool signed_build,
                       ManifestTerms* terms, ManifestFault* fault);

#endif  // MANIFEST_TERMS_H_
