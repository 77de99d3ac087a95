// Checks the parsers of package digests, public keys and signature files on
// arbitrary bytes: a parse succeeds exactly for the documented forms, a
// successful parse formats back to the same digits in lower case, and a
// failed one leaves its output alone.

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "hex.h"
#include "manifest_signature.h"
#include "package_digest.h"

namespace {

const uint8_t kFill = 0xA5;

std::string Lower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lower;
}

template <typename Bytes>
bool AllFill(const Bytes& bytes) {
  for (uint8_t byte : bytes) {
    if (byte != kFill) return false;
  }
  return true;
}

// The hex digits of a signature file, without its optional line end; the
// whole text when it has none.
std::string_view SignatureDigits(std::string_view text) {
  if (text.size() == 129 && text[128] == '\n') return text.substr(0, 128);
  if (text.size() == 130 && text.substr(128) == "\r\n") {
    return text.substr(0, 128);
  }
  return text;
}

// Checks |parse|, which reads exactly |Bytes|'s size in hex digits, and
// |format|, which writes them back.
template <typename Bytes, typename Parse, typename Format>
void CheckFixedHex(const std::string& text, Parse parse, Format format) {
  Bytes bytes;
  bytes.fill(kFill);
  bool parsed = parse(text, &bytes);
  FUZZ_CHECK(parsed == IsHexOfSize(text, bytes.size()))
      << "text: " << fuzz::Quote(text);
  if (parsed) {
    std::string formatted = format(bytes);
    FUZZ_CHECK(formatted == Lower(text))
        << "text: " << fuzz::Quote(text)
        << "\nformatted: " << fuzz::Quote(formatted);
  } else {
    FUZZ_CHECK(AllFill(bytes)) << "text: " << fuzz::Quote(text);
  }
}

void CheckDigest(const std::string& text) {
  CheckFixedHex<Sha256Digest>(text, ParseSha256Hex, Sha256Hex);
}

void CheckPublicKey(const std::string& text) {
  CheckFixedHex<ManifestPublicKey>(text, ParsePublicKeyHex,
                                   [](const ManifestPublicKey& key) {
                                     return EncodeHex(key.data(), key.size());
                                   });
}

void CheckSignatureFile(const std::string& text) {
  ManifestSignature signature;
  signature.fill(kFill);
  bool parsed = ParseSignatureFile(text, &signature);
  std::string_view digits = SignatureDigits(text);
  FUZZ_CHECK(parsed == IsHexOfSize(digits, signature.size()))
      << "text: " << fuzz::Quote(text);
  if (!parsed) {
    FUZZ_CHECK(AllFill(signature)) << "text: " << fuzz::Quote(text);
    return;
  }
  std::string formatted = FormatSignatureFile(signature);
  FUZZ_CHECK(formatted == Lower(digits) + "\n")
      << "text: " << fuzz::Quote(text)
      << "\nformatted: " << fuzz::Quote(formatted);
  ManifestSignature again;
  FUZZ_CHECK(ParseSignatureFile(formatted, &again) && again == signature)
      << "formatted: " << fuzz::Quote(formatted);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  CheckDigest(text);
  CheckPublicKey(text);
  CheckSignatureFile(text);
  return 0;
}
