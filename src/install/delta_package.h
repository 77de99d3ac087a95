#ifndef INSTALL_DELTA_PACKAGE_H_
#define INSTALL_DELTA_PACKAGE_H_

#include <string>

#include "manifest.h"

// The delta package file "norvane_delta.tar.gz" and its record
// "norvane_delta_package.ini". As with the package (see package_record.h),
// the record ties the file to the delta offer it is fetched for, so that a
// partial delta is resumed for that offer only. Nothing of the delta is
// needed once it is unpacked or found unusable: a failure removes both and
// the full package is installed instead.

// The delta offer in the form of a package offer, as its record names it.
PackageOffer DeltaAsOffer(const DeltaOffer& delta);

// Makes "norvane_delta.tar.gz" fit for |delta| before its download: one that
// is not a regular file, was fetched for another offer or is larger than
// the offer is removed, so the download starts from byte 0. Then records
// |delta| as what the file is fetched for.
void PrepareDeltaFile(const DeltaOffer& delta);

// Whether the delta file holds fewer bytes than the offer's size.
bool DeltaIsShortOfItsSize(const DeltaOffer& delta);

// Checks the downloaded delta against the offer's size and digest. False,
// with |*problem| saying why, when it cannot be read or does not match.
bool DeltaMatchesOffer(const DeltaOffer& delta, std::string* problem);

// Removes the delta file and its record. Either may be missing.
void RemoveDelta();

#endif  // INSTALL_DELTA_PACKAGE_H_
