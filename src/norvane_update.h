#ifndef NORVANE_UPDATE_H_
#define NORVANE_UPDATE_H_

#include "manifest_signature.h"

// Exit statuses of an update run.
const int kExitSuccess = 0;
const int kExitFailure = 255;

// What an updater executable is built with.
struct UpdaterBuild {
  // The update server, "scheme://host[:port]".
  const char* server_base_url;
  // With a key, only manifests signed with its secret key are taken; null
  // takes them unsigned.
  const ManifestPublicKey* manifest_key;
  // How long a transfer may stall before it fails (kStallSeconds, or less
  // in the updaters built for tests).
  long stall_seconds;
  // How long the check file, the manifest and its signature may take each
  // (kSmallFileSeconds, or less in the updaters built for tests).
  long small_file_seconds;
};

// Runs one update run for the browser's arguments (argv[1] its version,
// argv[2] its installation directory, argv[3] its process id) as |build|
// says. Returns the process exit status.
int RunUpdate(int argc, char** argv, const UpdaterBuild& build);

#endif  // NORVANE_UPDATE_H_
