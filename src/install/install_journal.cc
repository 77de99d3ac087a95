#include "install/install_journal.h"

#include <errno.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/file_util.h"
#include "update_settings.h"

bool ReadInstallJournal(OfferFile* journal) {
  return ReadOfferFile(kInstallJournalFileName, journal);
}

bool InstallJournalExists() {
  struct stat status;
  // A status that cannot be read at all is no proof that nothing is there.
  return lstat(kInstallJournalFileName, &status) == 0 || errno != ENOENT;
}

bool WriteInstallJournal(const OfferFile& journal) {
  return base::SyncFileSystemOf(journal.staging) &&
         WriteOfferFile(kInstallJournalFileName, journal);
}

bool FinishInstallJournal() {
  // The copied files must be on disk before the journal that would repair
  // them goes.
  if (!base::SyncFileSystemOf(".")) return false;
  if (unlink(kInstallJournalFileName) != 0 && errno != ENOENT) return false;
  return base::SyncFileSystemOf(".");
}
