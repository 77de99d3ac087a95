#ifndef INSTALL_TREE_ROOM_H_
#define INSTALL_TREE_ROOM_H_

#include <stdint.h>

#include "base/file_path.h"

// What copying a tree takes on the file system it is copied to.
struct TreeRoom {
  uint64_t bytes = 0;   // Every name's blocks, as the copy writes them.
  uint64_t inodes = 0;  // One for every name.
};

// Measures what cp -r of the entries below |tree| takes on a file system of
// |block_size|-byte blocks: every regular file its size rounded up to whole
// blocks, every directory and link a block, and an inode each. cp writes
// every name of a hard-linked file as a file of its own, so each counts in
// full. False, leaving |*room| alone, when |tree| cannot be listed.
bool MeasureTreeRoom(const base::FsPath& tree, uint64_t block_size,
                     TreeRoom* room);

#endif  // INSTALL_TREE_ROOM_H_
