#include "test/package_builder.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>

#include "gtest/gtest.h"
#include "test/test_util.h"

namespace testing_util {

namespace {

void PutOctal(char* field, size_t width, unsigned long long value) {
  snprintf(field, width, "%0*llo", static_cast<int>(width - 1), value);
}

// A ustar header; tar itself would refuse to write most hostile members.
std::string TarHeader(const TarMember& member) {
  char header[512] = {};
  std::string name = member.name, prefix;
  if (name.size() > 100) {
    // Split at the first "/" that leaves at most 100 bytes of name.
    size_t slash = name.find('/', name.size() - 101);
    EXPECT_TRUE(slash != std::string::npos && slash <= 155) << name;
    if (slash == std::string::npos) slash = 0;
    prefix = name.substr(0, slash);
    name = name.substr(slash + 1);
  }
  memcpy(header, name.data(), std::min<size_t>(name.size(), 100));
  PutOctal(header + 100, 8, member.type == '2' ? 0777 : 0644);
  PutOctal(header + 108, 8, 0);
  PutOctal(header + 116, 8, 0);
  PutOctal(header + 124, 12, member.type == '0' ? member.data.size() : 0);
  PutOctal(header + 136, 12, 1700000000);
  memset(header + 148, ' ', 8);
  header[156] = member.type;
  if (member.type == '1' || member.type == '2') {
    memcpy(header + 157, member.data.data(),
           std::min<size_t>(member.data.size(), 100));
  }
  memcpy(header + 257, "ustar", 6);
  memcpy(header + 263, "00", 2);
  memcpy(header + 345, prefix.data(), std::min<size_t>(prefix.size(), 155));
  unsigned sum = 0;
  for (unsigned char byte : header) sum += byte;
  snprintf(header + 148, 8, "%06o", sum);
  header[155] = ' ';
  return std::string(header, sizeof(header));
}

}  // namespace

std::string HandMadePackage(const std::vector<TarMember>& members) {
  std::string tar;
  for (const TarMember& member : members) {
    tar += TarHeader(member);
    if (member.type == '0') {
      tar += member.data;
      tar.append((512 - member.data.size() % 512) % 512, '\0');
    }
  }
  tar.append(1024, '\0');
  testing_util::ScopedTempDir dir;
  WriteFile(dir.Child("p.tar"), tar);
  ProcessResult gzip =
      testing_util::RunProcess({"gzip", "-n", "-c", dir.Child("p.tar")});
  EXPECT_EQ(0, gzip.exit_code) << gzip.err;
  return gzip.out;
}

}  // namespace testing_util
