#include <string_view>

#include "hex.h"
#include "manifest_signature.h"
#include "norvane_update.h"

// NORVANE_UPDATE_SERVER and NORVANE_MANIFEST_PUBLIC_KEY are chosen when the
// program is built; an empty key builds an updater that takes manifests
// unsigned.
constexpr std::string_view kManifestPublicKey = NORVANE_MANIFEST_PUBLIC_KEY;
static_assert(kManifestPublicKey.empty() ||
                  IsHexOfSize(kManifestPublicKey, sizeof(ManifestPublicKey)),
              "NORVANE_MANIFEST_PUBLIC_KEY must be 64 hex digits or empty");

int main(int argc, char** argv) {
  ManifestPublicKey key;
  bool signed_manifests = ParsePublicKeyHex(kManifestPublicKey, &key);
  return RunUpdate(argc, argv, NORVANE_UPDATE_SERVER,
                   signed_manifests ? &key : nullptr);
}
