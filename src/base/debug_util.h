#ifndef BASE_DEBUG_UTIL_H_
#define BASE_DEBUG_UTIL_H_

#include <string_view>

namespace base {

// Debugger support for the end action of FATAL statements.
class DebugUtil {
 public:
  // True when a tracer (debugger) is attached to this process. Any failure
  // to find out answers false.
  static bool IsDebuggerAttached();
  // Stops the process with SIGTRAP; returns only when a debugger resumes it.
  // Without a debugger the process ends by SIGTRAP, even if the signal is
  // blocked or ignored.
  static void TrapToDebugger();

  DebugUtil() = delete;
};

// End action of a FATAL statement: trap to an attached debugger, else call
// the fatal hook if one is set, else trap (which ends the process).
void FatalEndAction(std::string_view text);

// End action of an ERROR_REPORT statement: the report hook if one is set,
// else the text in a message window.
void ReportEndAction(std::string_view text);

// Shows |text| with the "xmessage" program from the search path and waits
// until it ends. Does nothing for an empty text; failures leave no trace
// beyond the failure line of the child.
void ShowMessageWindow(std::string_view text);

namespace internal {

// IsDebuggerAttached() for the status file at |path|: true when a single
// read of its first 1024 bytes holds "TracerPid:\t" followed by a byte other
// than '0'.
bool StatusFileShowsTracer(const char* path);

}  // namespace internal

}  // namespace base

#endif  // BASE_DEBUG_UTIL_H_
