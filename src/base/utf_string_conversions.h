#ifndef BASE_UTF_STRING_CONVERSIONS_H_
#define BASE_UTF_STRING_CONVERSIONS_H_

#include <stddef.h>
#include <stdint.h>

#include <string>

namespace base {

// Wide strings hold one Unicode code point per character (UTF-32); surrogate
// pairs are never combined. A character is a valid code point when, read as
// an unsigned number, it is at most 0xD7FF or from 0xE000 to 0x10FFFF.

// Stores src[index] in |*code_point_out| and returns whether it is a valid
// code point. REQUIRES: 0 <= index < count.
bool ReadCodePoint(const wchar_t* src, int count, int index,
                   uint32_t* code_point_out);

// Appends the UTF-8 form of |code_point| to |*output| and returns the number
// of bytes appended (1 to 4). REQUIRES: |code_point| is valid.
int AppendUtf8(uint32_t code_point, std::string* output);

// Replaces |*output| with the UTF-8 form of the |count| characters at |src|.
// Each invalid character becomes U+FFFD; returns false when there was one.
bool WideToUtf8(const wchar_t* src, int count, std::string* output);

// The whole of |wide| in UTF-8, invalid characters replaced by U+FFFD.
std::string WideToUtf8(const std::wstring& wide);

// Replaces |*output| with the code points of the UTF-8 text of |length| bytes
// at |src|. Every byte that does not start a well-formed sequence becomes
// U+FFFD, so a broken sequence gives one U+FFFD per byte. Returns false when
// anything was replaced.
bool Utf8ToWide(const char* src, size_t length, std::wstring* output);

// The code points of |utf8|, malformed bytes replaced by U+FFFD.
std::wstring Utf8ToWide(const std::string& utf8);

}  // namespace base

#endif  // BASE_UTF_STRING_CONVERSIONS_H_
