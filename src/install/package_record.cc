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

bool PackageMatchesOffer(const PackageOffer& package) {
  int fd = base::OpenRegularFile(kPackageFileName, O_RDONLY);
  struct stat status;
  if (fd < 0 || fstat(fd, &status) != 0) {
    int error = errno;
    if (fd >= 0) close(fd);
    // Spelled out rather than PLOG_AT: the update run ends each of its
    // messages with its own line end.
    LOG_AT(log_site::kHashPackage, base::LOG_ERROR)
        << "can't read " << kPackageFileName << ": "
        << base::FileErrorText(error) << std::endl;
    RemovePackage();
    return false;
  }
  uint64_t size = static_cast<uint64_t>(status.st_size);
  if (package.size && size != *package.size) {
    close(fd);
    LOG_AT(log_site::kPackageSize, base::LOG_ERROR)
        << "package size error: expected " << *package.size << ", got " << size
        << std::endl;
    RemovePackage();
    return false;
  }
  if (!package.sha256) {
    close(fd);
    return true;
  }
  Sha256Digest actual;
  bool hashed = Sha256OfDescriptor(fd, &actual);
  int error = errno;
  close(fd);
  if (!hashed) {
    LOG_AT(log_site::kHashPackage, base::LOG_ERROR)
        << "can't read " << kPackageFileName << ": "
        << base::SystemErrorText(error) << std::endl;
    RemovePackage();
    return false;
  }
  if (actual != *package.sha256) {
    LOG_AT(log_site::kPackageSha256, base::LOG_ERROR)
        << "package sha256 error: expected " << Sha256Hex(*package.sha256)
        << ", got " << Sha256Hex(actual) << std::endl;
    RemovePackage();
    return false;
  }
  return true;
}

void RemovePackage() {
  (void)remove(kPackageFileName);
  (void)remove(kPackageRecordFileName);
}
