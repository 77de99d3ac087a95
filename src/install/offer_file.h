#ifndef INSTALL_OFFER_FILE_H_
#define INSTALL_OFFER_FILE_H_

#include <stdint.h>

#include <string>

#include "manifest.h"

// A small INI file in the installation directory that names a package offer
// and, while one exists, the private directory it is unpacked in: the
// package record and the install journal are such files.
struct OfferFile {
  PackageOffer package;
  // The staging directory, or empty.
  std::string staging;
  // How many entries the unpacked tree held when it was checked, and the
  // bytes it took on its file system; 0 when not yet checked.
  uint64_t entries = 0;
  uint64_t bytes = 0;

  bool operator==(const OfferFile& other) const {
    return package == other.package && staging == other.staging &&
           entries == other.entries && bytes == other.bytes;
  }
};

// Reads the offer file at |path|. False, leaving |*file| alone, when there is
// none, it is not a regular file, or it does not name a URL and well-formed
// values.
bool ReadOfferFile(const char* path, OfferFile* file);

// Replaces the offer file at |path| with |file|, atomically and synced.
// False, with errno set (EFBIG when it would be larger than ReadOfferFile
// reads), when it cannot be written.
bool WriteOfferFile(const char* path, const OfferFile& file);

#endif  // INSTALL_OFFER_FILE_H_
