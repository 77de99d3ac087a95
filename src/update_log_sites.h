#ifndef UPDATE_LOG_SITES_H_
#define UPDATE_LOG_SITES_H_

#include "base/log_sites.h"

// The update run's log sites. Every entry of the run names the driver's
// source and a fixed line number, which people and tools match on, so the
// numbers are fixed here and do not follow the code around. README.md lists
// them all; a test keeps the two in step.

namespace log_site {

constexpr char kDriverFile[] = "norvane_update";
constexpr Site kCantWritePidFile{kDriverFile, 107};
constexpr Site kAnotherInstance{kDriverFile, 133};
constexpr Site kWritePidFileFailed{kDriverFile, 138};
constexpr Site kLoadStateFile{kDriverFile, 48};
constexpr Site kStateFileUnreadable{kDriverFile, 49};
constexpr Site kDownloadManifest{kDriverFile, 150};
constexpr Site kLoadManifest{kDriverFile, 157};
constexpr Site kManifestVersion{kDriverFile, 163};
constexpr Site kManifestSizeMalformed{kDriverFile, 164};
// Verified updates: the manifest's signature and the package digest.
constexpr Site kManifestSha256Malformed{kDriverFile, 165};
constexpr Site kManifestSha256Missing{kDriverFile, 166};
constexpr Site kDownloadSignature{kDriverFile, 167};
constexpr Site kLoadSignature{kDriverFile, 168};
constexpr Site kVerifySignature{kDriverFile, 169};
// Bounded downloads and the package file.
constexpr Site kDownloadTooLarge{kDriverFile, 171};
constexpr Site kPackageNotRegular{kDriverFile, 172};
constexpr Site kStalePackage{kDriverFile, 173};
constexpr Site kDownloadRangeIgnored{kDriverFile, 174};
constexpr Site kDownloadPackage{kDriverFile, 175};
constexpr Site kHashPackage{kDriverFile, 176};
constexpr Site kPackageSha256{kDriverFile, 177};
constexpr Site kPackageSize{kDriverFile, 178};
constexpr Site kDownloadOutOfTime{kDriverFile, 179};
constexpr Site kCreateTempDir{kDriverFile, 183};
constexpr Site kUnsafeTempRoot{kDriverFile, 184};
constexpr Site kTarStatus{kDriverFile, 204};
constexpr Site kTarExit{kDriverFile, 210};
constexpr Site kUnsafePackageEntry{kDriverFile, 228};
// The install journal: finishing an install that did not finish.
constexpr Site kUnfinishedInstall{kDriverFile, 241};
constexpr Site kStagingReused{kDriverFile, 242};
constexpr Site kStagingLost{kDriverFile, 243};
constexpr Site kOfferChanged{kDriverFile, 244};
constexpr Site kNoRoomToCopy{kDriverFile, 245};
constexpr Site kWriteJournal{kDriverFile, 246};
constexpr Site kFinishJournal{kDriverFile, 247};
constexpr Site kTreeChanged{kDriverFile, 248};
constexpr Site kJournalUnreadable{kDriverFile, 249};
constexpr Site kOfferUrlTooLong{kDriverFile, 250};
constexpr Site kStagingNotRemoved{kDriverFile, 251};
constexpr Site kStagingNotOurs{kDriverFile, 252};
constexpr Site kCpStatus{kDriverFile, 253};
// The shadow copy and the moves that put it in place.
constexpr Site kMoveConflict{kDriverFile, 254};
constexpr Site kMoveFailed{kDriverFile, 255};
constexpr Site kShadowNotMade{kDriverFile, 256};
constexpr Site kNoInodesToCopy{kDriverFile, 257};
constexpr Site kCpExit{kDriverFile, 259};
// Delta packages: a release fetched as the changes from the installed one.
constexpr Site kDownloadDelta{kDriverFile, 258};
constexpr Site kDeltaNotUsed{kDriverFile, 260};
// Release control: fresh signed manifests, no going back, staged rollouts.
constexpr Site kManifestSizeMissing{kDriverFile, 140};
constexpr Site kManifestExpiresMissing{kDriverFile, 141};
constexpr Site kManifestExpiresMalformed{kDriverFile, 142};
constexpr Site kManifestExpired{kDriverFile, 143};
// Line 144 ("manifest version V is older than accepted version W!") is
// retired: manifests are ordered by their issue marks, not by version.
constexpr Site kManifestRolloutMalformed{kDriverFile, 145};
constexpr Site kRolloutBucketMalformed{kDriverFile, 146};
constexpr Site kWriteStateFile{kDriverFile, 147};
constexpr Site kDrawRolloutBucket{kDriverFile, 148};
// Issue marks: signed manifests ordered by the time they were issued.
constexpr Site kManifestIssuedMissing{kDriverFile, 149};
constexpr Site kManifestIssuedMalformed{kDriverFile, 151};
constexpr Site kManifestIssuedGoesBack{kDriverFile, 152};
constexpr Site kStoredIssuedMalformed{kDriverFile, 153};

// Every site above, for the test that compares them with README.md.
constexpr const Site* kUpdateRunSites[] = {
    &kCantWritePidFile,
    &kAnotherInstance,
    &kWritePidFileFailed,
    &kLoadStateFile,
    &kStateFileUnreadable,
    &kDownloadManifest,
    &kLoadManifest,
    &kManifestVersion,
    &kManifestSizeMalformed,
    &kManifestSha256Malformed,
    &kManifestSha256Missing,
    &kDownloadSignature,
    &kLoadSignature,
    &kVerifySignature,
    &kDownloadTooLarge,
    &kPackageNotRegular,
    &kStalePackage,
    &kDownloadRangeIgnored,
    &kDownloadPackage,
    &kHashPackage,
    &kPackageSha256,
    &kPackageSize,
    &kDownloadOutOfTime,
    &kCreateTempDir,
    &kUnsafeTempRoot,
    &kTarStatus,
    &kTarExit,
    &kUnsafePackageEntry,
    &kUnfinishedInstall,
    &kStagingReused,
    &kStagingLost,
    &kOfferChanged,
    &kNoRoomToCopy,
    &kWriteJournal,
    &kFinishJournal,
    &kTreeChanged,
    &kJournalUnreadable,
    &kOfferUrlTooLong,
    &kStagingNotRemoved,
    &kStagingNotOurs,
    &kCpStatus,
    &kMoveConflict,
    &kMoveFailed,
    &kShadowNotMade,
    &kNoInodesToCopy,
    &kCpExit,
    &kDownloadDelta,
    &kDeltaNotUsed,
    &kManifestSizeMissing,
    &kManifestExpiresMissing,
    &kManifestExpiresMalformed,
    &kManifestExpired,
    &kManifestRolloutMalformed,
    &kRolloutBucketMalformed,
    &kWriteStateFile,
    &kDrawRolloutBucket,
    &kManifestIssuedMissing,
    &kManifestIssuedMalformed,
    &kManifestIssuedGoesBack,
    &kStoredIssuedMalformed,
};

}  // namespace log_site

#endif  // UPDATE_LOG_SITES_H_
