#ifndef INSTALL_STAGING_DIRECTORY_H_
#define INSTALL_STAGING_DIRECTORY_H_

#include <string>

#include "base/file_path.h"

// The staging directory: a private directory (mode 0700, this user's) made
// under TMPDIR, with the package unpacked in a directory inside it. tar may
// give that inner directory the owner and mode of the package's own top
// entry; the staging directory itself stays private, so no other user can
// reach the unpacked files between their check and the copy.

// Makes a staging directory under the temporary root, resolved once to a
// path without links, and the directory inside it. Logs and returns false,
// leaving |*staging| alone, when the root is missing, is not private (another
// user could rename entries in it or above it) or no directory can be made
// there.
bool MakeStagingDirectory(base::FsPath* staging);

// The directory inside |staging| that the package is unpacked into.
base::FsPath UnpackedTree(const base::FsPath& staging);

// Whether |staging| is a directory that this updater made: not a link,
// owned by this user, accessible to this user alone, and named from the
// temporary directory template.
bool IsOurStagingDirectory(const std::string& staging);

// Removes |staging| and everything in it when it is ours; leaves anything
// else alone. Every directory of the tree gets owner read, write and search
// first (tar gives them the package's modes, and a directory without owner
// write cannot be emptied); links are never followed. True when nothing of
// ours is left there; false, with errno set, when the delete failed.
bool RemoveStagingDirectory(const std::string& staging);

#endif  // INSTALL_STAGING_DIRECTORY_H_
