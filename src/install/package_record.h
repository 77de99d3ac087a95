#ifndef INSTALL_PACKAGE_RECORD_H_
#define INSTALL_PACKAGE_RECORD_H_

#include "install/offer_file.h"
#include "manifest.h"

// The package file "norvane.tar.gz" and its record.
//
// The record ties the package file to the offer it was fetched for:
// its URL, and its "sha256" and "size" when the manifest gave them. Without
// it a package of one release, left whole by a run that stopped before
// unpacking, would be taken for the next release's. It is kept in
// "norvane_package.ini" beside the package, written before the first byte
// of a download is appended, and removed with the package unless it still
// names a staging directory.

// Reads the record into |*record|. False, leaving |*record| alone, when
// there is none or it cannot be read.
bool ReadPackageRecord(OfferFile* record);

// Replaces the record with |record|, atomically. It also names the staging
// directory from before it is made until it is removed (beside the
// install journal while there is one), so that a run killed at any moment,
// or a journal that can no longer be read, leaves nothing that the next run
// cannot find and remove. False when it cannot be written.
bool WritePackageRecord(const OfferFile& record);

// Makes "norvane.tar.gz" fit for |package| before its download: a package
// file that is not a regular file is refused (removed, so the next run
// starts afresh); one fetched for another offer, or larger than the offered
// size, is removed with an entry, so the download starts from byte 0. Then
// records |package| as what the file is fetched for. False, after logging,
// when the install must end.
bool PreparePackageFile(const PackageOffer& package);

// Whether the package file holds fewer bytes than the offer's size.
bool PackageIsShortOfItsSize(const PackageOffer& package);

// Whether a package file is there that the record says was fetched for
// |package|: a download of it has begun.
bool PackageDownloadBegun(const PackageOffer& package);

// How a downloaded file compares with the offer it was fetched for.
struct OfferMatch {
  enum Result { kMatches, kUnreadable, kOtherSize, kOtherDigest };
  Result result = kMatches;
  int error = 0;        // kUnreadable: the errno (or base::kNotRegularFile).
  uint64_t size = 0;    // kOtherSize: the file's size.
  Sha256Digest digest;  // kOtherDigest: the file's digest.
};

// Compares the regular file |path| with |offer|'s size and digest, those it
// has, the size first so that a file of another size is never hashed.
OfferMatch MatchFileToOffer(const char* path, const PackageOffer& offer);

// Checks the downloaded package against the offer as MatchFileToOffer does.
// Logs, removes the package and returns false when it cannot be read or does
// not match.
bool PackageMatchesOffer(const PackageOffer& package);

// Removes the package and its record. Either may be missing.
void RemovePackage();

#endif  // INSTALL_PACKAGE_RECORD_H_
