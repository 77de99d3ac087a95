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
  return DownloadFile(argv[1], argv[2], kConnectTimeoutSeconds) == 0 ? 0 : 1;
}
