#ifndef TEST_PACKAGE_BUILDER_H_
#define TEST_PACKAGE_BUILDER_H_

#include <string>
#include <vector>

namespace testing_util {

// One member of a hand-made tar archive.
struct TarMember {
  char type;  // '0' file, '1' hard link, '2' symbolic link, '6' FIFO.
  std::string name;
  std::string data;  // File contents, or the link target.
};

// A gzip-compressed tar archive of |members|, in this order, written by hand:
// tar itself would refuse to write most hostile members.
std::string HandMadePackage(const std::vector<TarMember>& members);

}  // namespace testing_util

#endif  // TEST_PACKAGE_BUILDER_H_
