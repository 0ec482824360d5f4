#include <gtest/gtest.h>

#include "restart_policy.h"

namespace {

TEST(RestartPolicy, QuickEndsDoubleTheDelayUpToTheCapAndAStableRunResetsIt) {
  RestartPolicy p;  // 500 ms first, 30 s cap, 10 s counts as stable
  struct Case {
    uint32_t previous;
    uint64_t ranMs;
    uint32_t want;
  };
  const Case cases[] = {
      {0, 0, 500},          // first end, even an immediate one
      {0, 3600000, 500},    // first end after a long run
      {500, 10, 1000},      // crash loop: doubles
      {1000, 9999, 2000},   // just short of stable
      {16000, 0, 30000},    // capped
      {30000, 0, 30000},    // stays at the cap
      {30000, 10000, 500},  // a stable run resets
      {4000, 3600000, 500},
  };
  for (const auto& c : cases)
    EXPECT_EQ(restartDelayMs(p, c.previous, c.ranMs), c.want) << c.previous << " " << c.ranMs;
}

TEST(RestartPolicy, OddSettingsStayWithinTheCap) {
  RestartPolicy p;
  p.firstDelayMs = 700;
  p.maxDelayMs = 1000;
  EXPECT_EQ(restartDelayMs(p, 0, 0), 700u);
  EXPECT_EQ(restartDelayMs(p, 700, 0), 1000u);
  EXPECT_EQ(restartDelayMs(p, 0xFFFFFFFFu, 0), 1000u);  // no overflow when doubling
  p.maxDelayMs = 100;                                   // a cap below the first delay wins
  EXPECT_EQ(restartDelayMs(p, 0, 0), 100u);
  EXPECT_EQ(restartDelayMs(p, 100, 0), 100u);
}

}  // namespace
