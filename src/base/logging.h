#ifndef BASE_LOGGING_H_
#define BASE_LOGGING_H_

#include <stdint.h>
#include <stdio.h>
#include <time.h>

#include <sstream>
#include <string>
#include <string_view>

#include "base/log_sites.h"

namespace base {

// Severities of log statements; the value indexes the table of names.
typedef int Severity;
const Severity LOG_INFO = 0;
const Severity LOG_WARNING = 1;
const Severity LOG_ERROR = 2;
const Severity LOG_ERROR_REPORT = 3;
const Severity LOG_FATAL = 4;
const int kNumSeverities = 5;

// Name printed in the line for |severity|, or "UNKNOWN" outside 0 to 4.
const char* SeverityName(Severity severity);

enum LogDestination {
  kLogNowhere = 0,
  kLogToFile = 1,
  kLogToStderr = 2,
  kLogToFileAndStderr = 3,
};

// Called with the severity and the whole text of a statement; returning true
// drops the statement.
typedef bool (*LogInterceptHook)(Severity severity, std::string_view text);
// Called by the end action of FATAL or ERROR_REPORT statements with the text
// without its line end.
typedef void (*LogEndHook)(std::string_view text);

// Process-wide logging settings. The initial values write every statement to
// standard error with a wall-clock prefix; the update run never changes them.
struct LogSettings {
  int destination = kLogToStderr;
  Severity min_severity = LOG_INFO;
  bool prefix_pid = false;
  bool prefix_tid = false;
  bool prefix_wallclock = true;
  bool prefix_monotonic_us = false;
  int lock_kind = 0;
  std::string log_file_name;  // Empty means "debug.log" once needed.
  FILE* log_file = nullptr;
  std::string filter_prefix;  // Empty means no filter.
  LogInterceptHook intercept_hook = nullptr;
  LogEndHook fatal_hook = nullptr;
  LogEndHook report_hook = nullptr;
};

// The settings in force. Tests and embedders may change them; changes are not
// synchronised with statements being written on other threads. They live in
// static storage, are never destroyed and need no heap, so the first call may
// come from any allocation of the process, before its own initialisation.
LogSettings& GetLogSettings();

// One log statement: the constructor writes the prefix, the caller appends the
// message through stream(), and the destructor writes the line and runs the
// end action of its severity (FATAL and ERROR_REPORT).
class LogEntry {
 public:
  LogEntry(const char* file, int line, Severity severity);
  ~LogEntry();

  LogEntry(const LogEntry&) = delete;
  LogEntry& operator=(const LogEntry&) = delete;

  std::ostream& stream() { return stream_; }

 private:
  Severity severity_;
  std::ostringstream stream_;
  std::streamoff message_start_;
};

// A LogEntry whose message ends with ": " and the system's text for an error
// number that the caller captured right after the failing call.
class SystemErrorLogEntry {
 public:
  SystemErrorLogEntry(const char* file, int line, Severity severity,
                      int error_number);
  ~SystemErrorLogEntry();

  SystemErrorLogEntry(const SystemErrorLogEntry&) = delete;
  SystemErrorLogEntry& operator=(const SystemErrorLogEntry&) = delete;

  std::ostream& stream() { return entry_.stream(); }

 private:
  int error_number_;
  LogEntry entry_;
};

// The system's description of |error_number|, at most 255 bytes.
std::string SystemErrorText(int error_number);

// Writes the prefix of a statement begun now, exactly as LogEntry does, into
// |buffer|. Returns the number of bytes written (always less than |size|,
// which must be at least 1); the text is NUL-terminated and cut short when the
// buffer is too small. The time stamp comes from localtime_r, which takes
// libc's time-zone lock and allocates when it first loads the zone; the UTC
// offset it finds is kept for WriteFatalWithoutAllocating.
size_t FormatLogPrefix(char* buffer, size_t size, const char* file, int line,
                       Severity severity);

// Looks up the UTC offset of local time now and keeps it for
// WriteFatalWithoutAllocating, which cannot look it up itself. Takes libc's
// time-zone lock and may allocate, as every ordinary statement does.
void NoteUtcOffset();

// Writes a FATAL statement from |site| with |message| to standard error in
// one write, then runs the FATAL end action, for callers that may run inside
// any allocation or libc call, before the program's own initialisation: it
// allocates nothing and takes no lock. The line has LogEntry's form; its local
// time is reckoned from the last offset that FormatLogPrefix or NoteUtcOffset
// found (UTC before the first). Unlike LogEntry it skips the intercept hook
// and the log file. Drops the statement whole below the minimum severity.
void WriteFatalWithoutAllocating(const log_site::Site& site,
                                 std::string_view message);

// Ends a statement whose whole text, line end included, is |text| and whose
// message begins at |message_start|: offers it to the intercept hook and the
// filter, writes it to its destinations and runs the end action. Shared by
// LogEntry and writers that build their line without allocating.
void DispatchLogText(Severity severity, std::string_view text,
                     size_t message_start);

namespace internal {

// Fills the year, month, day, hour, minute and second of |out| for the time
// |utc_seconds| (since 1970, UTC) shifted by |utc_offset| seconds, by
// arithmetic alone: no time-zone data, no lock.
void BreakDownShiftedTime(int64_t utc_seconds, long utc_offset, struct tm* out);

}  // namespace internal

}  // namespace base

// A statement at a site of the log-site table, for example
//   LOG_AT(log_site::kAnotherInstance, base::LOG_ERROR) << "..." << std::endl;
#define LOG_AT(site, severity) \
  ::base::LogEntry((site).file, (site).line, (severity)).stream()
// The same with the system's text for |error_number| appended.
#define PLOG_AT(site, severity, error_number)                       \
  ::base::SystemErrorLogEntry((site).file, (site).line, (severity), \
                              (error_number))                       \
      .stream()

#endif  // BASE_LOGGING_H_
