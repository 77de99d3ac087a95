#ifndef TEST_SCOPED_LOG_SETTINGS_H_
#define TEST_SCOPED_LOG_SETTINGS_H_

#include <string>
#include <vector>

#include "base/logging.h"

namespace testing_util {

// Saves the process-wide log settings and puts them back when it goes away,
// so a test may change them freely. It can also set one hook that collects
// the texts it is handed, with their times masked: the intercept hook (the
// statements are then dropped), the fatal hook (a FATAL statement then
// returns instead of trapping) or the report hook (no message window).
// One at a time.
class ScopedLogSettings {
 public:
  enum Collect { kNothing, kIntercepted, kFatal, kReported };

  explicit ScopedLogSettings(Collect collect = kNothing);
  ~ScopedLogSettings();
  ScopedLogSettings(const ScopedLogSettings&) = delete;
  ScopedLogSettings& operator=(const ScopedLogSettings&) = delete;

  base::LogSettings& settings() { return base::GetLogSettings(); }
  // The texts collected so far, in order.
  std::vector<std::string>& texts() { return texts_; }

 private:
  static void CollectText(std::string_view text);

  base::LogSettings saved_;
  std::vector<std::string> texts_;
};

}  // namespace testing_util

#endif  // TEST_SCOPED_LOG_SETTINGS_H_
