// Checks WideToUtf8 on arbitrary wide strings: the input's bytes, taken four
// at a time as 32-bit wide characters (a shorter tail is ignored). The same
// bytes, read as UTF-8, also check that Utf8ToWide and WideToUtf8 undo each
// other on well-formed text.

#include <limits.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <string>

#include "base/utf_string_conversions.h"
#include "fuzz/fuzz_check.h"

static_assert(sizeof(wchar_t) == 4, "wide characters are 32-bit");

namespace {

bool IsValid(uint32_t code_point) {
  return code_point <= 0xD7FF ||
         (code_point >= 0xE000 && code_point <= 0x10FFFF);
}

size_t EncodedLength(uint32_t code_point) {
  if (code_point <= 0x7F) return 1;
  if (code_point <= 0x7FF) return 2;
  if (code_point <= 0xFFFF) return 3;
  return 4;
}

void CheckWideToUtf8(const std::wstring& wide) {
  std::wstring expected;  // The input with U+FFFD for every invalid one.
  size_t expected_length = 0;
  bool all_valid = true;
  for (size_t i = 0; i < wide.size(); ++i) {
    uint32_t code_point = static_cast<uint32_t>(wide[i]);
    uint32_t read = 0;
    bool valid = base::ReadCodePoint(wide.data(), static_cast<int>(wide.size()),
                                     static_cast<int>(i), &read);
    FUZZ_CHECK(read == code_point && valid == IsValid(code_point))
        << "character " << i << ": " << code_point;
    if (!valid) {
      code_point = 0xFFFD;
      all_valid = false;
    }
    expected.push_back(static_cast<wchar_t>(code_point));
    expected_length += EncodedLength(code_point);
  }

  std::string utf8 = "left over";
  bool result =
      base::WideToUtf8(wide.data(), static_cast<int>(wide.size()), &utf8);
  FUZZ_CHECK(result == all_valid) << "input: " << fuzz::Quote(wide);
  FUZZ_CHECK(utf8.size() == expected_length)
      << "input: " << fuzz::Quote(wide) << "\noutput: " << fuzz::Quote(utf8);
  FUZZ_CHECK(base::WideToUtf8(wide) == utf8)
      << "input: " << fuzz::Quote(wide) << "\ncore: " << fuzz::Quote(utf8)
      << "\nstring form: " << fuzz::Quote(base::WideToUtf8(wide));

  std::wstring decoded = L"left over";
  FUZZ_CHECK(base::Utf8ToWide(utf8.data(), utf8.size(), &decoded))
      << "input: " << fuzz::Quote(wide) << "\noutput: " << fuzz::Quote(utf8);
  FUZZ_CHECK(decoded == expected)
      << "input: " << fuzz::Quote(wide) << "\noutput: " << fuzz::Quote(utf8)
      << "\ndecoded: " << fuzz::Quote(decoded);
}

// Decoding replaces each malformed byte by U+FFFD, which takes three bytes
// to encode, so the text comes back unchanged exactly when it was well formed.
void CheckUtf8ToWide(const std::string& bytes) {
  std::wstring wide;
  bool well_formed = base::Utf8ToWide(bytes.data(), bytes.size(), &wide);
  FUZZ_CHECK(wide.size() <= bytes.size()) << "input: " << fuzz::Quote(bytes);
  for (wchar_t c : wide) {
    FUZZ_CHECK(IsValid(static_cast<uint32_t>(c)))
        << "input: " << fuzz::Quote(bytes)
        << "\ndecoded: " << fuzz::Quote(wide);
  }
  FUZZ_CHECK(base::Utf8ToWide(bytes) == wide)
      << "input: " << fuzz::Quote(bytes);
  std::string encoded = base::WideToUtf8(wide);
  FUZZ_CHECK(well_formed == (encoded == bytes))
      << "input: " << fuzz::Quote(bytes) << "\nwell formed: " << well_formed
      << "\nencoded again: " << fuzz::Quote(encoded);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size / sizeof(wchar_t) > static_cast<size_t>(INT_MAX)) return 0;
  std::wstring wide(size / sizeof(wchar_t), L'\0');
  if (!wide.empty()) memcpy(&wide[0], data, wide.size() * sizeof(wchar_t));
  CheckWideToUtf8(wide);
  CheckUtf8ToWide(std::string(reinterpret_cast<const char*>(data), size));
  return 0;
}
