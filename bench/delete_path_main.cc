// Removes a file or a whole tree with DeletePath, as the updater removes its
// temporary directory:
//
//   bench_delete_path PATH
//
// Exits with 0 when the path is gone, 1 when the delete failed, 2 on misuse.

#include <stdio.h>

#include "base/file_path.h"
#include "base/file_util.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    fputs("usage: bench_delete_path PATH\n", stderr);
    return 2;
  }
  return base::DeletePath(base::FsPath(argv[1]), true) ? 0 : 1;
}
