#ifndef INSTALL_STAGING_DIRECTORY_H_
#define INSTALL_STAGING_DIRECTORY_H_

#include "base/file_path.h"
#include "install/offer_file.h"

// The staging directory: a private directory (mode 0700, this user's) made
// under TMPDIR, with the package unpacked in a directory inside it. tar may
// give that inner directory the owner and mode of the package's own top
// entry; the staging directory itself stays private, so no other user can
// reach the unpacked files between their check and the copy.
//
// A record or a journal can be planted, and the browser's own temporary
// directories share the name template and the root, so a directory that a
// file names is taken for ours only when its path is exactly the run's
// temporary root, "/", and a name of the template, and it still has the
// device and inode recorded when it was made. The temporary root is resolved
// once per run, to a path without links: a link re-pointed during the run
// changes neither where the directory is made nor what is taken for it.

// Makes a staging directory under the temporary root and the directory
// inside it, for |record| (its package set by the caller). The package
// record names the directory before it exists and again with its device
// and inode once it does, so a run killed at any moment leaves it named.
// Fills in record->staging, staging_device and staging_inode. Logs and
// returns false, leaving |*record| alone and the package record naming no
// directory of this call, when the root is missing, is not private (another
// user could rename entries in it or above it), or no directory can be made
// and recorded there.
bool MakeStagingDirectory(OfferFile* record);

// The directory inside |staging| that the package is unpacked into, or that
// the files a delta makes are put in.
base::FsPath UnpackedTree(const base::FsPath& staging);

// The directory inside |staging| that a delta package is unpacked into,
// beside the tree it makes; made by the caller.
base::FsPath UnpackedDelta(const base::FsPath& staging);

// Whether the staging directory |record| names is one this updater made:
// exactly a name of the template under the run's temporary root, a
// directory (not a link) owned by this user and accessible to this user
// alone, with the recorded device and inode.
bool IsOurStagingDirectory(const OfferFile& record);

// Removes the staging directory |record| names when it is ours, and
// everything in it: every directory of the tree gets owner read, write and
// search first (tar gives them the package's modes, and a directory without
// owner write cannot be emptied); links are never followed. A record
// without device and inode, written by a run killed before it could record
// them, leads to an rmdir only: nothing had been put there yet. Anything
// else found there is left alone and |*left_alone| set to true. True when
// nothing of ours is left there; false, with errno set, when the delete
// failed.
bool RemoveStagingDirectory(const OfferFile& record, bool* left_alone);

#endif  // INSTALL_STAGING_DIRECTORY_H_
