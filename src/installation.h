#ifndef INSTALLATION_H_
#define INSTALLATION_H_

#include <string>

#include "download.h"
#include "install/offer_file.h"
#include "manifest.h"

// Installs the offered package over the installation directory (the
// working directory): downloads it to "norvane.tar.gz" within |limits| and
// the offer's size (continuing a partial download of the same offer, never
// one of another), checks its size and digest when the offer has them (a
// package that does not match is removed, so the next run fetches it
// afresh), unpacks it with tar into a private staging directory and checks
// the tree, checks that the installation has room for it, copies it with cp
// into the shadow inside the installation directory and removes the staging
// directory; then waits until the browser process |browser_pid| has exited
// and moves the shadow's entries into place.
//
// When |package| carries a delta (the caller leaves one only when it fits
// the installed version) and no download of the full package has begun,
// the update is made from the delta instead: downloaded to
// "norvane_delta.tar.gz" within |limits| and its size, checked, unpacked
// into the staging directory, and applied there against the installation,
// whose files it names must all be as the delta expects; only the files that
// changed are staged, and the install goes on as with a package. Any failure
// of the delta but a stall is logged, removes what the delta left and
// installs the full package instead. Returns false, after logging
// why, when the package could not be installed. A download that fails
// because the disk is full or stalls ends the step before unpacking,
// keeping the partial package for the next run.
//
// An install is a transaction over runs: the install journal names the
// staging directory before the copy starts, the shadow once it is whole on
// disk, and goes only once the moves are on disk. With the |journal| of an
// unfinished install (null: none) in its copying phase the package is taken
// from its staging directory when the manifest still offers it and the tree
// is still there whole; otherwise it is fetched afresh, or the package now
// offered is installed instead.
bool InstallPackage(const PackageOffer& package, const std::string& browser_pid,
                    const DownloadLimits& limits, const OfferFile* journal);

// Finishes the moves of the unfinished install of |journal| when it was
// left in its moving phase with its shadow still there: waits for the
// browser as an install does, moves what the shadow still holds and sets
// |*finished| to whether the install is now done. Nothing is downloaded or
// copied again. False, leaving |*finished| alone, when the journal is not
// one to finish that way.
bool FinishInterruptedMoves(const OfferFile& journal,
                            const std::string& browser_pid, bool* finished);

// Removes the staging directory that an earlier run left named in the
// package record, unless it is the one |journal| (null: none) still needs.
void RemoveLeftoverStagingDirectories(const OfferFile* journal);

#endif  // INSTALLATION_H_
