// Reconnect policy: first-retry spread, growth of the back-off ceiling, its cap, and the reset
// after a connection that held, with a scripted random source and a clock the test moves.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <set>
#include <utility>
#include <vector>

#include "reconnect_policy.h"

namespace {

using hbn::ReconnectParams;
using hbn::ReconnectPolicy;

// Hands out the given draws in turn (the last one again when they run out).
class ScriptedRandom : public hbn::RandomSource {
 public:
  explicit ScriptedRandom(std::vector<uint32_t> draws) : draws_(std::move(draws)) {}
  uint32_t next() override { return draws_[at_ < draws_.size() - 1 ? at_++ : at_]; }

 private:
  std::vector<uint32_t> draws_;
  size_t at_ = 0;
};

constexpr uint32_t kLowest = 0;
constexpr uint32_t kHighest = 0xFFFFFFFFu;
constexpr uint32_t kHalf = 0x80000000u;
const ReconnectParams kParams{10000, 1000, 60000, 60000};

TEST(ReconnectPolicy, FirstRetryAfterAHeldConnectionFallsAcrossTheWholeSpread) {
  struct Case {
    uint32_t draw;
    int64_t want;
  };
  for (const Case& c : {Case{kLowest, 0}, Case{kHalf, 5000}, Case{kHighest, 10000}}) {
    ScriptedRandom random({c.draw});
    ReconnectPolicy policy(kParams, &random);
    policy.connected(0);
    EXPECT_EQ(policy.lost(kParams.resetAfterMs), c.want) << "draw " << c.draw;
    EXPECT_EQ(policy.failures(), 0);
  }
}

TEST(ReconnectPolicy, CeilingDoublesFromTheBaseUpToTheCapWithFullJitter) {
  ScriptedRandom highest({kHighest});
  ReconnectPolicy top(kParams, &highest);
  std::vector<int64_t> waits;
  for (int i = 0; i < 9; ++i) waits.push_back(top.failed(1000 * i));
  EXPECT_EQ(waits, (std::vector<int64_t>{1000, 2000, 4000, 8000, 16000, 32000, 60000, 60000, 60000}));
  EXPECT_EQ(top.failures(), 9);
  EXPECT_EQ(top.ceilingMs(), kParams.capMs);

  // Full jitter: the lowest draw retries at once, whatever the ceiling.
  ScriptedRandom lowest({kLowest});
  ReconnectPolicy bottom(kParams, &lowest);
  for (int i = 0; i < 9; ++i) EXPECT_EQ(bottom.failed(0), 0);

  // Many failures in a row stay at the cap (no overflow of the doubling).
  for (int i = 0; i < 1000; ++i) top.failed(0);
  EXPECT_EQ(top.failed(0), kParams.capMs);
}

TEST(ReconnectPolicy, ConnectionThatHeldResetsTheBackOffOneThatDroppedSoonDoesNot) {
  ScriptedRandom random({kHighest});
  ReconnectPolicy policy(kParams, &random);
  for (int i = 0; i < 5; ++i) policy.failed(0);
  ASSERT_EQ(policy.ceilingMs(), 32000);

  // Dropped before the reset time: it counts as one more failed attempt.
  policy.connected(100000);
  EXPECT_EQ(policy.lost(100000 + kParams.resetAfterMs - 1), 32000);
  EXPECT_EQ(policy.failures(), 6);

  // Held for the reset time: the next outage starts with the first-retry spread and the base.
  policy.connected(200000);
  EXPECT_EQ(policy.lost(200000 + kParams.resetAfterMs), kParams.firstSpreadMs);
  EXPECT_EQ(policy.failures(), 0);
  EXPECT_EQ(policy.failed(270000), kParams.baseMs);
  EXPECT_EQ(policy.failed(271000), 2 * kParams.baseMs);
}

TEST(ReconnectPolicy, RouterSessionsStayWithinTheirLowCap) {
  // The router's WAN judgement waits for failed attempts and reconnects: its sessions never wait
  // longer than their cap, which stays below the monitor's 10-second pass.
  const ReconnectParams router = hbn::reconnectParamsFor(hbn::SessionKind::kRouter);
  EXPECT_LT(router.capMs, 10000);
  EXPECT_LE(router.firstSpreadMs, router.capMs);
  ScriptedRandom random({kHighest});
  ReconnectPolicy policy(router, &random);
  int64_t longest = 0;
  for (int i = 0; i < 50; ++i) longest = std::max(longest, policy.failed(0));
  EXPECT_EQ(longest, router.capMs);

  const ReconnectParams zwave = hbn::reconnectParamsFor(hbn::SessionKind::kZwave);
  EXPECT_GT(zwave.capMs, router.capMs);
  EXPECT_GT(zwave.firstSpreadMs, 0);
}

TEST(ReconnectPolicy, SeededSourcesOfTwoBoxesDrawDifferentDelays) {
  // Boxes that start in the same second must not share their delays.
  hbn::SeededRandom a, b;
  std::set<int64_t> waits;
  ReconnectPolicy pa(kParams, &a), pb(kParams, &b);
  pa.connected(0);
  pb.connected(0);
  waits.insert(pa.lost(kParams.resetAfterMs));
  waits.insert(pb.lost(kParams.resetAfterMs));
  for (int i = 0; i < 20; ++i) {
    waits.insert(pa.failed(0));
    waits.insert(pb.failed(0));
  }
  EXPECT_GT(waits.size(), 30u);
  for (int64_t w : waits) {
    EXPECT_GE(w, 0);
    EXPECT_LE(w, kParams.capMs);
  }
}

}  // namespace
