#ifndef DELTA_DELTA_APPLY_H_
#define DELTA_DELTA_APPLY_H_

#include <string>

#include "base/file_path.h"

// The updater's half of delta packages: the new package's tree built from
// an unpacked delta and the installation it was made for.

// What ApplyDelta makes: the whole tree of the new package, or only what
// differs from the installation it is made for (every directory, the
// patched and whole files, and the kept files installed with another mode
// than listed), for an install that copies only what changed.
enum class DeltaOutput { kWholeTree, kChangedFiles };

// How many files of each method the listing had.
struct DeltaCounts {
  uint64_t kept = 0;
  uint64_t patched = 0;
  uint64_t whole = 0;
};

// Builds in |output_dir|, which must be an empty directory, the tree the
// unpacked delta |delta_dir| lists (see delta_listing.h), or the part of it
// that |output| says, from its payload and the installation |base_dir|.
// Every base the listing names, kept or patched, must be in the installation
// as a regular file (no link in any component of its path is followed) of
// the listed size and digest, checked on a second thread while the
// directories and the changed files are made. Each file's digest is checked
// against the listing and its mode set; directory modes are set last.
// Everything is made below |output_dir| through descriptors, without following
// links, and new files are never opened over existing ones, so nothing is
// written outside it. The result is not synced.
//
// Returns false with a short reason in |*problem| ("PATH: what is wrong")
// on the first failure (a base's before a failure to make a file);
// what was made in |output_dir| is removed again. On
// success stores the listing's counts in |*counts| when it is not null.
bool ApplyDelta(const base::FsPath& delta_dir, const base::FsPath& base_dir,
                const base::FsPath& output_dir, DeltaOutput output,
                DeltaCounts* counts, std::string* problem);

#endif  // DELTA_DELTA_APPLY_H_
