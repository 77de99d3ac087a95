#ifndef BASE_DEBUG_UTIL_H_
#define BASE_DEBUG_UTIL_H_

#include <string_view>

namespace base {

// Debugger support for the end action of FATAL statements.
class DebugUtil {
 public:
  // True when a tracer (debugger) is attached to this process.
  static bool IsDebuggerAttached();
  // Stops the process with SIGTRAP; returns only when a debugger resumes it.
  static void TrapToDebugger();

  DebugUtil() = delete;
};

// End action of a FATAL statement: trap to an attached debugger, else call
// the fatal hook if one is set, else trap (which ends the process).
void FatalEndAction(std::string_view text);

// End action of an ERROR_REPORT statement: the report hook if one is set,
// else the text in a message window.
void ReportEndAction(std::string_view text);

}  // namespace base

#endif  // BASE_DEBUG_UTIL_H_
