#ifndef DELTA_DELTA_LISTING_H_
#define DELTA_DELTA_LISTING_H_

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <string_view>
#include <vector>

#include "package_digest.h"

// The listing of a delta package: what a release's full package holds, and
// how each of its files is made from the package before it. A delta
// package is a gzip-compressed tar archive with, at its top,
//
//   norvane_delta.ini  the listing (kDeltaListingFileName), first;
//   patches/PATH       for each patched file: one zstd frame made against
//                      the base file at PATH (see file_patch.h);
//   files/PATH         for each file carried whole: its bytes.
//
// The listing is an INI file. Section [delta] holds format=1 and the
// counts; then [directory.N] for N = 1 to "directories" and [file.N] for
// N = 1 to "files", each with exactly these keys:
//
//   [delta]
//   format=1
//   directories=1
//   files=2
//   [directory.1]
//   path=lib
//   mode=0755
//   [file.1]
//   path=keltrin
//   mode=0755
//   size=1048576            the result's bytes
//   sha256=<64 hex digits>  the result's digest
//   method=patched          kept, patched or whole
//   base_size=1048000       patched only: the base's bytes
//   base_sha256=<64 hex>    patched only: the base's digest
//
// A kept file is the base at the same path unchanged, so its base size and
// digest are the result's. Paths are relative, "/"-separated, without
// empty, "." or ".." components, control characters or any of the
// updater's own file names at the top (kUpdaterFileNames). Every parent of
// a listed path is a listed directory, and no path is listed twice. Modes
// are permission bits only, 0000 to 0777, in octal. Lines starting with "#"
// are comments.

enum class DeltaMethod { kKept, kPatched, kWhole };

struct DeltaDirectory {
  std::string path;
  uint32_t mode = 0;
  bool operator==(const DeltaDirectory& other) const {
    return path == other.path && mode == other.mode;
  }
};

struct DeltaFile {
  std::string path;
  uint32_t mode = 0;
  uint64_t size = 0;
  Sha256Digest sha256 = {};
  DeltaMethod method = DeltaMethod::kWhole;
  // The file at |path| that the installation must hold, for kept and
  // patched files; a kept file's are |size| and |sha256|.
  uint64_t base_size = 0;
  Sha256Digest base_sha256 = {};
  bool operator==(const DeltaFile& other) const;
};

struct DeltaListing {
  // Both in the order of the listing's numbers.
  std::vector<DeltaDirectory> directories;
  std::vector<DeltaFile> files;
  bool operator==(const DeltaListing& other) const {
    return directories == other.directories && files == other.files;
  }
};

// The most bytes of a listing read, and the most entries it may list.
inline constexpr size_t kMaxDeltaListingBytes = 16 * 1024 * 1024;
inline constexpr uint64_t kMaxDeltaEntries = 1000 * 1000;

// Whether a listing may name |path|: UTF-8 text in the form described
// above.
bool IsDeltaPath(std::string_view path);

// Where a file's payload lies below the top of an unpacked delta:
// "patches/PATH" or "files/PATH"; "" for a kept file, which has none.
std::string DeltaPayloadPath(const DeltaFile& file);

// The listing's text, as ParseDeltaListing reads it.
std::string FormatDeltaListing(const DeltaListing& listing);

// Reads the listing |text| into |*listing|. Returns false, leaving
// |*listing| alone and |*problem| saying what is wrong, when the text is
// larger than kMaxDeltaListingBytes or is not a listing as described above
// in every part.
bool ParseDeltaListing(std::string_view text, DeltaListing* listing,
                       std::string* problem);

// Reads the listing file at the top of the unpacked delta |delta_dir|, a
// regular file read within kMaxDeltaListingBytes, as ParseDeltaListing
// does.
bool ReadDeltaListing(const std::string& delta_dir, DeltaListing* listing,
                      std::string* problem);

#endif  // DELTA_DELTA_LISTING_H_
