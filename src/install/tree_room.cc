#include "install/tree_room.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/file_util.h"

bool MeasureTreeRoom(const base::FsPath& tree, uint64_t block_size,
                     TreeRoom* room) {
  if (block_size == 0) block_size = 1;
  int fd = open(tree.AsString().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  close(fd);
  TreeRoom measured;
  base::DirectoryWalker walker(
      tree, true,
      base::kWalkFiles | base::kWalkDirectories | base::kWalkLinksAsEntries);
  base::FoundEntry entry;
  for (base::FsPath next = walker.NextPath(); !next.IsEmpty();
       next = walker.NextPath()) {
    walker.CurrentEntry(&entry);
    ++measured.inodes;
    uint64_t size = S_ISREG(entry.status.st_mode)
                        ? static_cast<uint64_t>(entry.status.st_size)
                        : 1;
    measured.bytes += (size + block_size - 1) / block_size * block_size;
  }
  *room = measured;
  return true;
}
