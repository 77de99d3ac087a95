#include "install/delta_package.h"

#include <stdio.h>
#include <sys/stat.h>

#include "base/file_util.h"
#include "install/offer_file.h"
#include "install/package_record.h"
#include "package_digest.h"
#include "update_settings.h"

PackageOffer DeltaAsOffer(const DeltaOffer& delta) {
  PackageOffer offer;
  offer.url = delta.url;
  offer.sha256 = delta.sha256;
  offer.size = delta.size;
  return offer;
}

void PrepareDeltaFile(const DeltaOffer& delta) {
  const PackageOffer offer = DeltaAsOffer(delta);
  OfferFile recorded;
  struct stat status;
  if (ReadOfferFile(kDeltaRecordFileName, &recorded) &&
      recorded.package == offer && lstat(kDeltaFileName, &status) == 0 &&
      S_ISREG(status.st_mode) &&
      static_cast<uint64_t>(status.st_size) <= delta.size) {
    return;
  }
  RemoveDelta();
  // Without a record the next run starts the delta over, which is all that
  // is lost.
  OfferFile record;
  record.package = offer;
  (void)WriteOfferFile(kDeltaRecordFileName, record);
}

bool DeltaIsShortOfItsSize(const DeltaOffer& delta) {
  struct stat status;
  return lstat(kDeltaFileName, &status) == 0 &&
         static_cast<uint64_t>(status.st_size) < delta.size;
}

bool DeltaMatchesOffer(const DeltaOffer& delta, std::string* problem) {
  const OfferMatch match =
      MatchFileToOffer(kDeltaFileName, DeltaAsOffer(delta));
  switch (match.result) {
    case OfferMatch::kMatches:
      return true;
    case OfferMatch::kUnreadable:
      *problem = std::string("can't read ") + kDeltaFileName + ": " +
                 base::FileErrorText(match.error);
      break;
    case OfferMatch::kOtherSize:
      *problem = "delta size error: expected " + std::to_string(delta.size) +
                 ", got " + std::to_string(match.size);
      break;
    case OfferMatch::kOtherDigest:
      *problem = "delta sha256 error: expected " + Sha256Hex(delta.sha256) +
                 ", got " + Sha256Hex(match.digest);
      break;
  }
  return false;
}

void RemoveDelta() {
  (void)remove(kDeltaFileName);
  (void)remove(kDeltaRecordFileName);
}
