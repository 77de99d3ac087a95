// Checks that CompareVersions is a strict weak order on arbitrary byte
// strings. The input holds three versions, separated by line feeds (the third
// is the rest of the input); missing ones are empty.

#include <stddef.h>
#include <stdint.h>

#include <string>

#include "fuzz/fuzz_check.h"
#include "version.h"

namespace {

int Sign(int value) { return (value > 0) - (value < 0); }

int Compare(const std::string& a, const std::string& b) {
  return Sign(CompareVersions(a, b));
}

// Cuts the text before the next line feed off |*rest|.
std::string TakeLine(std::string* rest) {
  size_t line_feed = rest->find('\n');
  std::string line = rest->substr(0, line_feed);
  rest->erase(0, line_feed == std::string::npos ? rest->size() : line_feed + 1);
  return line;
}

void CheckTransitive(const std::string& a, const std::string& b,
                     const std::string& c) {
  int ab = Compare(a, b), bc = Compare(b, c);
  if (ab > 0 || bc > 0) return;
  // a <= b <= c: a < c when either step is strict, a ~ c otherwise.
  int expected = ab < 0 || bc < 0 ? -1 : 0;
  FUZZ_CHECK(Compare(a, c) == expected)
      << "a: " << fuzz::Quote(a) << "\nb: " << fuzz::Quote(b)
      << "\nc: " << fuzz::Quote(c) << "\ncompare(a, b) = " << ab
      << ", compare(b, c) = " << bc << ", compare(a, c) = " << Compare(a, c);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string rest(reinterpret_cast<const char*>(data), size);
  const std::string versions[3] = {TakeLine(&rest), TakeLine(&rest), rest};

  for (const std::string& a : versions) {
    FUZZ_CHECK(CompareVersions(a, a) == 0) << "a: " << fuzz::Quote(a);
    for (const std::string& b : versions) {
      FUZZ_CHECK(Compare(a, b) == -Compare(b, a))
          << "a: " << fuzz::Quote(a) << "\nb: " << fuzz::Quote(b)
          << "\ncompare(a, b) = " << Compare(a, b)
          << ", compare(b, a) = " << Compare(b, a);
      // Equal shared components and one more component: newer.
      FUZZ_CHECK(Compare(a, a + "." + b) < 0)
          << "a: " << fuzz::Quote(a) << "\nb: " << fuzz::Quote(b);
      for (const std::string& c : versions) CheckTransitive(a, b, c);
    }
  }
  return 0;
}
