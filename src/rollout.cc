#include "rollout.h"

bool ParseRolloutPercent(std::string_view text, int* percent) {
  if (text.empty() || text.size() > 3) return false;
  int value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  if (value > kFullRollout) return false;
  *percent = value;
  return true;
}
