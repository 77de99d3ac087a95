#ifndef INSTALLATION_H_
#define INSTALLATION_H_

#include <string>

// Installs the package at |package_url| over the installation directory (the
// working directory): downloads it to "norvane.tar.gz" (continuing a partial
// download), unpacks it with tar into a fresh temporary directory, waits
// until the browser process |browser_pid| has exited, copies the unpacked
// files over the installation with cp and removes the temporary directory.
// Returns false, after logging why, when the package could not be installed.
// A download that fails because the disk is full ends the step before
// unpacking, keeping the partial package for the next run.
bool InstallPackage(const std::string& package_url,
                    const std::string& browser_pid);

// Quotes |path| for the shell when it holds a character other than A-Z, a-z,
// 0-9, "_", ".", "/" and "-"; ordinary paths are returned unchanged.
std::string QuoteForShell(const std::string& path);

// The command lines run through the shell; |temp_dir| is quoted as needed.
std::string ExtractionCommand(const std::string& temp_dir);
std::string CopyCommand(const std::string& temp_dir);

#endif  // INSTALLATION_H_
