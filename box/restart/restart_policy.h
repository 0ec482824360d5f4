// When the restart wrapper starts a program again: a program that ran for a while starts again
// after the first delay; one that ended soon after its start waits twice as long as the last
// time, up to a cap, so a crash loop costs the box little.
#pragma once
#include <cstdint>

struct RestartPolicy {
  uint32_t firstDelayMs = 500;   // after a run that counted as stable, or the first end
  uint32_t maxDelayMs = 30000;   // the cap of the growing delay
  uint32_t stableRunMs = 10000;  // a run at least this long resets the delay
};

// The delay before the next start, given the delay before the run that just ended (0 for the
// first run) and how long that run lasted.
uint32_t restartDelayMs(const RestartPolicy& policy, uint32_t previousDelayMs, uint64_t runMs);
