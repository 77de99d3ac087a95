#ifndef DAILY_CHECK_H_
#define DAILY_CHECK_H_

#include <stdint.h>

#include <string>

#include "download.h"

// At most once a day the updater fetches a small check file from the update
// server; the time of the last fetch is kept in "norvane_upgrade_linux.ini".

// Sets |*due| to whether the check file is due at |now| (seconds since the
// epoch): a day or more has passed since the stored time, the stored time
// lies in the future, or there is no state file (which is logged). When due,
// the current time has already been stored, so a failed fetch is not
// repeated before the next day. Returns false, leaving |*due| alone and the
// file as it is, when the state file exists but cannot be read (logged by
// ReadStateFileText): the run must end then.
bool IsDailyCheckDueAt(int64_t now, bool* due);

// IsDailyCheckDueAt with the current time.
bool IsDailyCheckDue(bool* due);

// Replaces "norvane_check_linux.ini" with a fresh copy from |check_url|. The
// outcome does not matter to the run and is not reported.
void FetchCheckFile(const std::string& check_url, const DownloadLimits& limits);

#endif  // DAILY_CHECK_H_
