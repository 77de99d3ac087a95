#ifndef INSTALL_PACKAGE_COMMANDS_H_
#define INSTALL_PACKAGE_COMMANDS_H_

#include <string>

// The shell command lines that unpack the package and copy it over the
// installation. They are echoed into the log, where people and tools read
// them, so their form is fixed.

// Quotes |path| for the shell when it holds a character other than A-Z, a-z,
// 0-9, "_", ".", "/" and "-"; ordinary paths are returned unchanged.
std::string QuoteForShell(const std::string& path);

// The command lines run through the shell; the paths are quoted as needed.
// The extraction unpacks the archive |archive| (the package or a delta) into
// |temp_dir|; the copy puts the entries of |temp_dir| into |destination|.
std::string ExtractionCommand(const std::string& archive,
                              const std::string& temp_dir);
std::string CopyCommand(const std::string& temp_dir,
                        const std::string& destination);

#endif  // INSTALL_PACKAGE_COMMANDS_H_
