#include "norvane_update.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <ostream>

#include "base/eintr_wrapper.h"
#include "base/file_util.h"
#include "base/logging.h"
#include "daily_check.h"
#include "install/install_journal.h"
#include "installation.h"
#include "instance_guard.h"
#include "manifest.h"
#include "rollout.h"
#include "rollout_bucket.h"
#include "update_log_sites.h"
#include "update_settings.h"

namespace {

// Points descriptors 1 and 2 at the log file, opened for appending so that a
// refused second updater cannot wipe or overwrite the running one's log.
// Reports on the caller's standard error and returns false when the log
// cannot be opened.
bool RedirectOutputToLog() {
  // Never through a link, which could make the log overwrite any file. The
  // descriptor is close-on-exec; descriptors 1 and 2, made from it below,
  // are not, so tar and cp print their listings into the log.
  int fd = base::OpenRegularFile(kLogFileName, O_WRONLY | O_CREAT | O_APPEND);
  if (fd < 0) {
    int error = errno;
    fprintf(stderr, "can't open %s: %s\n", kLogFileName,
            base::FileErrorText(error).c_str());
    return false;
  }
  fflush(stdout);
  if ((fd != STDOUT_FILENO && HANDLE_EINTR(dup2(fd, STDOUT_FILENO)) < 0) ||
      (fd != STDERR_FILENO && HANDLE_EINTR(dup2(fd, STDERR_FILENO)) < 0)) {
    int error = errno;
    fprintf(stderr, "can't redirect output to %s: %s\n", kLogFileName,
            base::SystemErrorText(error).c_str());
    return false;
  }
  if (fd > STDERR_FILENO) {
    close(fd);
  } else if (fcntl(fd, F_SETFD, 0) != 0) {
    // The log landed on descriptor 1 or 2 itself.
    int error = errno;
    fprintf(stderr, "can't redirect output to %s: %s\n", kLogFileName,
            base::SystemErrorText(error).c_str());
    return false;
  }
  return true;
}

// Empties the log once this run owns the directory; later writes append from
// the start.
void StartFreshLog() { (void)HANDLE_EINTR(ftruncate(STDOUT_FILENO, 0)); }

}  // namespace

int RunUpdate(int argc, char** argv, const UpdaterBuild& build) {
  if (argc != 4) {
    fputs("parameter error!\n", stderr);
    return kExitFailure;
  }
  const char* install_dir = argv[2];
  if (chdir(install_dir) != 0) {
    fprintf(stderr, "can't access %s\n", install_dir);
    return kExitFailure;
  }
  if (!RedirectOutputToLog()) return kExitFailure;

  if (IsAnotherInstanceRunning()) {
    LOG_AT(log_site::kAnotherInstance, base::LOG_ERROR)
        << "another instance is running!" << std::endl;
    return kExitFailure;
  }
  StartFreshLog();
  if (!WritePidFile()) {
    LOG_AT(log_site::kWritePidFileFailed, base::LOG_ERROR)
        << "write pid file failed!" << std::endl;
    return kExitFailure;
  }

  // An install that did not finish is finished first, whatever the version
  // the browser reports: the installation may be half old, half new.
  OfferFile journal;
  const bool journal_read = ReadInstallJournal(&journal);
  if (journal_read) {
    LOG_AT(log_site::kUnfinishedInstall, base::LOG_ERROR)
        << "the last install of " << journal.package.url
        << " did not finish, installing again!" << std::endl;
  } else if (InstallJournalExists()) {
    // Taken for no journal it would let a half-copied installation pass for
    // current. Without its staging directory the package now offered is
    // fetched and installed, as when that directory is lost.
    LOG_AT(log_site::kJournalUnreadable, base::LOG_ERROR)
        << "can't read the install journal " << kInstallJournalFileName
        << ", installing again!" << std::endl;
  }
  const bool unfinished = journal_read || InstallJournalExists();
  RemoveLeftoverStagingDirectories(journal_read ? &journal : nullptr);
  const char* browser_pid = argv[3];
  // Moves that were under way finish from the shadow, which holds the whole
  // package, before anything is fetched: the installation becomes whole
  // even when the server cannot be reached.
  bool finished = false;
  if (journal_read && FinishInterruptedMoves(journal, browser_pid, &finished)) {
    return finished ? kExitSuccess : kExitFailure;
  }

  DownloadLimits package_limits;
  package_limits.stall_seconds = build.stall_seconds;
  package_limits.stall_bytes_per_second = kStallBytesPerSecond;
  // The small files must also arrive within a total time; the package may
  // take as long as its bytes keep coming.
  DownloadLimits small_file_limits = package_limits;
  small_file_limits.total_seconds = build.small_file_seconds;
  const std::string server(build.server_base_url);
  bool check_due = false;
  if (!IsDailyCheckDue(&check_due)) return kExitFailure;
  if (check_due) FetchCheckFile(server + kCheckUrlPath, small_file_limits);

  PackageOffer package;
  int rollout_percent = kFullRollout;
  switch (CheckManifest(server + kManifestUrlPath, argv[1], build.manifest_key,
                        small_file_limits, unfinished, &package,
                        &rollout_percent)) {
    case ManifestOutcome::kFailure:
      return kExitFailure;
    case ManifestOutcome::kUpToDate:
      return kExitSuccess;
    case ManifestOutcome::kUpdateNeeded:
      break;
  }
  // A half-copied installation is repaired whatever share of installations
  // the release is offered to.
  switch (unfinished ? RolloutOutcome::kTaken
                     : DecideRollout(rollout_percent)) {
    case RolloutOutcome::kFailure:
      return kExitFailure;
    case RolloutOutcome::kHeldBack:
      return kExitSuccess;
    case RolloutOutcome::kTaken:
      break;
  }
  // A delta is made against one version's files; a half-copied installation
  // is none of them and is repaired from the full package.
  if (package.delta && (unfinished || package.delta->from != argv[1])) {
    package.delta.reset();
  }
  return InstallPackage(package, browser_pid, package_limits,
                        journal_read ? &journal : nullptr)
             ? kExitSuccess
             : kExitFailure;
}
