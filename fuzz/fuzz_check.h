#ifndef FUZZ_FUZZ_CHECK_H_
#define FUZZ_FUZZ_CHECK_H_

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <sstream>
#include <string>

// Property checks for the fuzz targets. A failed check prints the condition,
// its place and whatever was streamed into it, then aborts, which libFuzzer
// reports as a crash and saves the input for.
//
//   FUZZ_CHECK(a == b) << "a: " << fuzz::Quote(a);
// The loop never repeats: a failure aborts at the end of the statement.
#define FUZZ_CHECK(condition) \
  while (!(condition))        \
  fuzz::CheckFailure(__FILE__, __LINE__, #condition).stream()

namespace fuzz {

class CheckFailure {
 public:
  CheckFailure(const char* file, int line, const char* condition) {
    stream_ << "Property failed at " << file << ":" << line << ": " << condition
            << "\n";
  }
  CheckFailure(const CheckFailure&) = delete;
  CheckFailure& operator=(const CheckFailure&) = delete;
  ~CheckFailure() {
    stream_ << "\n";
    fputs(stream_.str().c_str(), stderr);
    fflush(stderr);
    abort();
  }

  std::ostream& stream() { return stream_; }

 private:
  std::ostringstream stream_;
};

// |text| in double quotes, with bytes outside printable ASCII, quotes and
// backslashes escaped as \xNN.
inline std::string Quote(const std::string& text) {
  std::string quoted = "\"";
  for (unsigned char c : text) {
    if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
      quoted.push_back(static_cast<char>(c));
    } else {
      char escape[8];
      snprintf(escape, sizeof(escape), "\\x%02X", c);
      quoted += escape;
    }
  }
  return quoted + "\"";
}

// The same for wide text; characters outside printable ASCII become \u{N}.
inline std::string Quote(const std::wstring& text) {
  std::string quoted = "L\"";
  for (wchar_t c : text) {
    uint32_t value = static_cast<uint32_t>(c);
    if (value >= 0x20 && value < 0x7F && c != L'"' && c != L'\\') {
      quoted.push_back(static_cast<char>(value));
    } else {
      char escape[16];
      snprintf(escape, sizeof(escape), "\\u{%X}", static_cast<unsigned>(value));
      quoted += escape;
    }
  }
  return quoted + "\"";
}

}  // namespace fuzz

#endif  // FUZZ_FUZZ_CHECK_H_
