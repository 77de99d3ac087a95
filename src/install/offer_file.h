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
  // The device and inode the staging directory had when it was made: only a
  // directory that still has them is taken for ours. 0 while not yet made.
  uint64_t staging_device = 0;
  uint64_t staging_inode = 0;
  // The journal's phase: "copying" while the shadow copy is being made (or
  // not yet), "moving" once it is whole on disk and being moved into place.
  // Empty in the record and in a journal of an earlier version (copying).
  std::string phase;
  // The boot the staging tree was unpacked in (the kernel's boot id), when it
  // was not synced to its disk: after another boot it may have lost data.
  std::string boot;

  bool operator==(const OfferFile& other) const {
    return package == other.package && staging == other.staging &&
           entries == other.entries && bytes == other.bytes &&
           staging_device == other.staging_device &&
           staging_inode == other.staging_inode && phase == other.phase &&
           boot == other.boot;
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
