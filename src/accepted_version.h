#ifndef ACCEPTED_VERSION_H_
#define ACCEPTED_VERSION_H_

#include <string>

// No going back. A build with a manifest key keeps the newest version it has
// accepted from a validly signed manifest in the state file (key
// "AcceptedVersion" of section "main") and refuses a signed manifest that
// offers an older one. Otherwise anyone between the updater and the server
// could keep serving an older genuine manifest: handing an outdated browser
// an old release, or telling a browser that it is current.
//
// Only signed manifests may move the record: an unsigned one could set it
// above every real release and stop all updates.

// Checks the version |offered| by a validly signed manifest (its blanks at
// the ends removed) against the accepted version, as CompareVersions orders
// them, and records it when it is newer or nothing was accepted yet. Logs and
// returns false when it is older, or when the record cannot be saved.
bool AcceptSignedVersion(const std::string& offered);

#endif  // ACCEPTED_VERSION_H_
