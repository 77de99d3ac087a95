#include <string_view>

#include "hex.h"
#include "manifest_signature.h"
#include "norvane_update.h"
#include "update_settings.h"

// Updaters built for the end-to-end tests give up on a stalled transfer, and
// on a small file that takes too long, sooner, so that a stall costs a test
// seconds, not minutes.
#ifndef NORVANE_STALL_SECONDS
#define NORVANE_STALL_SECONDS kStallSeconds
#endif
#ifndef NORVANE_SMALL_FILE_SECONDS
#define NORVANE_SMALL_FILE_SECONDS kSmallFileSeconds
#endif

// NORVANE_UPDATE_SERVER, NORVANE_MANIFEST_PUBLIC_KEY, NORVANE_STALL_SECONDS
// and NORVANE_SMALL_FILE_SECONDS are chosen when the program is built; an empty
// key builds an updater that takes manifests unsigned.
constexpr std::string_view kManifestPublicKey = NORVANE_MANIFEST_PUBLIC_KEY;
static_assert(kManifestPublicKey.empty() ||
                  IsHexOfSize(kManifestPublicKey, sizeof(ManifestPublicKey)),
              "NORVANE_MANIFEST_PUBLIC_KEY must be 64 hex digits or empty");

int main(int argc, char** argv) {
  ManifestPublicKey key;
  bool signed_manifests = ParsePublicKeyHex(kManifestPublicKey, &key);
  return RunUpdate(argc, argv,
                   {NORVANE_UPDATE_SERVER, signed_manifests ? &key : nullptr,
                    NORVANE_STALL_SECONDS, NORVANE_SMALL_FILE_SECONDS});
}
