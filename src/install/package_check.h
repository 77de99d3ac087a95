#ifndef INSTALL_PACKAGE_CHECK_H_
#define INSTALL_PACKAGE_CHECK_H_

#include <stddef.h>
#include <stdint.h>

#include <string>

#include "base/file_path.h"

// The check of an unpacked package for entries that must not be copied over
// the installation.

// Whether a symbolic link |depth| directories below the top of a tree, with
// the target |target|, leads to a place inside the tree however the tree's
// other links resolve: the target is relative, and its ".." components all
// come first and climb at most |depth| levels.
bool IsLinkTargetInside(const std::string& target, size_t depth);

// Looks through the unpacked package under |dir| for an entry that must not
// be copied over the installation: one of the updater's own files at the top
// (kUpdaterFileNames; it would replace the updater's state, or as a link or
// a directory lock every later run out), a symbolic link that leads outside
// the tree (a later package would write through it), or an entry that is
// neither a regular file, a directory nor a link (cp would recreate a device
// or a FIFO, and a later package would write into it). Returns true and sets
// |*entry| to the entry's path below |dir| (with " -> " and the target for a
// link) when there is one; false, leaving |*entry| alone, otherwise.
bool FindUnsafeEntry(const base::FsPath& dir, std::string* entry);

// FindUnsafeEntry that also counts the entries below |dir| into |*entries|
// when it finds no unsafe one.
bool FindUnsafeEntry(const base::FsPath& dir, std::string* entry,
                     uint64_t* entries);

#endif  // INSTALL_PACKAGE_CHECK_H_
