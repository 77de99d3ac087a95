#include "installation.h"

#include <ctype.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ostream>

#include "base/file_path.h"
#include "base/file_util.h"
#include "base/logging.h"
#include "delta/delta_apply.h"
#include "download.h"
#include "install/delta_package.h"
#include "install/install_journal.h"
#include "install/package_check.h"
#include "install/package_commands.h"
#include "install/package_record.h"
#include "install/shadow_tree.h"
#include "install/staging_directory.h"
#include "install/tree_room.h"
#include "instance_guard.h"
#include "progress_line.h"
#include "update_log_sites.h"
#include "update_settings.h"

namespace {

// Runs |command| through the shell after echoing it, and checks how it
// ended: logs at |exit_site| when the shell did not exit normally and at
// |status_site| when it exited with a non-zero code.
bool RunShellCommand(const std::string& command, const char* tool,
                     const log_site::Site& exit_site,
                     const log_site::Site& status_site) {
  PrintProgressLine(command);
  // The shell and what it starts hold the instance lock while they run: a
  // killed run's tar or cp may still write to the staging directory or the
  // installation, and no next run may start beside it. Only these commands
  // inherit it; every other program stays out of the lock.
  SetInstanceLockInherited(true);
  int status = system(command.c_str());
  SetInstanceLockInherited(false);
  if (!WIFEXITED(status)) {
    LOG_AT(exit_site, base::LOG_ERROR)
        << tool << " exit error: " << WIFEXITED(status) << std::endl;
    return false;
  }
  if (WEXITSTATUS(status) != 0) {
    LOG_AT(status_site, base::LOG_ERROR)
        << tool << " status error: " << WEXITSTATUS(status) << std::endl;
    return false;
  }
  return true;
}

// Waits until the browser process |browser_pid| has exited. Returns whether
// it had to wait at all.
bool WaitForBrowserExit(const std::string& browser_pid) {
  bool waited = false;
  while (ProcessCommandLineContains(browser_pid, kBrowserWord)) {
    sleep(kBrowserPollSeconds);
    waited = true;
  }
  return waited;
}

// |text| with control bytes and backslashes written as octal escapes, so
// that a hostile file name cannot forge log lines.
std::string Printable(const std::string& text) {
  std::string printable;
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7f || c == '\\') {
      const char kDigits[] = "01234567";
      printable += '\\';
      printable += kDigits[c >> 6];
      printable += kDigits[(c >> 3) & 7];
      printable += kDigits[c & 7];
    } else {
      printable += static_cast<char>(c);
    }
  }
  return printable;
}

// Removes the staging directory |record| names. When it cannot be removed,
// logs why and writes the package record naming it, so that a later run
// tries again; returns whether it went. What is there and not ours is
// logged, left alone and counts as gone: no record is to name it again.
bool DeleteStagingDirectory(const OfferFile& record) {
  bool left_alone = false;
  if (RemoveStagingDirectory(record, &left_alone)) {
    if (left_alone) {
      LOG_AT(log_site::kStagingNotOurs, base::LOG_ERROR)
          << Printable(record.staging)
          << " is not a staging directory of this updater, leaving it alone!"
          << std::endl;
    }
    return true;
  }
  int error = errno;
  LOG_AT(log_site::kStagingNotRemoved, base::LOG_ERROR)
      << "can't remove " << Printable(record.staging) << ": "
      << base::SystemErrorText(error) << ", keeping it for the next run!"
      << std::endl;
  OfferFile kept;
  kept.package = record.package;
  kept.staging = record.staging;
  kept.staging_device = record.staging_device;
  kept.staging_inode = record.staging_inode;
  (void)WritePackageRecord(kept);
  return false;
}

// Removes the staging directory |record| names and the package with its
// record; a staging directory that stays keeps the record naming it.
void DiscardStagedPackage(const OfferFile& record) {
  if (DeleteStagingDirectory(record)) {
    RemovePackage();
  } else {
    (void)remove(kPackageFileName);
  }
}

// Checks |tree| for entries that must not reach the installation and counts
// its entries. Logs and returns false when it holds one.
bool CheckTree(const base::FsPath& tree, uint64_t* entries) {
  std::string unsafe_entry;
  if (FindUnsafeEntry(tree, &unsafe_entry, entries)) {
    LOG_AT(log_site::kUnsafePackageEntry, base::LOG_ERROR)
        << "unsafe package entry: " << Printable(unsafe_entry) << std::endl;
    return false;
  }
  return true;
}

// The kernel's id of this boot, or "" when it cannot be read.
std::string CurrentBootId() {
  std::string id;
  if (!base::ReadRegularFile(kBootIdPath, &id, 64)) return std::string();
  while (!id.empty() && id.back() == '\n') id.pop_back();
  for (char c : id) {
    if (!isxdigit(static_cast<unsigned char>(c)) && c != '-') {
      return std::string();
    }
  }
  return id;
}

// Whether the staging directory of |journal| still holds the tree the
// journal names, unchanged as far as a check can tell.
bool StagedTreeIsIntact(const OfferFile& journal) {
  std::string unsafe_entry;
  uint64_t entries = 0;
  // A tree unpacked without a sync may have lost data in a power cut.
  const bool same_boot =
      journal.boot.empty() || journal.boot == CurrentBootId();
  return same_boot && IsOurStagingDirectory(journal) &&
         !FindUnsafeEntry(UnpackedTree(base::FsPath(journal.staging)),
                          &unsafe_entry, &entries) &&
         entries == journal.entries;
}

// Takes over the package that the unfinished install of |journal| staged
// when the manifest still offers it and it is still there whole. Otherwise
// removes that staging directory, so the package is fetched afresh, and
// returns false.
bool ReuseStagedPackage(const PackageOffer& package, const OfferFile& journal) {
  if (!(journal.package == package)) {
    LOG_AT(log_site::kOfferChanged, base::LOG_ERROR)
        << "the server offers another package now, installing it instead!"
        << std::endl;
  } else if (StagedTreeIsIntact(journal)) {
    LOG_AT(log_site::kStagingReused, base::LOG_ERROR)
        << "finishing the install from " << Printable(journal.staging) << "!"
        << std::endl;
    return true;
  } else {
    // A journal of the moving phase names the shadow, not a staging tree.
    LOG_AT(log_site::kStagingLost, base::LOG_ERROR)
        << Printable(journal.phase == kJournalMoving ? kShadowDirName
                                                     : journal.staging)
        << " is gone or changed, fetching the package again!" << std::endl;
  }
  // One that cannot be removed is named in the record until the new staging
  // directory takes the record's place.
  (void)DeleteStagingDirectory(journal);
  return false;
}

// Checks the tree in the staging directory of |*record| and writes the
// install journal naming it, which |*staged| then holds. Logs and returns
// false, removing the staging directory, when either fails.
bool JournalStagedTree(OfferFile* record, OfferFile* staged) {
  // tar keeps every entry inside the staging directory, but cp would carry
  // links and special files into the installation for a later package to
  // write through.
  if (!CheckTree(UnpackedTree(base::FsPath(record->staging)),
                 &record->entries)) {
    DiscardStagedPackage(*record);
    return false;
  }
  // The tree is not synced: the journal names the boot instead, and a run
  // after another boot fetches the package again rather than trust it.
  record->phase = kJournalCopying;
  record->boot = CurrentBootId();
  if ((record->boot.empty() && !base::SyncFileSystemOf(record->staging)) ||
      !WriteInstallJournal(*record)) {
    int error = errno;
    LOG_AT(log_site::kWriteJournal, base::LOG_ERROR)
        << "can't write the install journal: " << base::SystemErrorText(error)
        << std::endl;
    DiscardStagedPackage(*record);
    return false;
  }
  // The record keeps naming the staging directory beside the journal: a
  // journal that cannot be read back would name it nowhere else.
  *staged = *record;
  return true;
}

// Downloads |package|, checks it and unpacks it into a new staging
// directory, which the journal written into |*staged| then names. Logs and
// returns false when any of it fails; what is kept for the next run is the
// partial package file only.
bool FetchAndUnpack(const PackageOffer& package, const DownloadLimits& limits,
                    OfferFile* staged) {
  if (!PreparePackageFile(package)) return false;
  DownloadLimits package_limits = limits;
  package_limits.max_file_bytes = package.size.value_or(kMaxPackageBytes);
  DownloadError error = DownloadError::kNone;
  if (DownloadFile(package.url, kPackageFileName, kConnectTimeoutSeconds,
                   package_limits, &error) != 0) {
    LOG_AT(log_site::kDownloadPackage, base::LOG_ERROR)
        << "download " << package.url << " error!" << std::endl;
    switch (error) {
      case DownloadError::kWrite:
        // The disk is full: unpacking and copying would fill it further and
        // could leave the installation half copied.
      case DownloadError::kStalled:
      case DownloadError::kOutOfTime:
      case DownloadError::kTarget:
        // The partial package stays for the next run to resume.
        return false;
      case DownloadError::kTooLarge:
        // Whatever the server sends there is not the offered package.
        RemovePackage();
        return false;
      case DownloadError::kNone:
      case DownloadError::kTransfer:
        // A package completed by an earlier run may still be whole; its
        // size, digest or the extraction finds out. One known to be short
        // of its size stays for the next run to resume.
        if (PackageIsShortOfItsSize(package)) return false;
        break;
    }
  }
  if (!PackageMatchesOffer(package)) return false;
  OfferFile record;
  record.package = package;
  // From here on a run killed at any moment leaves a staging directory that
  // the next run finds named in the record or the journal.
  if (!MakeStagingDirectory(&record)) return false;
  bool extracted = RunShellCommand(
      ExtractionCommand(kPackageFileName,
                        UnpackedTree(base::FsPath(record.staging)).AsString()),
      "tar", log_site::kTarExit, log_site::kTarStatus);
  // Whole or not, the archive is not needed again: a broken one must be
  // downloaded afresh.
  (void)remove(kPackageFileName);
  if (!extracted) {
    DiscardStagedPackage(record);
    return false;
  }
  return JournalStagedTree(&record, staged);
}

// What came of staging an update from its delta.
enum class DeltaStage {
  kStaged,       // The journal names the staged files.
  kFullPackage,  // Logged: the delta is not to be used, and is gone.
  kFailed,       // Logged: the install ends (a stall, or a failure that the
                 // full package would meet too).
};

// Removes the delta file and logs |why| |delta| is not used; the full
// package is installed instead.
DeltaStage FallBackToFullPackage(const DeltaOffer& delta,
                                 const std::string& why) {
  RemoveDelta();
  LOG_AT(log_site::kDeltaNotUsed, base::LOG_ERROR)
      << "can't use the delta from " << Printable(delta.from) << ": "
      << Printable(why) << ", installing the full package!" << std::endl;
  return DeltaStage::kFullPackage;
}

// Whether the delta offered beside |package| is to be tried: not when none
// is, nor once a download of the full package has begun, which is finished
// rather than started over. A delta file it will not use goes.
bool DeltaIsToBeTried(const PackageOffer& package) {
  if (package.delta && !PackageDownloadBegun(package)) return true;
  RemoveDelta();
  return false;
}

// Downloads |delta| and checks it against its offer. False, with |*outcome|
// set, when the update is not to be made from it.
bool FetchDelta(const DeltaOffer& delta, const DownloadLimits& limits,
                DeltaStage* outcome) {
  PrepareDeltaFile(delta);
  DownloadLimits delta_limits = limits;
  delta_limits.max_file_bytes = delta.size;
  DownloadError error = DownloadError::kNone;
  if (DownloadFile(delta.url, kDeltaFileName, kConnectTimeoutSeconds,
                   delta_limits, &error) != 0) {
    LOG_AT(log_site::kDownloadDelta, base::LOG_ERROR)
        << "download " << delta.url << " error!" << std::endl;
    if (error == DownloadError::kStalled ||
        error == DownloadError::kOutOfTime) {
      // The link would stall the full package too; the partial delta stays
      // for the next run to resume.
      *outcome = DeltaStage::kFailed;
      return false;
    }
    // A delta completed by an earlier run may still be whole (the server
    // then refuses a range past its end); its size and digest find out.
    if ((error != DownloadError::kNone && error != DownloadError::kTransfer) ||
        DeltaIsShortOfItsSize(delta)) {
      *outcome = FallBackToFullPackage(delta, "it can't be downloaded");
      return false;
    }
  }
  std::string problem;
  if (!DeltaMatchesOffer(delta, &problem)) {
    *outcome = FallBackToFullPackage(delta, problem);
    return false;
  }
  return true;
}

// Makes the update of |package| from the delta offered beside it: downloads
// and checks the delta, unpacks it into a new staging directory and makes
// there, against the installation, the files that changed, every base
// checked; the journal written into |*staged| then names them, as a
// package's tree.
DeltaStage StageFromDelta(const PackageOffer& package,
                          const DownloadLimits& limits, OfferFile* staged) {
  const DeltaOffer& delta = *package.delta;
  PrintProgressLine("fetching the delta from " + Printable(delta.from));
  DeltaStage outcome = DeltaStage::kStaged;
  if (!FetchDelta(delta, limits, &outcome)) return outcome;
  OfferFile record;
  record.package = package;
  // As with a package, the record names the staging directory from here on.
  if (!MakeStagingDirectory(&record)) {
    RemoveDelta();
    return DeltaStage::kFailed;
  }
  const base::FsPath staging(record.staging);
  const base::FsPath unpacked = UnpackedDelta(staging);
  std::string problem;
  bool made = mkdir(unpacked.AsString().c_str(), 0700) == 0;
  if (!made) {
    problem = "can't make " + unpacked.AsString() + ": " +
              base::SystemErrorText(errno);
  } else if (!RunShellCommand(
                 ExtractionCommand(kDeltaFileName, unpacked.AsString()), "tar",
                 log_site::kTarExit, log_site::kTarStatus)) {
    made = false;
    problem = "tar can't unpack it";
  }
  RemoveDelta();
  DeltaCounts counts;
  made = made && ApplyDelta(unpacked, base::FsPath("."), UnpackedTree(staging),
                            DeltaOutput::kChangedFiles, &counts, &problem);
  // Only the tree it made is copied; the rest goes with the staging
  // directory.
  (void)base::DeleteOwnTree(unpacked);
  if (!made) {
    DiscardStagedPackage(record);
    return FallBackToFullPackage(delta, problem);
  }
  PrintProgressLine(
      "made the update from the delta: " + std::to_string(counts.patched) +
      " patched, " + std::to_string(counts.whole) + " whole, " +
      std::to_string(counts.kept) + " kept");
  return JournalStagedTree(&record, staged) ? DeltaStage::kStaged
                                            : DeltaStage::kFailed;
}

// Whether the installation's file system has room for the tree |staging|
// unpacked, as a copy writes it, and the margin. The old files stay until
// the moves, so the whole new tree must fit beside them. Logs when not.
bool HasRoomToCopy(const std::string& staging) {
  struct statvfs room;
  TreeRoom needed;
  if (statvfs(".", &room) != 0 ||
      !MeasureTreeRoom(UnpackedTree(base::FsPath(staging)), room.f_frsize,
                       &needed)) {
    return true;  // cp finds out.
  }
  const uint64_t available =
      static_cast<uint64_t>(room.f_bavail) * room.f_frsize;
  const uint64_t needed_bytes = needed.bytes + kCopyRoomMarginBytes;
  if (available < needed_bytes) {
    LOG_AT(log_site::kNoRoomToCopy, base::LOG_ERROR)
        << "not enough room to copy the update: need " << needed_bytes
        << " bytes, have " << available << "!" << std::endl;
    return false;
  }
  // A file system that reports no inodes at all does not count them.
  if (room.f_files != 0 && room.f_favail < needed.inodes) {
    LOG_AT(log_site::kNoInodesToCopy, base::LOG_ERROR)
        << "not enough inodes to copy the update: need " << needed.inodes
        << ", have " << room.f_favail << "!" << std::endl;
    return false;
  }
  return true;
}

// Logs that the shadow cannot be moved into place because of |conflict|.
void LogConflict(const std::string& conflict) {
  LOG_AT(log_site::kMoveConflict, base::LOG_ERROR)
      << "can't move the update into place: " << Printable(conflict) << "!"
      << std::endl;
}

// Ends an install that never touched the installation: the shadow, the
// staging directory of |record|, the package and the journal go.
void AbandonInstall(const OfferFile& record) {
  (void)RemoveShadowDirectory();
  DiscardStagedPackage(record);
  (void)FinishInstallJournal();
}

// Copies the tree that |*staged| names into a fresh shadow inside the
// installation, checks it and puts it on disk; the journal, written back
// into |*staged|, then enters the moving phase and the staging directory
// goes. No file of the installation is touched, so this may run while the
// browser does. Logs and returns false when the copy cannot be made or
// fails; the journal stays in the copying phase unless the package turns
// out not to fit the installation, and then goes with the rest.
bool CopyIntoShadow(OfferFile* staged) {
  if (!HasRoomToCopy(staged->staging)) return false;
  if (!MakeShadowDirectory()) {
    int error = errno;
    LOG_AT(log_site::kShadowNotMade, base::LOG_ERROR)
        << "can't make " << kShadowDirName << ": "
        << base::SystemErrorText(error) << "!" << std::endl;
    return false;
  }
  if (!RunShellCommand(
          CopyCommand(UnpackedTree(base::FsPath(staged->staging)).AsString(),
                      kShadowDirName),
          "cp", log_site::kCpExit, log_site::kCpStatus)) {
    (void)RemoveShadowDirectory();
    return false;
  }
  // What is moved is the shadow: it must hold no entry the installation
  // must not get, and a later look must find as many entries in it.
  OfferFile moving;
  moving.package = staged->package;
  moving.phase = kJournalMoving;
  std::string conflict;
  if (!CheckTree(base::FsPath(kShadowDirName), &moving.entries)) {
    AbandonInstall(*staged);
    return false;
  }
  if (FindMoveConflict(&conflict)) {
    LogConflict(conflict);
    AbandonInstall(*staged);
    return false;
  }
  // Removed before the sync, the staging tree's bytes need not reach the
  // disk when it shares the installation's file system. A run killed from
  // here until the journal names the shadow fetches the package again.
  DiscardStagedPackage(*staged);
  if (!base::SyncFileSystemOf(kShadowDirName) || !WriteInstallJournal(moving)) {
    int error = errno;
    LOG_AT(log_site::kWriteJournal, base::LOG_ERROR)
        << "can't write the install journal: " << base::SystemErrorText(error)
        << std::endl;
    return false;
  }
  *staged = moving;
  return true;
}

// Waits for the browser and moves the shadow that |journal| names into
// place; the journal goes once the moves are on disk, and the shadow after
// it. A move that fails keeps the journal for the next run to finish the
// moves. With |resumed| the shadow is what an earlier run left part moved,
// and the moves go on; otherwise no entry has moved yet, and an install
// that finds the shadow changed or a conflict ends untouched. Logs and
// returns false on failure.
bool MoveIntoPlace(const OfferFile& journal, const std::string& browser_pid,
                   bool resumed) {
  if (WaitForBrowserExit(browser_pid) || resumed) {
    // The shadow sits in the installation directory, which others may
    // write: the moves must carry exactly what was checked.
    uint64_t entries = 0;
    bool unsafe = !CheckTree(base::FsPath(kShadowDirName), &entries);
    if (!unsafe && !resumed && entries != journal.entries) {
      LOG_AT(log_site::kTreeChanged, base::LOG_ERROR)
          << "the unpacked package changed while waiting!" << std::endl;
      unsafe = true;
    }
    if (unsafe) {
      // The next run installs again from the start.
      (void)RemoveShadowDirectory();
      return false;
    }
  }
  std::string conflict;
  if (FindMoveConflict(&conflict)) {
    LogConflict(conflict);
    if (!resumed) AbandonInstall(journal);
    return false;
  }
  MoveOutcome outcome;
  const bool moved = MoveShadowIntoPlace(&outcome);
  PrintProgressLine("moved " + std::to_string(outcome.moved) +
                    " entries into place");
  if (!moved) {
    LOG_AT(log_site::kMoveFailed, base::LOG_ERROR)
        << "can't " << outcome.step << " " << Printable(outcome.entry) << ": "
        << base::SystemErrorText(outcome.error) << ", finishing next run!"
        << std::endl;
    return false;
  }
  if (!FinishInstallJournal()) {
    int error = errno;
    LOG_AT(log_site::kFinishJournal, base::LOG_ERROR)
        << "can't finish the install journal: " << base::SystemErrorText(error)
        << std::endl;
    return false;
  }
  // Left, it holds only the directories that were entered, emptied; the
  // next install makes the shadow afresh.
  (void)RemoveShadowDirectory();
  return true;
}

}  // namespace

void RemoveLeftoverStagingDirectories(const OfferFile* journal) {
  OfferFile record;
  if (!ReadPackageRecord(&record) || record.staging.empty()) return;
  // The journal's staging directory stays named beside it: should the
  // journal become unreadable, the record still leads to the directory.
  if (journal && record.staging == journal->staging) return;
  if (!DeleteStagingDirectory(record)) return;
  struct stat status;
  if (lstat(kPackageFileName, &status) == 0) {
    record.staging.clear();
    record.staging_device = 0;
    record.staging_inode = 0;
    (void)WritePackageRecord(record);
  } else {
    (void)remove(kPackageRecordFileName);
  }
}

bool InstallPackage(const PackageOffer& package, const std::string& browser_pid,
                    const DownloadLimits& limits, const OfferFile* journal) {
  if (package.url.size() > kMaxPackageUrlBytes) {
    // The record and the journal could not hold it, and a journal that
    // cannot be read back no longer names the install it stands for.
    LOG_AT(log_site::kOfferUrlTooLong, base::LOG_ERROR)
        << "package URL is longer than " << kMaxPackageUrlBytes << " bytes!"
        << std::endl;
    return false;
  }
  OfferFile staged;
  if (journal && ReuseStagedPackage(package, *journal)) {
    staged = *journal;
  } else {
    const DeltaStage delta = DeltaIsToBeTried(package)
                                 ? StageFromDelta(package, limits, &staged)
                                 : DeltaStage::kFullPackage;
    if (delta == DeltaStage::kFailed ||
        (delta == DeltaStage::kFullPackage &&
         !FetchAndUnpack(package, limits, &staged))) {
      return false;
    }
  }
  if (!CopyIntoShadow(&staged) || !MoveIntoPlace(staged, browser_pid, false)) {
    return false;
  }
  PrintProgressLine("update successful!");
  return true;
}

bool FinishInterruptedMoves(const OfferFile& journal,
                            const std::string& browser_pid, bool* finished) {
  if (journal.phase != kJournalMoving || !ShadowDirectoryExists()) {
    return false;
  }
  LOG_AT(log_site::kStagingReused, base::LOG_ERROR)
      << "finishing the install from " << kShadowDirName << "!" << std::endl;
  *finished = MoveIntoPlace(journal, browser_pid, true);
  if (*finished) PrintProgressLine("update successful!");
  return true;
}
