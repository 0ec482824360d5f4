#include "restart_policy.h"

#include <algorithm>

uint32_t restartDelayMs(const RestartPolicy& policy, uint32_t previousDelayMs, uint64_t runMs) {
  if (runMs >= policy.stableRunMs || previousDelayMs == 0)
    return std::min(policy.firstDelayMs, policy.maxDelayMs);
  uint64_t doubled = static_cast<uint64_t>(previousDelayMs) * 2u;
  return static_cast<uint32_t>(
      std::min<uint64_t>(std::max<uint64_t>(doubled, policy.firstDelayMs), policy.maxDelayMs));
}
