#ifndef INSTALLATION_H_
#define INSTALLATION_H_

#include <stddef.h>

#include <string>

#include "base/file_path.h"
#include "manifest.h"

// Installs the offered package over the installation directory (the
// working directory): downloads it to "norvane.tar.gz" (continuing a partial
// download), checks its digest when the offer has one (a package that does
// not match is removed, so the next run fetches it afresh), unpacks it with
// tar into a fresh temporary directory, waits until the browser process
// |browser_pid| has exited, copies the unpacked files over the installation
// with cp and removes the temporary directory. Returns false, after logging
// why, when the package could not be installed. A download that fails
// because the disk is full ends the step before unpacking, keeping the
// partial package for the next run.
bool InstallPackage(const PackageOffer& package,
                    const std::string& browser_pid);

// Quotes |path| for the shell when it holds a character other than A-Z, a-z,
// 0-9, "_", ".", "/" and "-"; ordinary paths are returned unchanged.
std::string QuoteForShell(const std::string& path);

// The command lines run through the shell; |temp_dir| is quoted as needed.
std::string ExtractionCommand(const std::string& temp_dir);
std::string CopyCommand(const std::string& temp_dir);

// Whether a symbolic link |depth| directories below the top of a tree, with
// the target |target|, leads to a place inside the tree however the tree's
// other links resolve: the target is relative, and its ".." components all
// come first and climb at most |depth| levels.
bool IsLinkTargetInside(const std::string& target, size_t depth);

// Looks through the unpacked package under |dir| for an entry that must not
// be copied over the installation: a symbolic link that leads outside the
// tree (a later package would write through it), or an entry that is neither
// a regular file, a directory nor a link (cp would recreate a device or a
// FIFO, and a later package would write into it). Returns true and sets
// |*entry| to the entry's path below |dir| (with " -> " and the target for a
// link) when there is one; false, leaving |*entry| alone, otherwise.
bool FindUnsafeEntry(const base::FsPath& dir, std::string* entry);

#endif  // INSTALLATION_H_
