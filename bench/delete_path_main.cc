// Removes a file or a whole tree with DeletePath, as the updater removes its
// temporary directory, or reads the tree without removing anything:
//
//   bench_delete_path PATH          DeletePath(PATH, recursive)
//   bench_delete_path --walk PATH   the walk DeletePath makes: every listing
//                                   and a status call for every entry
//   bench_delete_path --list PATH   the listings alone, directories found by
//                                   the type the listing gives
//
// The two reading modes show what the status calls cost. Exits with 0 on
// success, 1 when the delete failed, 2 on misuse.

#include <dirent.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <utility>
#include <vector>

#include "base/file_path.h"
#include "base/file_util.h"

namespace {

int Walk(const char* root) {
  base::DirectoryWalker walker(
      base::FsPath(root), true,
      base::kWalkFiles | base::kWalkDirectories | base::kWalkLinksAsEntries);
  while (!walker.NextPath().IsEmpty()) {
  }
  return 0;
}

int List(const char* root) {
  std::vector<std::string> pending(1, root);
  while (!pending.empty()) {
    std::string directory = std::move(pending.back());
    pending.pop_back();
    DIR* stream = opendir(directory.c_str());
    if (!stream) continue;
    while (const struct dirent* entry = readdir(stream)) {
      if (entry->d_type != DT_DIR || strcmp(entry->d_name, ".") == 0 ||
          strcmp(entry->d_name, "..") == 0) {
        continue;
      }
      pending.push_back(directory + "/" + entry->d_name);
    }
    closedir(stream);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && strcmp(argv[1], "--walk") == 0) return Walk(argv[2]);
  if (argc == 3 && strcmp(argv[1], "--list") == 0) return List(argv[2]);
  if (argc != 2) {
    fputs("usage: bench_delete_path [--walk|--list] PATH\n", stderr);
    return 2;
  }
  return base::DeletePath(base::FsPath(argv[1]), true) ? 0 : 1;
}
