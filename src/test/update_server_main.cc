// Serves a directory as the update server until SIGINT or SIGTERM:
//
//   norvane_test_server --root DIR --port N [--break-after PATH BYTES]...
//                       [--error PATH STATUS]... [--delay PATH MS]...
//
// Prints "listening on http://127.0.0.1:N" once connections are accepted,
// and on stopping one line per request served, "served " followed by the
// request as ServedRequest prints it (body bytes included), so measurements
// can count what a client fetched.

#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <iostream>
#include <string>
#include <vector>

#include "test/update_server.h"

namespace {

void Usage() {
  fprintf(stderr,
          "usage: norvane_test_server --root DIR --port N\n"
          "         [--break-after PATH BYTES] [--error PATH STATUS]\n"
          "         [--delay PATH MS]\n"
          "Port 0 picks a free port.\n");
}

// Parses a whole decimal number in [min, max].
bool ParseNumber(const char* text, long long min, long long max,
                 long long* value) {
  char* end = nullptr;
  long long result = strtoll(text, &end, 10);
  if (end == text || *end != '\0' || result < min || result > max) {
    return false;
  }
  *value = result;
  return true;
}

struct Rule {
  std::string option;
  std::string path;
  long long value;
};

}  // namespace

int main(int argc, char** argv) {
  std::string root;
  long long port = -1;
  std::vector<Rule> rules;
  for (int i = 1; i < argc; ++i) {
    std::string option = argv[i];
    if (option == "--root" && i + 1 < argc) {
      root = argv[++i];
    } else if (option == "--port" && i + 1 < argc) {
      if (!ParseNumber(argv[++i], 0, 65535, &port)) {
        Usage();
        return 2;
      }
    } else if ((option == "--break-after" || option == "--error" ||
                option == "--delay") &&
               i + 2 < argc) {
      Rule rule{option, argv[i + 1], 0};
      long long max = option == "--break-after" ? INT64_MAX : INT_MAX;
      if (!ParseNumber(argv[i + 2], 0, max, &rule.value)) {
        Usage();
        return 2;
      }
      rules.push_back(rule);
      i += 2;
    } else {
      Usage();
      return 2;
    }
  }
  if (root.empty() || port < 0) {
    Usage();
    return 2;
  }

  // Block the stop signals in every thread, then wait for them here.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  testing_util::UpdateServer server(root);
  for (const Rule& rule : rules) {
    if (rule.option == "--break-after") {
      server.SetBreakAfter(rule.path, rule.value);
    } else if (rule.option == "--error") {
      server.SetErrorStatus(rule.path, static_cast<int>(rule.value));
    } else {
      server.SetDelay(rule.path, static_cast<int>(rule.value));
    }
  }
  if (!server.Start(static_cast<int>(port))) {
    fprintf(stderr, "norvane_test_server: cannot listen on 127.0.0.1:%lld\n",
            port);
    return 1;
  }
  printf("listening on %s\n", server.Url("").c_str());
  fflush(stdout);

  int signal_number = 0;
  sigwait(&stop_signals, &signal_number);
  server.Stop();
  for (const testing_util::ServedRequest& request : server.Requests()) {
    std::cout << "served " << request << "\n";
  }
  std::cout.flush();
  return 0;
}
