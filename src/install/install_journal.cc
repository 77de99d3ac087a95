#include "install/install_journal.h"

#include <errno.h>
#include <fcntl.h>
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
  return WriteOfferFile(kInstallJournalFileName, journal);
}

bool FinishInstallJournal() {
  if (unlink(kInstallJournalFileName) != 0 && errno != ENOENT) return false;
  int fd = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  int result = fsync(fd);
  int error = errno;
  close(fd);
  errno = error;
  return result == 0;
}
