#include "rollout_bucket.h"

#include <sodium.h>

#include <optional>
#include <ostream>
#include <string>
#include <string_view>

#include "base/logging.h"
#include "progress_line.h"
#include "rollout.h"
#include "state_file.h"
#include "update_log_sites.h"

namespace {

const wchar_t kRolloutBucketKey[] = L"RolloutBucket";

// Reads a stored bucket, written like a percentage below 100.
bool ParseBucket(std::string_view text, int* bucket) {
  int value;
  if (!ParseRolloutPercent(text, &value) || value >= kRolloutBuckets) {
    return false;
  }
  *bucket = value;
  return true;
}

// Draws a bucket from the system's random source, evenly: randombytes_uniform
// has no modulo bias. Logs and returns false when libsodium cannot start.
bool DrawBucket(int* bucket) {
  if (sodium_init() < 0) {
    LOG_AT(log_site::kDrawRolloutBucket, base::LOG_ERROR)
        << "can't draw rollout bucket!" << std::endl;
    return false;
  }
  *bucket = static_cast<int>(randombytes_uniform(kRolloutBuckets));
  return true;
}

// The installation's bucket, drawn and saved when the state file has none or
// a malformed one. Logs and returns false when it cannot be drawn or saved.
bool LoadOrDrawBucket(int* bucket) {
  StateFile state;
  if (!state.Load()) return false;
  std::optional<std::string> stored = state.Get(kRolloutBucketKey);
  if (stored && ParseBucket(*stored, bucket)) return true;
  if (stored) {
    LOG_AT(log_site::kRolloutBucketMalformed, base::LOG_ERROR)
        << "rollout bucket is not a number 0 to 99, drawing a new one!"
        << std::endl;
  }
  int drawn;
  if (!DrawBucket(&drawn)) return false;
  state.Set(kRolloutBucketKey, std::to_string(drawn));
  if (!state.Save()) return false;
  *bucket = drawn;
  return true;
}

}  // namespace

RolloutOutcome DecideRollout(int percent) {
  if (percent >= kFullRollout) return RolloutOutcome::kTaken;
  int bucket;
  if (!LoadOrDrawBucket(&bucket)) return RolloutOutcome::kFailure;
  if (bucket < percent) return RolloutOutcome::kTaken;
  PrintProgressLine("update held back: rollout " + std::to_string(percent) +
                    "%, bucket " + std::to_string(bucket));
  return RolloutOutcome::kHeldBack;
}
