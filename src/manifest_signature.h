#ifndef MANIFEST_SIGNATURE_H_
#define MANIFEST_SIGNATURE_H_

#include <stdint.h>

#include <array>
#include <string>
#include <string_view>

// Ed25519 signatures over the exact bytes of an update manifest. The
// signature travels in a file of its own beside the manifest (its path with
// ".sig" appended): 128 hexadecimal digits of either case, optionally ended
// by one line end ("\n" or "\r\n"), nothing else.

typedef std::array<uint8_t, 32> ManifestPublicKey;
typedef std::array<uint8_t, 64> ManifestSignature;

// Reads a public key written as exactly 64 hexadecimal digits. Returns false,
// leaving |key| alone, for any other text.
bool ParsePublicKeyHex(std::string_view text, ManifestPublicKey* key);

// Reads the contents of a signature file. Returns false, leaving |signature|
// alone, when they are not in the form described above.
bool ParseSignatureFile(std::string_view contents,
                        ManifestSignature* signature);

// The contents of the signature file for |signature|: 128 lower-case
// hexadecimal digits and "\n".
std::string FormatSignatureFile(const ManifestSignature& signature);

// True when |signature| was made over exactly the bytes of |manifest| with
// the secret key belonging to |key|.
bool VerifyManifestSignature(std::string_view manifest,
                             const ManifestSignature& signature,
                             const ManifestPublicKey& key);

#endif  // MANIFEST_SIGNATURE_H_
