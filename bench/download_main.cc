// Downloads one URL into a file with DownloadFile, as the updater does:
//
//   bench_download URL TARGET
//
// Exits with 0 when the transfer completed, 1 when it failed, 2 on misuse.

#include <stdio.h>

#include "download.h"
#include "update_settings.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    fputs("usage: bench_download URL TARGET\n", stderr);
    return 2;
  }
  // The bounds of a package download without a size in the manifest.
  DownloadLimits limits;
  limits.stall_seconds = kStallSeconds;
  limits.stall_bytes_per_second = kStallBytesPerSecond;
  limits.max_file_bytes = kMaxPackageBytes;
  return DownloadFile(argv[1], argv[2], kConnectTimeoutSeconds, limits) == 0
             ? 0
             : 1;
}
