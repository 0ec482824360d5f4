// The check threads' pass length: every ping interval the store can hold becomes a pause the
// sleep can take, from a second (an interval of 0 or less) to the longest one (huge intervals).
#include "wan_check.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "hbn_path.h"

namespace {

TEST(WanCheck, EveryPingIntervalBecomesAPauseTheSleepCanTake) {
  struct Case {
    long scale;
    int32_t seconds;
    long ms;
  };
  const Case cases[] = {
      {1, INT32_MIN, 1000},
      {1, -1, 1000},
      {1, 0, 1000},
      {1, 1, 1000},
      {1, 10, 10000},
      {1, 2147483, 2147483000},
      {1, 2147484, 2147483000},
      {1, INT32_MAX, 2147483000},
      {4, 1, 250},
      {1000, INT32_MAX, 2147483},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.seconds) + " s at scale " + std::to_string(c.scale));
    setenv("HBN_TIME_SCALE", std::to_string(c.scale).c_str(), 1);
    EXPECT_EQ(wanPassMs(c.seconds), c.ms);
  }
  unsetenv("HBN_TIME_SCALE");
}

}  // namespace
