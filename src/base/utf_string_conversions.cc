#include "base/utf_string_conversions.h"

#include <string.h>

#include <algorithm>

namespace base {

namespace {

const uint32_t kReplacementCharacter = 0xFFFD;

bool IsValidCodePoint(uint32_t code_point) {
  return code_point <= 0xD7FF ||
         (code_point >= 0xE000 && code_point <= 0x10FFFF);
}

bool IsContinuation(unsigned char byte, unsigned char low, unsigned char high) {
  return byte >= low && byte <= high;
}

// Decodes the well-formed sequence that starts at |src| (|length| bytes are
// left) into |*code_point| and returns its length, or returns 0 when the
// bytes there do not form one.
size_t DecodeSequence(const unsigned char* src, size_t length,
                      uint32_t* code_point) {
  unsigned char lead = src[0];
  size_t trail;
  // The first continuation byte's range excludes overlong forms, surrogates
  // and values above 0x10FFFF.
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  uint32_t value;
  if (lead >= 0xC2 && lead <= 0xDF) {
    trail = 1;
    value = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    trail = 2;
    value = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    trail = 3;
    value = lead & 0x07;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (length <= trail || !IsContinuation(src[1], low, high)) return 0;
  for (size_t i = 1; i <= trail; ++i) {
    if (i > 1 && !IsContinuation(src[i], 0x80, 0xBF)) return 0;
    value = (value << 6) | (src[i] & 0x3F);
  }
  *code_point = value;
  return trail + 1;
}

// Stores the UTF-8 form of the valid |code_point| at |out|; returns the end.
char* StoreUtf8(uint32_t code_point, char* out) {
  if (code_point <= 0x7F) {
    *out++ = static_cast<char>(code_point);
  } else if (code_point <= 0x7FF) {
    *out++ = static_cast<char>(0xC0 | (code_point >> 6));
    *out++ = static_cast<char>(0x80 | (code_point & 0x3F));
  } else if (code_point <= 0xFFFF) {
    *out++ = static_cast<char>(0xE0 | (code_point >> 12));
    *out++ = static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
    *out++ = static_cast<char>(0x80 | (code_point & 0x3F));
  } else {
    *out++ = static_cast<char>(0xF0 | (code_point >> 18));
    *out++ = static_cast<char>(0x80 | ((code_point >> 12) & 0x3F));
    *out++ = static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
    *out++ = static_cast<char>(0x80 | (code_point & 0x3F));
  }
  return out;
}

// Replaces |*output| with the conversion of |count| characters; size_t so that
// the string form converts strings of any length. One pass: the output is
// sized once up front and grown only when text taken to be ASCII is not.
bool ConvertWide(const wchar_t* src, size_t count, std::string* output) {
  output->clear();
  if (count == 0) return true;
  // The first character decides whether the text is taken to be mostly
  // ASCII; other text needs up to three bytes per character.
  bool ascii = static_cast<int32_t>(src[0]) <= 0x7F;
  size_t reserved = ascii || count > output->max_size() / 3 ? count : 3 * count;
  // Bytes are stored through a pointer into the string's own buffer, a block
  // of up to kBlock characters at a time; each block needs room for four
  // bytes per character.
  const size_t kBlock = 8;
  const size_t kBlockRoom = 4 * kBlock;
  output->resize(std::max(reserved, kBlockRoom));
  char* out = &(*output)[0];
  size_t used = 0;
  bool all_valid = true;
  for (size_t i = 0; i < count;) {
    if (output->size() - used < kBlockRoom) {
      output->resize(std::max(2 * output->size(), used + kBlockRoom));
      out = &(*output)[0];
    }
    size_t block_end = std::min(count, i + kBlock);
    // A whole block of ASCII characters is copied in a loop that vectorizes.
    if (block_end - i == kBlock) {
      uint32_t bits = 0;
      for (size_t k = 0; k < kBlock; ++k) {
        bits |= static_cast<uint32_t>(src[i + k]);
      }
      if (bits <= 0x7F) {
        for (size_t k = 0; k < kBlock; ++k) {
          out[used + k] = static_cast<char>(src[i + k]);
        }
        used += kBlock;
        i += kBlock;
        continue;
      }
    }
    char* next = out + used;
    for (; i < block_end; ++i) {
      uint32_t code_point = static_cast<uint32_t>(src[i]);
      if (!IsValidCodePoint(code_point)) {
        code_point = kReplacementCharacter;
        all_valid = false;
      }
      next = StoreUtf8(code_point, next);
    }
    used = static_cast<size_t>(next - out);
  }
  output->resize(used);
  return all_valid;
}

}  // namespace

bool ReadCodePoint(const wchar_t* src, int /*count*/, int index,
                   uint32_t* code_point_out) {
  *code_point_out = static_cast<uint32_t>(src[index]);
  return IsValidCodePoint(*code_point_out);
}

int AppendUtf8(uint32_t code_point, std::string* output) {
  char bytes[4];
  int length = static_cast<int>(StoreUtf8(code_point, bytes) - bytes);
  output->append(bytes, static_cast<size_t>(length));
  return length;
}

bool WideToUtf8(const wchar_t* src, int count, std::string* output) {
  return ConvertWide(src, count > 0 ? static_cast<size_t>(count) : 0, output);
}

std::string WideToUtf8(const std::wstring& wide) {
  std::string output;
  ConvertWide(wide.data(), wide.size(), &output);
  return output;
}

bool Utf8ToWide(const char* src, size_t length, std::wstring* output) {
  // Never more characters than bytes: write in place, then cut to size.
  output->resize(length);
  wchar_t* out = &(*output)[0];
  const unsigned char* in = reinterpret_cast<const unsigned char*>(src);
  bool all_valid = true;
  size_t i = 0;
  while (i < length) {
    // Runs of ASCII are widened eight bytes at a time.
    if (length - i >= 8) {
      uint64_t block;
      memcpy(&block, in + i, sizeof(block));
      if ((block & 0x8080808080808080ull) == 0) {
        for (size_t k = 0; k < 8; ++k) out[k] = static_cast<wchar_t>(in[i + k]);
        out += 8;
        i += 8;
        continue;
      }
    }
    if (in[i] < 0x80) {
      *out++ = static_cast<wchar_t>(in[i++]);
      continue;
    }
    uint32_t code_point;
    size_t used = DecodeSequence(in + i, length - i, &code_point);
    if (used == 0) {
      code_point = kReplacementCharacter;
      used = 1;
      all_valid = false;
    }
    *out++ = static_cast<wchar_t>(code_point);
    i += used;
  }
  output->resize(static_cast<size_t>(out - output->data()));
  return all_valid;
}

std::wstring Utf8ToWide(const std::string& utf8) {
  std::wstring output;
  Utf8ToWide(utf8.data(), utf8.size(), &output);
  return output;
}

}  // namespace base
