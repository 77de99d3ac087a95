#ifndef ROLLOUT_H_
#define ROLLOUT_H_

#include <string_view>

// Staged rollouts. A manifest's key "rollout" offers its update to a whole
// percentage of installations, 0 to 100; without the key, to all of them.
// Each installation keeps a bucket, 0 to 99 (see rollout_bucket.h), and
// takes the update when its bucket is below the percentage. The bucket stays,
// so raising the percentage on the server widens the rollout and keeps every
// installation that had it.

inline constexpr int kRolloutBuckets = 100;
inline constexpr int kFullRollout = 100;

// Reads a percentage written as one to three decimal digits, 0 to 100, with
// nothing before or after. Returns false, leaving |*percent| alone, for any
// other text.
bool ParseRolloutPercent(std::string_view text, int* percent);

#endif  // ROLLOUT_H_
