#ifndef ROLLOUT_BUCKET_H_
#define ROLLOUT_BUCKET_H_

// This installation's side of staged rollouts (see rollout.h): its bucket,
// 0 to 99, drawn once from the system's random source and kept in the state
// file (key "RolloutBucket" of section "main").
//
// The bucket is drawn the first time a run meets an update offered to fewer
// than all installations, and saved at once, before the run acts on it: the
// daily check saves the state file only once a day, and a bucket drawn anew
// on every run would let each installation in sooner or later. A stored
// bucket that is not a number 0 to 99 is logged and drawn anew, which keeps
// the buckets evenly spread.

enum class RolloutOutcome {
  kFailure,   // Logged; the run ends with a failure.
  kHeldBack,  // Printed; the installation stays as it is for now.
  kTaken,     // The installation takes the update.
};

// Decides whether this installation takes an update offered to |percent|
// (0 to 100) of installations. Below 100 it reads the bucket, drawing and
// saving one when needed; a bucket that cannot be drawn or saved is a
// failure, so that no run decides on a bucket the next run would not see.
RolloutOutcome DecideRollout(int percent);

#endif  // ROLLOUT_BUCKET_H_
