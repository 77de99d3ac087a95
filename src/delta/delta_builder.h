#ifndef DELTA_DELTA_BUILDER_H_
#define DELTA_DELTA_BUILDER_H_

#include <string>

#include "base/file_path.h"
#include "delta/delta_listing.h"

// The publishing tool's half of delta packages: the tree of a delta made
// from two unpacked packages.

// Builds in |out_dir|, an empty directory, the tree of the delta package
// that turns the unpacked package |old_dir| into the unpacked package
// |new_dir|: the listing and the directories "patches" and "files" (see
// delta_listing.h). A file equal to the old one at its path is kept; one
// that differs is patched when the patch is smaller than the file, and
// carried whole otherwise, as are new files. Neither tree's links are
// followed; a new tree with anything but regular files and directories,
// a directory that cannot be read or a path a listing cannot name is
// refused. Returns false with |*problem| saying why; |out_dir| then holds
// part of a tree, which the caller removes. Stores the listing in
// |*listing| on success.
bool BuildDelta(const base::FsPath& old_dir, const base::FsPath& new_dir,
                const base::FsPath& out_dir, DeltaListing* listing,
                std::string* problem);

// Checks that the files |listing| lists are exactly the regular files of
// the unpacked package |tree|, path for path, with the same sizes and
// digests: that the delta makes that package. A tree with anything but
// regular files and directories, which no delta makes, fails as BuildDelta
// fails for it. Returns false with |*problem| saying why.
bool ListingMakesTree(const DeltaListing& listing, const base::FsPath& tree,
                      std::string* problem);

#endif  // DELTA_DELTA_BUILDER_H_
