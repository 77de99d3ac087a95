#include "hex.h"

bool DecodeHex(std::string_view text, uint8_t* bytes, size_t size) {
  if (!IsHexOfSize(text, size)) return false;
  for (size_t i = 0; i < size; ++i) {
    bytes[i] = static_cast<uint8_t>(HexDigitValue(text[2 * i]) << 4 |
                                    HexDigitValue(text[2 * i + 1]));
  }
  return true;
}

bool DecodeHexLine(std::string_view text, uint8_t* bytes, size_t size) {
  if (text.size() == 2 * size + 1 && text.back() == '\n') {
    text.remove_suffix(1);
  } else if (text.size() == 2 * size + 2 &&
             text.substr(text.size() - 2) == "\r\n") {
    text.remove_suffix(2);
  }
  return DecodeHex(text, bytes, size);
}

std::string EncodeHex(const uint8_t* bytes, size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(2 * size);
  for (size_t i = 0; i < size; ++i) {
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 0x0f];
  }
  return text;
}
