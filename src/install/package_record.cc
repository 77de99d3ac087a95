#include "install/package_record.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ostream>
#include <string>

#include "base/file_util.h"
#include "base/logging.h"
#include "package_digest.h"
#include "update_log_sites.h"
#include "update_settings.h"

bool ReadPackageRecord(OfferFile* record) {
  return ReadOfferFile(kPackageRecordFileName, record);
}

bool WritePackageRecord(const OfferFile& record) {
  return WriteOfferFile(kPackageRecordFileName, record);
}

bool PreparePackageFile(const PackageOffer& package) {
  OfferFile recorded;
  bool same_offer = ReadPackageRecord(&recorded) && recorded.package == package;
  struct stat status;
  if (lstat(kPackageFileName, &status) == 0) {
    if (!S_ISREG(status.st_mode)) {
      LOG_AT(log_site::kPackageNotRegular, base::LOG_ERROR)
          << kPackageFileName << " is not a regular file!" << std::endl;
      RemovePackage();
      return false;
    }
    bool too_large =
        package.size && static_cast<uint64_t>(status.st_size) > *package.size;
    if (!same_offer || too_large) {
      LOG_AT(log_site::kStalePackage, base::LOG_ERROR)
          << kPackageFileName
          << " is not the offered package, fetching it afresh!" << std::endl;
      RemovePackage();
      same_offer = false;
    }
  }
  if (same_offer) return true;
  // Without a record the next run would not trust the bytes; it starts over,
  // which is all that is lost.
  OfferFile record;
  record.package = package;
  (void)WritePackageRecord(record);
  return true;
}

bool PackageIsShortOfItsSize(const PackageOffer& package) {
  struct stat status;
  return package.size && lstat(kPackageFileName, &status) == 0 &&
         static_cast<uint64_t>(status.st_size) < *package.size;
}

bool PackageDownloadBegun(const PackageOffer& package) {
  OfferFile record;
  struct stat status;
  return lstat(kPackageFileName, &status) == 0 && ReadPackageRecord(&record) &&
         record.package == package;
}

OfferMatch MatchFileToOffer(const char* path, const PackageOffer& offer) {
  OfferMatch match;
  int fd = base::OpenRegularFile(path, O_RDONLY);
  struct stat status;
  if (fd < 0 || fstat(fd, &status) != 0) {
    match.result = OfferMatch::kUnreadable;
    match.error = errno;
  } else if (offer.size &&
             static_cast<uint64_t>(status.st_size) != *offer.size) {
    match.result = OfferMatch::kOtherSize;
    match.size = static_cast<uint64_t>(status.st_size);
  } else if (offer.sha256 && !Sha256OfDescriptor(fd, &match.digest)) {
    match.result = OfferMatch::kUnreadable;
    match.error = errno;
  } else if (offer.sha256 && match.digest != *offer.sha256) {
    match.result = OfferMatch::kOtherDigest;
  }
  if (fd >= 0) close(fd);
  return match;
}

bool PackageMatchesOffer(const PackageOffer& package) {
  const OfferMatch match = MatchFileToOffer(kPackageFileName, package);
  switch (match.result) {
    case OfferMatch::kMatches:
      return true;
    case OfferMatch::kUnreadable:
      // Spelled out rather than PLOG_AT: the update run ends each of its
      // messages with its own line end.
      LOG_AT(log_site::kHashPackage, base::LOG_ERROR)
          << "can't read " << kPackageFileName << ": "
          << base::FileErrorText(match.error) << std::endl;
      break;
    case OfferMatch::kOtherSize:
      LOG_AT(log_site::kPackageSize, base::LOG_ERROR)
          << "package size error: expected " << *package.size << ", got "
          << match.size << std::endl;
      break;
    case OfferMatch::kOtherDigest:
      LOG_AT(log_site::kPackageSha256, base::LOG_ERROR)
          << "package sha256 error: expected " << Sha256Hex(*package.sha256)
          << ", got " << Sha256Hex(match.digest) << std::endl;
      break;
  }
  RemovePackage();
  return false;
}

void RemovePackage() {
  (void)remove(kPackageFileName);
  (void)remove(kPackageRecordFileName);
}
