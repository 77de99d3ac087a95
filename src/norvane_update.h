#ifndef NORVANE_UPDATE_H_
#define NORVANE_UPDATE_H_

#include "manifest_signature.h"

// Exit statuses of an update run.
const int kExitSuccess = 0;
const int kExitFailure = 255;

// Runs one update run for the browser's arguments (argv[1] its version,
// argv[2] its installation directory, argv[3] its process id) against the
// update server at |server_base_url| ("scheme://host[:port]"). With a
// |manifest_key| only manifests signed with its secret key are taken.
// Returns the process exit status.
int RunUpdate(int argc, char** argv, const char* server_base_url,
              const ManifestPublicKey* manifest_key = nullptr);

#endif  // NORVANE_UPDATE_H_
