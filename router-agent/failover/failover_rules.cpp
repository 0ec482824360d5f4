#include "failover_rules.h"

namespace {

long wholeSecondsBetween(int64_t fromMs, int64_t toMs) { return static_cast<long>((toMs - fromMs) / 1000); }

}  // namespace

MqttCheckDecision mqttCheckStep(const MqttCheckInput& in) {
  MqttCheckDecision d;
  if (!in.mainFirstConnected) return d;
  if (in.mainConnected) {
    if (in.mainActive) return d;
    d.diffKind = 1;
    d.diffSeconds = wholeSecondsBetween(in.mainConnectedSinceMs, in.nowMs);
    if (d.diffSeconds >= in.failbackSeconds) d.action = WanAction::kFailBack;
  } else {
    if (!in.mainActive) return d;
    d.diffKind = 2;
    d.diffSeconds = wholeSecondsBetween(in.mainDisconnectedSinceMs, in.nowMs);
    if (d.diffSeconds >= in.checkSeconds) d.action = WanAction::kFailOver;
  }
  return d;
}

PingDecision pingStep(PingCounts& c, bool ok, int64_t probeMs, bool mainActive, const PingSettings& s) {
  PingDecision d;
  // Failures before the first success are ignored: a host that never answers never fails over.
  if (!ok && !c.started) return d;
  c.started = true;
  d.counted = true;
  if (ok) {
    if (c.successes == 0) c.firstSuccessMs = probeMs;
    ++c.successes;
    c.failures = 0;
  } else {
    if (c.failures == 0) c.firstFailureMs = probeMs;
    ++c.failures;
    c.successes = 0;
  }
  d.successes = c.successes;
  d.failures = c.failures;
  // A count below one would switch on a probe of the other kind: one probe is the least.
  const int failoverCount = s.failoverCount > 0 ? s.failoverCount : 1;
  const int failbackCount = s.failbackCount > 0 ? s.failbackCount : 1;
  if (c.failures >= failoverCount) {
    c.failures = failoverCount;
    if (mainActive) d.action = WanAction::kFailOver;
  }
  if (c.successes >= failbackCount) {
    c.successes = failbackCount;
    if (!mainActive && s.failbackEnable) d.action = WanAction::kFailBack;
  }
  return d;
}

LinkStep linkNoticeStep(const LinkView& link, bool connectedNow, int64_t nowMs,
                        const LinkSettings& settings) {
  LinkStep step;
  step.next = link;
  LinkView& l = step.next;
  if (link.checkSeconds <= 0) {
    // Single WAN without a link check: the notice changes nothing at all.
    if (!settings.dual) {
      step.updated = false;
      return step;
    }
    // Dual WAN without one: only the time stamps.
    if (connectedNow != link.connected) {
      if (connectedNow) {
        l.connectedSinceMs = nowMs;
        l.firstConnected = true;
      } else {
        l.disconnectedSinceMs = nowMs;
      }
    }
    l.connected = connectedNow;
    return step;
  }
  // With fail-over in dual WAN the check thread handles an outage; otherwise an outage past the
  // check time ends the process.
  const bool mayExit = !settings.dual || !settings.failoverEnable;
  if (connectedNow) l.firstConnected = true;
  if (l.firstConnected) {
    if (connectedNow != link.connected) {
      if (connectedNow) {
        l.connectedSinceMs = nowMs;
        step.clearDisconnectMarker = link.optimize > 0;
      } else {
        l.disconnectedSinceMs = nowMs;
      }
    }
    if (!connectedNow && wholeSecondsBetween(l.disconnectedSinceMs, nowMs) > link.checkSeconds) {
      if (link.optimize <= 0) {
        if (mayExit) step.action = WanAction::kExit;
      } else if (!link.optimizeRunning) {
        step.action = WanAction::kOptimise;
        l.optimizeRunning = true;
      }
    }
  }
  l.connected = connectedNow;
  return step;
}
