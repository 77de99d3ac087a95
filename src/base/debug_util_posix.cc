#include "base/debug_util.h"

#include <signal.h>

#include "base/logging.h"

namespace base {

bool DebugUtil::IsDebuggerAttached() { return false; }

void DebugUtil::TrapToDebugger() { raise(SIGTRAP); }

void FatalEndAction(std::string_view text) {
  if (DebugUtil::IsDebuggerAttached()) {
    DebugUtil::TrapToDebugger();
    return;
  }
  if (LogEndHook hook = GetLogSettings().fatal_hook) {
    hook(text);
    return;
  }
  DebugUtil::TrapToDebugger();
}

void ReportEndAction(std::string_view text) {
  if (LogEndHook hook = GetLogSettings().report_hook) hook(text);
}

}  // namespace base
