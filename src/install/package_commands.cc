#include "install/package_commands.h"

namespace {

bool IsShellSafe(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
         (c >= '0' && c <= '9') || c == '_' || c == '.' || c == '/' || c == '-';
}

}  // namespace

std::string QuoteForShell(const std::string& path) {
  bool safe = !path.empty();
  for (char c : path) safe = safe && IsShellSafe(c);
  if (safe) return path;
  std::string quoted = "'";
  for (char c : path) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

std::string ExtractionCommand(const std::string& archive,
                              const std::string& temp_dir) {
  return "tar -zxvf " + QuoteForShell(archive) + " -C " +
         QuoteForShell(temp_dir);
}

std::string CopyCommand(const std::string& temp_dir,
                        const std::string& destination) {
  // The pattern stays outside the quotes so the shell still expands it.
  return "cp -v -r -f " + QuoteForShell(temp_dir) + "/* " +
         QuoteForShell(destination) + "/";
}
