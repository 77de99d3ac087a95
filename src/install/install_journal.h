#ifndef INSTALL_INSTALL_JOURNAL_H_
#define INSTALL_INSTALL_JOURNAL_H_

#include "install/offer_file.h"

// The install journal, "norvane_install.ini" in the installation directory,
// names what is being installed: the package's offer and the phase of the
// install. In the copying phase it names the staging directory that holds
// the package unpacked and how many entries the unpacked tree held when it
// was checked; the copy into the shadow (see shadow_tree.h) may be under
// way. In the moving phase the shadow is whole on disk and its entries are
// being moved into place. It is written before the copy starts and removed
// only after the moves are on disk. A run that finds it knows that the
// installation may be half old, half new, whatever version the browser
// reports, and finishes the install.

// The journal's phases.
inline constexpr char kJournalCopying[] = "copying";
inline constexpr char kJournalMoving[] = "moving";

// Reads the journal. False, leaving |*journal| alone, when there is none or
// it cannot be read or parsed.
bool ReadInstallJournal(OfferFile* journal);

// Whether anything is there under the journal's name, readable or not. A
// journal that cannot be read (damaged, past its size limit, not a regular
// file) still stands for an install that may be half done.
bool InstallJournalExists();

// Replaces the journal with |journal|, atomically and synced. What it names
// must be on disk first (or, for a staging tree, be known to be stale after
// another boot). False, with errno set, on failure.
bool WriteInstallJournal(const OfferFile& journal);

// Removes the journal and syncs its directory. False, with errno set, when
// either fails; the journal may then stay.
bool FinishInstallJournal();

#endif  // INSTALL_INSTALL_JOURNAL_H_
