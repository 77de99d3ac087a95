#ifndef STATE_FILE_H_
#define STATE_FILE_H_

#include <optional>
#include <string>

#include "ini/ini_document.h"

// What the updater keeps from one run to the next in
// "norvane_upgrade_linux.ini", section "main": the daily check's time (see
// daily_check.h), the issue mark and version of the newest manifest a signed
// build has taken (see accepted_manifest.h) and the installation's rollout
// bucket (see rollout_bucket.h). Each step loads the file, changes its own key
// and saves it whole, so every other section and key stays as it was. One
// updater at a time works on the directory, so the steps never race.

// How a read of the state file went.
enum class StateFileRead {
  kRead,     // The file's bytes were read.
  kMissing,  // There is no file, or a link or special file in its place,
             // which the next save replaces.
  kFailed,   // Logged. The file exists but cannot be read (no permission, a
             // read error, or more than kMaxStateFileBytes).
};

// Reads the state file's bytes into |text|, never through a link and at most
// kMaxStateFileBytes; |text| is left alone unless the file was read. A file
// that exists but cannot be read must end the run: taken for empty it would
// be replaced, dropping the accepted version and drawing the rollout bucket
// anew on every run.
StateFileRead ReadStateFileText(std::string* text);

class StateFile {
 public:
  StateFile() = default;
  StateFile(const StateFile&) = delete;
  StateFile& operator=(const StateFile&) = delete;

  // Reads the file as ReadStateFileText does. A missing file reads as empty;
  // the daily check, which comes first in a run, has logged that. Returns
  // false, with the document empty, when the read failed.
  bool Load();

  // The value of |key| in section "main", or nothing when the key is absent.
  std::optional<std::string> Get(const wchar_t* key) const;
  // Stores |value| (UTF-8) under |key| in section "main".
  void Set(const wchar_t* key, const std::string& value);

  // Replaces the file whole through a new file beside it, so a link in its
  // place is replaced, never written through. Logs and returns false when it
  // cannot be written.
  bool Save() const;

 private:
  IniDocument document_;
};

#endif  // STATE_FILE_H_
