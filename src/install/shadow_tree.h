#ifndef INSTALL_SHADOW_TREE_H_
#define INSTALL_SHADOW_TREE_H_

#include <stdint.h>

#include <string>

// The shadow tree: the checked package copied into a directory of the
// updater's own inside the installation directory (kShadowDirName in the
// working directory), on the installation's file system, and then moved
// into place entry by entry with rename. A file of the package that
// replaces one of the installation is a new inode put in its place at once:
// at every instant each name of the installation is its whole old file or
// its whole new one, and whoever has the old one open or mapped keeps it
// whole. A directory new to the installation moves whole; one that exists
// is entered and its entries moved.
//
// Every call works on descriptors of the directories it walks and never
// follows a link, in the shadow or in the installation.

// Removes whatever is at the shadow's name (a link is unlinked, never
// followed) and makes the shadow afresh, empty and private. False, with
// errno set, when either fails.
bool MakeShadowDirectory();

// Whether the shadow is there: a directory of this user's, not a link.
bool ShadowDirectoryExists();

// Removes the shadow and all it holds, giving its directories owner read,
// write and search first. True when nothing is left at its name; false,
// with errno set, otherwise.
bool RemoveShadowDirectory();

// Looks for an entry of the shadow that cannot be moved into the
// installation: a directory of the package where the installation has a
// file or a link, a file or a link of the package where it has a
// directory, or a directory of the installation that the moves would enter
// but this user cannot write. Returns true and sets |*conflict| to the
// entry's path and what is wrong with it when there is one; false, leaving
// |*conflict| alone, otherwise.
bool FindMoveConflict(std::string* conflict);

// What became of the moves.
struct MoveOutcome {
  uint64_t moved = 0;  // Renames made.
  // On failure: the path of the entry that could not be moved (or of the
  // directory that could not be entered or synced), the step, and errno.
  std::string entry;
  const char* step = "";
  int error = 0;
};

// Moves every entry of the shadow into place and syncs each directory of
// the installation that it changed, so that the moves are on disk when it
// returns true. Entries already moved by an earlier call are gone from the
// shadow, so a call after an interrupted one finishes the moves. False, with
// |*outcome| naming what failed, on the first failure.
bool MoveShadowIntoPlace(MoveOutcome* outcome);

#endif  // INSTALL_SHADOW_TREE_H_
