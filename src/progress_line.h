#ifndef PROGRESS_LINE_H_
#define PROGRESS_LINE_H_

#include <string>

// Writes |line| and a line end to standard output and flushes at once, so the
// line stands in the log before anything a child process prints after it.
void PrintProgressLine(const std::string& line);

#endif  // PROGRESS_LINE_H_
