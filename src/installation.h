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
// the tree, waits until the browser process |browser_pid| has exited, checks
// that the installation has room, copies the unpacked files over the
// installation with cp and removes the staging directory. Returns false,
// after logging why, when the package could not be installed. A download
// that fails because the disk is full or stalls ends the step before
// unpacking, keeping the partial package for the next run.
//
// An install is a transaction over runs: the install journal names the
// staging directory before the copy may start and goes only once a copy
// has succeeded. With the |journal| of an unfinished install (null: none)
// the package is taken from its staging directory when the manifest still
// offers it and the tree is still there whole; otherwise it is fetched
// afresh, or the package now offered is installed instead.
bool InstallPackage(const PackageOffer& package, const std::string& browser_pid,
                    const DownloadLimits& limits, const OfferFile* journal);

// Removes the staging directory that an earlier run left named in the
// package record, unless it is the one |journal| (null: none) still needs.
void RemoveLeftoverStagingDirectories(const OfferFile* journal);

#endif  // INSTALLATION_H_
