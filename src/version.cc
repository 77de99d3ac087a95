#include "version.h"

#include <algorithm>
#include <string_view>

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Compares two runs of digits by their numeric value, of any length.
int CompareNumbers(std::string_view a, std::string_view b) {
  a.remove_prefix(std::min(a.find_first_not_of('0'), a.size()));
  b.remove_prefix(std::min(b.find_first_not_of('0'), b.size()));
  if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
  int result = a.compare(b);
  return (result > 0) - (result < 0);
}

size_t EndOfDigits(std::string_view text, size_t start) {
  while (start < text.size() && IsDigit(text[start])) ++start;
  return start;
}

// Compares two components token by token: a run of digits is one token that
// compares by its numeric value with another run, and every other byte is a
// token of its own compared as an unsigned byte. A run of digits against
// another byte compares as a digit byte does: no other byte lies among the
// digits, so the answer is the same for every digit. Being a plain
// lexicographic order over these tokens keeps the comparison transitive.
int CompareComponents(std::string_view a, std::string_view b) {
  size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    if (IsDigit(a[i]) && IsDigit(b[j])) {
      size_t end_a = EndOfDigits(a, i), end_b = EndOfDigits(b, j);
      int result =
          CompareNumbers(a.substr(i, end_a - i), b.substr(j, end_b - j));
      if (result != 0) return result;
      i = end_a;
      j = end_b;
      continue;
    }
    unsigned char byte_a = a[i], byte_b = b[j];
    if (byte_a != byte_b) return byte_a < byte_b ? -1 : 1;
    ++i;
    ++j;
  }
  return (i < a.size()) - (j < b.size());
}

}  // namespace

int CompareVersions(const std::string& a, const std::string& b) {
  std::string_view rest_a = a, rest_b = b;
  while (true) {
    size_t dot_a = rest_a.find('.'), dot_b = rest_b.find('.');
    int result =
        CompareComponents(rest_a.substr(0, dot_a), rest_b.substr(0, dot_b));
    if (result != 0) return result;
    bool last_a = dot_a == std::string_view::npos;
    bool last_b = dot_b == std::string_view::npos;
    if (last_a || last_b) return last_a == last_b ? 0 : (last_a ? -1 : 1);
    rest_a.remove_prefix(dot_a + 1);
    rest_b.remove_prefix(dot_b + 1);
  }
}
