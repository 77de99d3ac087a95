#ifndef DELTA_FILE_PATCH_H_
#define DELTA_FILE_PATCH_H_

#include <stdint.h>

#include <string>

#include "package_digest.h"

// Binary patches of single files: one zstd frame compressed with the base
// file as its prefix (zstd's patch-from mode), so that the parts the new
// file shares with the base cost a few bytes each.

// The largest base or result a patch is made for. Its window, twice the
// larger file rounded up to a power of two, is then within what a 32-bit
// zstd decodes (2^30 bytes), so every updater applies every
// patch; larger files are carried whole.
inline constexpr uint64_t kMaxPatchedFileBytes = uint64_t{512} << 20;

// Writes to |patch_path|, a new file (it must not exist), a patch that
// turns the file at |base_path| into the file at |result_path|, both
// regular files of at most kMaxPatchedFileBytes (and the base not empty),
// when that patch is smaller than |limit| bytes; |*made| says whether it
// was. Returns false, with |*problem| saying why, when a file cannot be
// read or written or zstd fails. No file is left at |patch_path| unless a
// patch was made.
bool MakeFilePatch(const std::string& base_path, const std::string& result_path,
                   const std::string& patch_path, uint64_t limit, bool* made,
                   std::string* problem);

// Applies the patch read from |patch_fd| to the base open on |base_fd|, a
// regular file of |base_size| bytes that is mapped read-only, and writes the
// result to |result_fd|, a new empty file open for writing.
// The result must be |result_size| bytes long, with the digest
// |result_sha256|; the output is streamed in pieces and refused as soon as
// it would pass |result_size|, so memory stays within the result's size and
// a few MiB. Returns false, with |*problem| saying why, when the patch is
// damaged, does not fit the base or gives another result, or a read or
// write fails; |result_fd| then holds part of a result, and the caller
// removes the file.
bool ApplyFilePatch(int base_fd, uint64_t base_size, int patch_fd,
                    int result_fd, uint64_t result_size,
                    const Sha256Digest& result_sha256, std::string* problem);

#endif  // DELTA_FILE_PATCH_H_
