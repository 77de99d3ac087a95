#ifndef ACCEPTED_MANIFEST_H_
#define ACCEPTED_MANIFEST_H_

#include <stdint.h>

#include <string>

// No going back. Every manifest that the publisher signs carries an issue
// mark (key "issued", a UTC time that is later for every manifest written). A
// build with a manifest key keeps the newest mark it has taken from a validly
// signed manifest in the state file (key "ManifestIssued" of section "main")
// and refuses a signed manifest with an older mark, whatever its version.
// Otherwise anyone between the updater and the server could serve an older
// genuine manifest again: a release withdrawn with rollout 0 would come
// back, a widened rollout would narrow, and an old release would reach an
// installation whose clock is behind.
//
// Equal marks are the same manifest, and are taken. A state file without a
// mark (written before marks were kept) takes the first valid manifest.
//
// The same record keeps "AcceptedVersion": the version of the newest
// manifest taken, or the browser's own version when that is newer, so that
// it never names a version below the one that runs. It decides nothing:
// which version to install is the version order's business alone.
//
// Only signed manifests may move the record: an unsigned one could set it
// above every real release and stop all updates.

// Takes the validly signed manifest issued at |issue_time| (written as
// |issued|) that offers |offered| (its blanks at the ends removed) to a
// browser of |local_version|. Logs and returns false when a newer manifest
// was taken before, or when the record cannot be saved.
bool AcceptSignedManifest(int64_t issue_time, const std::string& issued,
                          const std::string& offered,
                          const std::string& local_version);

#endif  // ACCEPTED_MANIFEST_H_
