#include "progress_line.h"

#include <stdio.h>

void PrintProgressLine(const std::string& line) {
  fwrite(line.data(), 1, line.size(), stdout);
  fputc('\n', stdout);
  fflush(stdout);
}
