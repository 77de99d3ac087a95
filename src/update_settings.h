#ifndef UPDATE_SETTINGS_H_
#define UPDATE_SETTINGS_H_

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

// Paths on the update server. The manifest's signature is served at the
// manifest's URL with this suffix.
inline constexpr char kCheckUrlPath[] = "/update/norvane_check_linux.ini";
inline constexpr char kManifestUrlPath[] = "/update/norvane_update_linux.ini";
inline constexpr char kSignatureUrlSuffix[] = ".sig";

// Every transfer gives up when no connection is made within this time.
inline constexpr long kConnectTimeoutSeconds = 8;

// Words in a process's command line that mark it as an updater or as the
// browser.
inline constexpr char kUpdaterWord[] = "norvane_update_bin";
inline constexpr char kBrowserWord[] = "keltrin";
// How often the copy step looks whether the browser has exited.
inline constexpr unsigned kBrowserPollSeconds = 2;

// Passed to MakeTempDirectory for the directory the package is unpacked in.
inline constexpr char kTempDirPrefix[] = "norvane_update";

#endif  // UPDATE_SETTINGS_H_
