#ifndef HEX_H_
#define HEX_H_

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <string_view>

// Hexadecimal text of fixed-size byte strings: digests, keys and signatures.
// Either letter case is read; lower case is written.

// The value of the hexadecimal digit |c|, or -1 when it is none.
constexpr int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// True when |text| is exactly 2 * |size| hexadecimal digits and nothing else.
// Usable at compile time, to check keys built into the program.
constexpr bool IsHexOfSize(std::string_view text, size_t size) {
  if (text.size() / 2 != size || text.size() % 2 != 0) return false;
  for (char c : text) {
    if (HexDigitValue(c) < 0) return false;
  }
  return true;
}

// Stores the |size| bytes that |text| spells in |bytes|. Returns false,
// leaving |bytes| alone, unless IsHexOfSize(text, size).
bool DecodeHex(std::string_view text, uint8_t* bytes, size_t size);

// As DecodeHex, but |text| may end with one line end ("\n" or "\r\n"), as
// the hexadecimal files of keys and signatures do.
bool DecodeHexLine(std::string_view text, uint8_t* bytes, size_t size);

// The |size| bytes at |bytes| as lower-case hexadecimal digits.
std::string EncodeHex(const uint8_t* bytes, size_t size);

#endif  // HEX_H_
