// bench_failover: the router agent in a simulated WAN world (root; run from the build's bin/),
// at time scale 1 with the shortest settings. Measures the time from cutting the main link to
// the FAIL OVER line and from restoring it to the FAIL BACK line, and sets each against what the
// settings promise:
//   MQTT mode  fail-over: checkSeconds .. checkSeconds + one 10 s pass after the loss is noticed
//              (the keep-alive of the session, up to 2 x 20 s, comes first and is shown apart);
//              fail-back: failbackSeconds .. failbackSeconds + one pass after the reconnect.
//   ping mode  fail-over: pingFailoverCount x pingInterval (+ probe time-outs) .. one pass more;
//              fail-back: pingFailbackCount x pingInterval .. one pass more.
//   bench_failover [mqtt|ping]   (default: both)
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "hbn_failover_box.h"
#include "hbn_wait.h"

namespace {

using Clock = std::chrono::steady_clock;

double since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

struct Times {
  double noticed = -1, over = -1, reconnected = -1, back = -1;
};

// Cuts eth0, waits for FAIL OVER, restores it, waits for FAIL BACK.
bool measure(hbntest::FailoverBox& box, bool mqtt, Times* t) {
  const size_t cutAt = box.lines().size();
  if (!box.world().cut("eth0").empty()) return false;
  Clock::time_point cut = Clock::now();
  if (mqtt) {
    if (box.waitLine(hbntest::FailoverBox::noticeLine(0, false), cutAt, 120000) < 0) return false;
    t->noticed = since(cut);
  }
  if (box.waitLine("KV_TX440:FAIL OVER!!!!!!", cutAt, 240000) < 0) return false;
  t->over = since(cut);
  const size_t restoreAt = box.lines().size();
  if (!box.world().restore("eth0").empty()) return false;
  Clock::time_point restored = Clock::now();
  if (mqtt) {
    if (box.waitLine(hbntest::FailoverBox::noticeLine(0, true), restoreAt, 120000) < 0) return false;
    t->reconnected = since(restored);
  }
  if (box.waitLine("KV_TX440:FAIL BACK!!!!!!", restoreAt, 240000) < 0) return false;
  t->back = since(restored);
  return true;
}

void verdict(const char* what, double measured, double from, double low, double high) {
  double value = measured - from;
  printf("  %-44s %7.2f s  promised %6.1f .. %6.1f s  %s\n", what, value, low, high,
         value >= low - 0.05 && value <= high + 0.5 ? "ok" : "OUT OF RANGE");
}

int run(bool mqtt) {
  hbntest::FailoverBox box;
  std::string problem = box.build({"eth0", "wwan0"});
  if (!problem.empty()) {
    fprintf(stderr, "bench_failover: %s\n", problem.c_str());
    return 1;
  }
  const std::string port = std::to_string(box.broker().port());
  hbntest::MibIds ids = {{"7144", "2"}, {"7155", "1"}, {"7157", "1"}, {"7159", mqtt ? "0" : "1"}};
  for (const auto& id : hbntest::wanBlockIds(0, box.server(), box.broker().port(), 1)) ids.push_back(id);
  for (const auto& id : hbntest::wanBlockIds(2, box.server(), box.broker().port(), 0)) ids.push_back(id);
  if (mqtt) {
    ids.insert(ids.end(), {{"7160", "1"}, {"7161", "1"}});
  } else {
    ids.insert(ids.end(),
               {{"7162", box.server()}, {"7163", "1"}, {"7164", "3"}, {"7165", "1"}, {"7166", "3"}});
  }
  problem = box.configure(ids);
  if (!problem.empty() || !box.start(1)) {
    fprintf(stderr, "bench_failover: %s\n", problem.empty() ? "agent did not start" : problem.c_str());
    return 1;
  }
  // Settled: MQTT mode, the main session connected and a pass seen; ping mode, a full run of
  // successes.
  const bool settled = mqtt ? box.waitLine(hbntest::FailoverBox::noticeLine(0, true), 0, 30000) >= 0 &&
                                  box.waitLine("KV_TX440:main is active=T", 0, 30000) >= 0
                            : box.waitLine("KV_TX440:count=3,0", 0, 30000) >= 0;
  if (!settled) {
    fprintf(stderr, "bench_failover: the agent did not settle\n");
    return 1;
  }
  Times t;
  if (!measure(box, mqtt, &t)) {
    fprintf(stderr, "bench_failover: a step did not happen\n%s\n", box.agentBox().out().c_str());
    return 1;
  }
  if (mqtt) {
    printf("MQTT mode (checkSeconds 60, failbackSeconds 60, pass 10 s, keep-alive 20 s)\n");
    printf("  %-44s %7.2f s\n", "cut -> main session notices the loss", t.noticed);
    verdict("loss noticed -> FAIL OVER", t.over, t.noticed, 60, 70);
    printf("  %-44s %7.2f s\n", "cut -> FAIL OVER", t.over);
    printf("  %-44s %7.2f s\n", "restore -> main session reconnected", t.reconnected);
    verdict("reconnected -> FAIL BACK", t.back, t.reconnected, 60, 70);
  } else {
    printf("ping mode (interval 1 s, fail-over count 3, fail-back count 3, probe time-out 1 s)\n");
    // Each failed probe waits out its 1 s time-out before the next 1 s interval.
    verdict("cut -> FAIL OVER", t.over, 0, 3 * 1 + 2 * 1, 3 * 2 + 2);
    verdict("restore -> FAIL BACK", t.back, 0, 2 * 1, 3 * 1 + 2);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (geteuid() != 0) {
    fprintf(stderr, "bench_failover: needs root (network namespaces)\n");
    return 1;
  }
  if (getenv("HBN_BUILD_BIN") == nullptr) {
    // The agent, sysconf and mibctl sit beside this program.
    std::string self(argv[0]);
    size_t slash = self.rfind('/');
    setenv("HBN_BUILD_BIN", slash == std::string::npos ? "." : self.substr(0, slash).c_str(), 1);
  }
  const char* which = argc > 1 ? argv[1] : "";
  int rc = 0;
  if (strcmp(which, "mqtt") != 0) rc |= run(false);
  if (strcmp(which, "ping") != 0) rc |= run(true);
  return rc;
}
