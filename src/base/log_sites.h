#ifndef BASE_LOG_SITES_H_
#define BASE_LOG_SITES_H_

// Every log entry of the system is written at one of these sites. The source
// name and line number are part of the log's format, which people and tools
// read, so they are fixed here and do not follow the code around.

namespace log_site {

struct Site {
  const char* file;
  int line;
};

// The update run.
constexpr char kDriverFile[] = "norvane_update";
constexpr Site kCantWritePidFile{kDriverFile, 107};
constexpr Site kAnotherInstance{kDriverFile, 133};
constexpr Site kWritePidFileFailed{kDriverFile, 138};
constexpr Site kLoadStateFile{kDriverFile, 48};
constexpr Site kDownloadManifest{kDriverFile, 150};
constexpr Site kLoadManifest{kDriverFile, 157};
constexpr Site kManifestVersion{kDriverFile, 163};
// Verified updates: the manifest's signature and the package digest.
constexpr Site kManifestSha256Malformed{kDriverFile, 165};
constexpr Site kManifestSha256Missing{kDriverFile, 166};
constexpr Site kDownloadSignature{kDriverFile, 167};
constexpr Site kLoadSignature{kDriverFile, 168};
constexpr Site kVerifySignature{kDriverFile, 169};
constexpr Site kDownloadPackage{kDriverFile, 175};
constexpr Site kHashPackage{kDriverFile, 176};
constexpr Site kPackageSha256{kDriverFile, 177};
constexpr Site kCreateTempDir{kDriverFile, 183};
constexpr Site kTarStatus{kDriverFile, 204};
constexpr Site kTarExit{kDriverFile, 210};
constexpr Site kUnsafePackageEntry{kDriverFile, 228};
constexpr Site kCpStatus{kDriverFile, 253};
constexpr Site kCpExit{kDriverFile, 259};

// The support library.
constexpr Site kCouldntStat{"base/file_util_posix", 588};
constexpr Site kExecvpFailed{"base/process_util_posix", 443};
constexpr Site kOutOfMemorySize{"base/process_util_linux", 505};
constexpr Site kOutOfMemory{"base/process_util_linux", 506};

}  // namespace log_site

#endif  // BASE_LOG_SITES_H_
