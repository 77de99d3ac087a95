#ifndef INSTALL_INSTALL_JOURNAL_H_
#define INSTALL_INSTALL_JOURNAL_H_

#include "install/offer_file.h"

// The install journal, "norvane_install.ini" in the installation directory,
// names what is being copied over the installation: the package's offer, the
// staging directory that holds it unpacked, and how many entries the
// unpacked tree held when it was checked. It is written and synced before
// the browser is waited for and the copy may start, and removed only after
// a copy has succeeded and reached the disk. A run that finds it knows that
// the installation may be half old, half new, whatever version the browser
// reports, and finishes the install.

// Reads the journal. False, leaving |*journal| alone, when there is none or
// it cannot be read or parsed.
bool ReadInstallJournal(OfferFile* journal);

// Whether anything is there under the journal's name, readable or not. A
// journal that cannot be read (damaged, past its size limit, not a regular
// file) still stands for an install that may be half done.
bool InstallJournalExists();

// Replaces the journal with |journal| and syncs it and the staging tree to
// their disks, so that after a power loss the journal never names a tree
// that is not there whole. False, with errno set, on failure.
bool WriteInstallJournal(const OfferFile& journal);

// Syncs the installation to its disk and then removes the journal. False,
// with errno set, when either fails; the journal then stays.
bool FinishInstallJournal();

#endif  // INSTALL_INSTALL_JOURNAL_H_
