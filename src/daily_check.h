#ifndef DAILY_CHECK_H_
#define DAILY_CHECK_H_

#include <stdint.h>

#include <string>

#include "download.h"

// At most once a day the updater fetches a small check file from the update
// server; the time of the last fetch is kept in "norvane_upgrade_linux.ini".

// True when the check file is due at |now| (seconds since the epoch): a day
// or more has passed since the stored time, the stored time lies in the
// future, or the state file cannot be loaded (which is logged). When due, the
// current time has already been stored, so a failed fetch is not repeated
// before the next day.
bool IsDailyCheckDueAt(int64_t now);

// IsDailyCheckDueAt with the current time.
bool IsDailyCheckDue();

// Replaces "norvane_check_linux.ini" with a fresh copy from |check_url|. The
// outcome does not matter to the run and is not reported.
void FetchCheckFile(const std::string& check_url, const DownloadLimits& limits);

#endif  // DAILY_CHECK_H_
