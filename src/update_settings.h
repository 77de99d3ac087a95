#ifndef UPDATE_SETTINGS_H_
#define UPDATE_SETTINGS_H_

#include <stddef.h>
#include <stdint.h>

// The update run's fixed settings. The browser, the update server, packagers
// and tools that read the installation directory all rely on them, so they
// are spelled once, here.

// Files the updater keeps in the installation directory.
inline constexpr char kLogFileName[] = "norvane_update.log";
inline constexpr char kPidFileName[] = "pid";
inline constexpr char kStateFileName[] = "norvane_upgrade_linux.ini";
inline constexpr char kCheckFileName[] = "norvane_check_linux.ini";
inline constexpr char kManifestFileName[] = "norvane_update_linux.ini";
inline constexpr char kSignatureFileName[] = "norvane_update_linux.ini.sig";
inline constexpr char kPackageFileName[] = "norvane.tar.gz";
// What the package file was fetched for; see package_record.h.
inline constexpr char kPackageRecordFileName[] = "norvane_package.ini";
// What is being copied over the installation; see install_journal.h.
inline constexpr char kInstallJournalFileName[] = "norvane_install.ini";
// The directory the package is copied into before it is moved into place;
// see install/shadow_tree.h.
inline constexpr char kShadowDirName[] = "norvane_shadow";
// The listing at the top of a delta package; see delta/delta_listing.h. A
// full package that shipped one could be taken for a delta.
inline constexpr char kDeltaListingFileName[] = "norvane_delta.ini";
// A delta package being fetched, and what it is fetched for; see
// install/delta_package.h.
inline constexpr char kDeltaFileName[] = "norvane_delta.tar.gz";
inline constexpr char kDeltaRecordFileName[] = "norvane_delta_package.ini";

// Every one of them, for the package check: a package must not ship any of
// them, of whatever type. The updater's own executable (kUpdaterWord) is not
// among them, so a package may update the updater.
inline constexpr const char* kUpdaterFileNames[] = {
    kLogFileName,        kPidFileName,           kStateFileName,
    kCheckFileName,      kManifestFileName,      kSignatureFileName,
    kPackageFileName,    kPackageRecordFileName, kInstallJournalFileName,
    kShadowDirName,      kDeltaListingFileName,  kDeltaFileName,
    kDeltaRecordFileName};

// Paths on the update server. The manifest's signature is served at the
// manifest's URL with this suffix.
inline constexpr char kCheckUrlPath[] = "/update/norvane_check_linux.ini";
inline constexpr char kManifestUrlPath[] = "/update/norvane_update_linux.ini";
inline constexpr char kSignatureUrlSuffix[] = ".sig";

// Every transfer gives up when no connection is made within this time, and
// when it stalls: fewer than kStallBytesPerSecond arrive on average over
// kStallSeconds (an updater built for tests may choose a shorter time). A
// slow but live link passes: 512 bytes a second is a small part of what the
// slowest mobile data gives.
inline constexpr long kConnectTimeoutSeconds = 8;
inline constexpr long kStallBytesPerSecond = 512;
inline constexpr long kStallSeconds = 60;
// The check file, the manifest and its signature are small, so each must
// also arrive whole within this time (an updater built for tests may choose
// a shorter one): a trickle just above the stall floor would otherwise hold
// the run, and the directory, for half an hour before the signature is
// checked. The package has no such limit: a slow link resumes it run after
// run.
inline constexpr long kSmallFileSeconds = 120;

// The most bytes each download may bring. The package's own size, when the
// manifest gives it, is its limit instead of kMaxPackageBytes.
inline constexpr uint64_t kMaxCheckFileBytes = 16 * 1024;
inline constexpr uint64_t kMaxManifestBytes = 1024 * 1024;
inline constexpr uint64_t kMaxSignatureFileBytes = 1024;
inline constexpr uint64_t kMaxPackageBytes = uint64_t{4} << 30;
// The most bytes read of the files the updater keeps itself.
inline constexpr size_t kMaxStateFileBytes = 64 * 1024;
inline constexpr size_t kMaxPidFileBytes = 64;
// The package record and the install journal hold the offer's URL and the
// staging directory's path; a longer URL is not installed, so that both can
// always be read back.
inline constexpr size_t kMaxPackageUrlBytes = 8 * 1024;

// Words in a process's command line that mark it as an updater or as the
// browser.
inline constexpr char kUpdaterWord[] = "norvane_update_bin";
inline constexpr char kBrowserWord[] = "keltrin";
// The kernel's id of the running boot: a staging tree unpacked in another
// boot may have lost what was not yet on disk.
inline constexpr char kBootIdPath[] = "/proc/sys/kernel/random/boot_id";
// How often the copy step looks whether the browser has exited.
inline constexpr unsigned kBrowserPollSeconds = 2;

// The copy starts only when the installation's file system has room for the
// unpacked tree and this much more, and an inode for each of its entries.
inline constexpr uint64_t kCopyRoomMarginBytes = 16 * 1024 * 1024;

#endif  // UPDATE_SETTINGS_H_
