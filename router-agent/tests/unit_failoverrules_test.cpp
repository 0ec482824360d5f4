// The fail-over rules without threads, namespaces or root: passes and probes fed by hand.
#include "failover_rules.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const char* name(WanAction a) {
  switch (a) {
    case WanAction::kNone:
      return "-";
    case WanAction::kFailOver:
      return "over";
    case WanAction::kFailBack:
      return "back";
    case WanAction::kOptimise:
      return "optimise";
    case WanAction::kExit:
      return "exit";
  }
  return "?";
}

// MQTT mode: the main link cut at 0 s (or, failed over, back since 0 s), then passes every 10 s.
// The switch comes at the first pass at or past the setting: never earlier, never a pass later.
TEST(FailoverRules, MqttPassesSwitchAtTheFirstPassPastTheirTime) {
  struct Case {
    const char* what;
    bool connected, active;
    int check, failback;
    int switchAtSeconds;  // -1: never
  } cases[] = {
      {"cut, check 60 s", false, true, 60, 0, 60},          {"cut, check 65 s", false, true, 65, 0, 70},
      {"back, fail-back 120 s", true, false, 60, 120, 120}, {"connected and active", true, true, 60, 0, -1},
      {"down and already over", false, false, 60, 0, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    int switched = -1;
    for (int t = 10; t <= 300 && switched < 0; t += 10) {
      MqttCheckInput in;
      in.nowMs = 1000000 + t * 1000LL;
      in.mainFirstConnected = true;
      in.mainConnected = c.connected;
      in.mainActive = c.active;
      in.mainConnectedSinceMs = 1000000;
      in.mainDisconnectedSinceMs = 1000000;
      in.checkSeconds = c.check;
      in.failbackSeconds = c.failback;
      MqttCheckDecision d = mqttCheckStep(in);
      if (d.action != WanAction::kNone) {
        switched = t;
        EXPECT_EQ(d.action, c.connected ? WanAction::kFailBack : WanAction::kFailOver);
        EXPECT_EQ(d.diffSeconds, t);
      }
    }
    EXPECT_EQ(switched, c.switchAtSeconds);
  }
  MqttCheckInput never;  // the main link never connected: nothing to judge
  never.nowMs = 1000000000;
  EXPECT_EQ(mqttCheckStep(never).action, WanAction::kNone);
  EXPECT_EQ(mqttCheckStep(never).diffKind, 0);
}

// Ping mode: probe outcomes in order ("s" reply, "f" none) and the action after each.
TEST(FailoverRules, PingRunsDecideByTheirCounts) {
  struct Case {
    const char* what;
    const char* probes;
    int failover, failback;
    bool failbackEnable;
    std::vector<std::string> actions;
  } cases[] = {
      {"failures before the first reply are ignored", "fffff", 3, 3, true, {"-", "-", "-", "-", "-"}},
      {"three failures fail over, the fourth does nothing more",
       "sffff",
       3,
       3,
       true,
       {"-", "-", "-", "over", "-"}},
      {"replies fail back after the count", "sfffsss", 3, 3, true, {"-", "-", "-", "over", "-", "-", "back"}},
      {"fail-back disabled stays over",
       "sfffsssss",
       3,
       3,
       false,
       {"-", "-", "-", "over", "-", "-", "-", "-", "-"}},
      {"counts of 0 act as 1", "sfsf", 0, 0, true, {"-", "over", "back", "over"}},
      {"a flapping link never completes a run",
       "sfsfsfsf",
       2,
       2,
       true,
       {"-", "-", "-", "-", "-", "-", "-", "-"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    PingCounts counts;
    PingSettings settings;
    settings.failoverCount = c.failover;
    settings.failbackCount = c.failback;
    settings.failbackEnable = c.failbackEnable;
    bool active = true;
    std::vector<std::string> actions;
    int64_t t = 0;
    for (const char* p = c.probes; *p != '\0'; ++p) {
      PingDecision d = pingStep(counts, *p == 's', t += 1000, active, settings);
      if (d.action == WanAction::kFailOver) active = false;
      if (d.action == WanAction::kFailBack) active = true;
      actions.push_back(name(d.action));
    }
    EXPECT_EQ(actions, c.actions);
  }
}

// The console shows each run as the probe made it, before it is clamped to its count: with
// counts of 0 (acting as 1) a second failure in a row shows 2.
TEST(FailoverRules, PingRunsAreShownBeforeTheyAreClamped) {
  PingCounts counts;
  PingSettings settings;
  settings.failoverCount = 0;
  std::vector<int> shown;
  bool active = true;
  for (bool ok : {true, false, false, false}) {
    PingDecision d = pingStep(counts, ok, 0, active, settings);
    if (d.action == WanAction::kFailOver) active = false;
    shown.push_back(d.failures);
  }
  EXPECT_EQ(shown, (std::vector<int>{0, 1, 2, 2}));
  EXPECT_EQ(counts.failures, 1);
}

// A link's notices: connected at 0 s, lost at 10 s, then failed attempts; what each decides.
TEST(FailoverRules, LinkNoticesRecoverAnOutageLongerThanTheCheckTime) {
  struct Case {
    const char* what;
    int check, optimize;
    bool dual, failoverEnable;
    const char* atCheckPlusOne;  // the action of the first notice more than `check` s after the loss
  } cases[] = {
      {"single WAN ends the agent", 600, 0, false, false, "exit"},
      {"single WAN on the USB modem optimises", 600, 1, false, false, "optimise"},
      {"dual WAN without fail-over ends the agent", 60, 0, true, false, "exit"},
      {"dual WAN with fail-over leaves it to the check thread", 60, 0, true, true, "-"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    LinkSettings settings;
    settings.dual = c.dual;
    settings.failoverEnable = c.failoverEnable;
    LinkView link;
    link.checkSeconds = c.check;
    link.optimize = c.optimize;
    link = linkNoticeStep(link, true, 0, settings).next;
    EXPECT_TRUE(link.firstConnected);
    link = linkNoticeStep(link, false, 10000, settings).next;
    EXPECT_EQ(link.disconnectedSinceMs, 10000);
    // Exactly the check time after the loss: not yet (strictly more is needed).
    LinkStep at = linkNoticeStep(link, false, 10000 + c.check * 1000LL, settings);
    EXPECT_EQ(at.action, WanAction::kNone);
    LinkStep past = linkNoticeStep(at.next, false, 10000 + (c.check + 1) * 1000LL, settings);
    EXPECT_STREQ(name(past.action), c.atCheckPlusOne);
    // One optimisation at a time; the next connect clears the marker.
    LinkStep again = linkNoticeStep(past.next, false, 10000 + (c.check + 2) * 1000LL, settings);
    if (c.optimize != 0) {
      EXPECT_EQ(again.action, WanAction::kNone);
    }
    LinkStep back = linkNoticeStep(again.next, true, 10000 + (c.check + 3) * 1000LL, settings);
    EXPECT_EQ(back.clearDisconnectMarker, c.optimize != 0);
    EXPECT_EQ(back.next.connectedSinceMs, 10000 + (c.check + 3) * 1000LL);
  }
}

TEST(FailoverRules, WithoutALinkCheckNoticesOnlyKeepTheirStamps) {
  LinkView link;  // check time 0
  LinkSettings single;
  EXPECT_FALSE(linkNoticeStep(link, true, 5000, single).updated);
  LinkSettings dual;
  dual.dual = true;
  LinkStep up = linkNoticeStep(link, true, 5000, dual);
  EXPECT_TRUE(up.next.firstConnected);
  EXPECT_EQ(up.next.connectedSinceMs, 5000);
  LinkStep down = linkNoticeStep(up.next, false, 9000000, dual);
  EXPECT_EQ(down.next.disconnectedSinceMs, 9000000);
  EXPECT_EQ(down.action, WanAction::kNone);
}

}  // namespace
