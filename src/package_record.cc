#include "package_record.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ostream>
#include <string>

#include "base/file_util.h"
#include "base/logging.h"
#include "base/utf_string_conversions.h"
#include "ini/ini_document.h"
#include "package_digest.h"
#include "update_log_sites.h"
#include "update_settings.h"

namespace {

const wchar_t kSection[] = L"package";
const wchar_t kUrlKey[] = L"url";
const wchar_t kSha256Key[] = L"sha256";
const wchar_t kSizeKey[] = L"size";
// A record is three short lines; anything longer is no record of ours.
const size_t kMaxRecordBytes = 16 * 1024;

}  // namespace

bool ReadPackageRecord(PackageOffer* offer) {
  std::string text;
  if (!base::ReadRegularFile(kPackageRecordFileName, &text, kMaxRecordBytes)) {
    return false;
  }
  IniDocument record;
  record.ReadText(text, false);
  const IniSection* section = record.FindSection(kSection);
  const IniKey* url = section ? section->FindKey(kUrlKey) : nullptr;
  if (!url) return false;
  PackageOffer read;
  read.url = base::WideToUtf8(url->value());
  if (const IniKey* sha256 = section->FindKey(kSha256Key)) {
    Sha256Digest digest;
    if (!ParseSha256Hex(base::WideToUtf8(sha256->value()), &digest)) {
      return false;
    }
    read.sha256 = digest;
  }
  if (const IniKey* size = section->FindKey(kSizeKey)) {
    uint64_t bytes;
    if (!ParsePackageSize(base::WideToUtf8(size->value()), &bytes)) {
      return false;
    }
    read.size = bytes;
  }
  *offer = read;
  return true;
}

bool WritePackageRecord(const PackageOffer& offer) {
  IniDocument record;
  record.SetValue(kSection, kUrlKey, base::Utf8ToWide(offer.url));
  if (offer.sha256) {
    record.SetValue(kSection, kSha256Key,
                    base::Utf8ToWide(Sha256Hex(*offer.sha256)));
  }
  if (offer.size) {
    record.SetValue(kSection, kSizeKey, std::to_wstring(*offer.size));
  }
  return record.Save(kPackageRecordFileName);
}

bool PreparePackageFile(const PackageOffer& package) {
  struct stat status;
  if (lstat(kPackageFileName, &status) == 0) {
    if (!S_ISREG(status.st_mode)) {
      LOG_AT(log_site::kPackageNotRegular, base::LOG_ERROR)
          << kPackageFileName << " is not a regular file!" << std::endl;
      RemovePackage();
      return false;
    }
    PackageOffer recorded;
    bool same_offer = ReadPackageRecord(&recorded) && recorded == package;
    bool too_large =
        package.size && static_cast<uint64_t>(status.st_size) > *package.size;
    if (!same_offer || too_large) {
      LOG_AT(log_site::kStalePackage, base::LOG_ERROR)
          << kPackageFileName
          << " is not the offered package, fetching it afresh!" << std::endl;
      RemovePackage();
    }
  }
  PackageOffer recorded;
  if (ReadPackageRecord(&recorded) && recorded == package) return true;
  // Without a record the next run would not trust the bytes; it starts over,
  // which is all that is lost.
  (void)WritePackageRecord(package);
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
