// Runs a program and reports what it cost, measured here rather than in the
// Python harness, whose own memory a spawned child would otherwise inherit
// into its peak:
//
//   bench_measure REPORT_FILE PROGRAM [ARG]...
//
// Writes "SECONDS MAX_RSS_KIB EXIT_CODE" to REPORT_FILE: the wall time from
// fork to the end of the wait, and the peak resident set size that the
// kernel accounted to the child and its waited-for descendants. The child
// inherits every descriptor. Exits with 0 when the report was written.

#include <stdio.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "base/eintr_wrapper.h"

int main(int argc, char** argv) {
  if (argc < 3) {
    fputs("usage: bench_measure REPORT_FILE PROGRAM [ARG]...\n", stderr);
    return 2;
  }
  struct timespec start, end;
  clock_gettime(CLOCK_MONOTONIC, &start);
  pid_t pid = fork();
  if (pid < 0) {
    perror("fork");
    return 1;
  }
  if (pid == 0) {
    execvp(argv[2], argv + 2);
    perror(argv[2]);
    _exit(127);
  }
  int status = 0;
  struct rusage usage;
  if (HANDLE_EINTR(wait4(pid, &status, 0, &usage)) != pid) {
    perror("wait4");
    return 1;
  }
  clock_gettime(CLOCK_MONOTONIC, &end);
  double seconds = static_cast<double>(end.tv_sec - start.tv_sec) +
                   static_cast<double>(end.tv_nsec - start.tv_nsec) / 1e9;
  int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  FILE* report = fopen(argv[1], "we");
  if (!report) {
    perror(argv[1]);
    return 1;
  }
  fprintf(report, "%.9f %ld %d\n", seconds, static_cast<long>(usage.ru_maxrss),
          code);
  return fclose(report) == 0 ? 0 : 1;
}
