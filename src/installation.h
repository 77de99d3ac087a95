#ifndef INSTALLATION_H_
#define INSTALLATION_H_

#include <string>

#include "manifest.h"

// Installs the offered package over the installation directory (the
// working directory): downloads it to "norvane.tar.gz" within |limits| and
// the offer's size (continuing a partial download of the same offer, never
// one of another), checks its size and digest when the offer has them (a
// package that does not match is removed, so the next run fetches it
// afresh), unpacks it with
// tar into a fresh temporary directory, waits until the browser process
// |browser_pid| has exited, copies the unpacked files over the installation
// with cp and removes the temporary directory. Returns false, after logging
// why, when the package could not be installed. A download that fails
// because the disk is full ends the step before unpacking, keeping the
// partial package for the next run.
bool InstallPackage(const PackageOffer& package, const std::string& browser_pid,
                    const DownloadLimits& limits);

#endif  // INSTALLATION_H_
