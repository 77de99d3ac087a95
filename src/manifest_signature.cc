#include "manifest_signature.h"

#include <sodium.h>

#include "hex.h"

static_assert(sizeof(ManifestPublicKey) == crypto_sign_PUBLICKEYBYTES,
              "ManifestPublicKey holds one Ed25519 public key");
static_assert(sizeof(ManifestSignature) == crypto_sign_BYTES,
              "ManifestSignature holds one Ed25519 signature");

bool ParsePublicKeyHex(std::string_view text, ManifestPublicKey* key) {
  return DecodeHex(text, key->data(), key->size());
}

bool ParseSignatureFile(std::string_view contents,
                        ManifestSignature* signature) {
  return DecodeHexLine(contents, signature->data(), signature->size());
}

std::string FormatSignatureFile(const ManifestSignature& signature) {
  return EncodeHex(signature.data(), signature.size()) + "\n";
}

bool VerifyManifestSignature(std::string_view manifest,
                             const ManifestSignature& signature,
                             const ManifestPublicKey& key) {
  // Makes libsodium pick its implementations once; safe to repeat.
  if (sodium_init() < 0) return false;
  return crypto_sign_verify_detached(
             signature.data(),
             reinterpret_cast<const unsigned char*>(manifest.data()),
             manifest.size(), key.data()) == 0;
}
