// The rules of fail-over and fail-back, and of a link's recovery, as pure steps: each takes the
// time, what was observed and the settings, and says what to do. The threads and handlers around
// them (wan_check, wan_link) only feed them and carry out their answer.
#pragma once
#include <cstdint>

enum class WanAction {
  kNone,
  kFailOver,  // switch to the sub WAN
  kFailBack,  // switch back to the main WAN
  kOptimise,  // run the LTE optimisation script on the link
  kExit,      // end the process with status 1, so that the platform starts it afresh
};

// ---- MQTT-state check: one pass every 10 s.
struct MqttCheckInput {
  int64_t nowMs = 0;
  bool mainFirstConnected = false;
  bool mainConnected = false;
  bool mainActive = true;  // the main WAN carries the traffic
  int64_t mainConnectedSinceMs = 0;
  int64_t mainDisconnectedSinceMs = 0;
  int32_t checkSeconds = 0;     // main link check time
  int32_t failbackSeconds = 0;  // connected this long before failing back
};
struct MqttCheckDecision {
  WanAction action = WanAction::kNone;
  // The pass looked at a time ("1:diff" while failed over and the main link is connected, "2:diff"
  // while active and it is not), and how long it was in whole seconds.
  int diffKind = 0;  // 0 none, 1 or 2
  long diffSeconds = 0;
};
MqttCheckDecision mqttCheckStep(const MqttCheckInput& in);

// ---- Ping check: one echo a pass; the runs of successes and failures since the first success.
struct PingCounts {
  bool started = false;  // a success was seen; failures before it do not count
  int successes = 0;
  int failures = 0;
  int64_t firstSuccessMs = 0;  // of the current run of successes
  int64_t firstFailureMs = 0;  // of the current run of failures
};
struct PingSettings {
  int failoverCount = 1;  // below 1 acts as 1
  int failbackCount = 1;
  bool failbackEnable = false;
};
// Counts one probe (`ok` at `probeMs`) and decides. A failure before the first success changes
// nothing and decides nothing (`counted` false).
struct PingDecision {
  WanAction action = WanAction::kNone;
  bool counted = false;
  // The runs as this probe made them, before a run is clamped to its count (what the console
  // shows: "count=%d,%d").
  int successes = 0;
  int failures = 0;
};
PingDecision pingStep(PingCounts& counts, bool ok, int64_t probeMs, bool mainActive,
                      const PingSettings& settings);

// ---- A link's connection notice: what the link remembers and what the notice makes of it.
struct LinkView {
  bool connected = false;
  bool firstConnected = false;
  int64_t connectedSinceMs = 0;
  int64_t disconnectedSinceMs = 0;
  int32_t checkSeconds = 0;  // 0: no link check
  int32_t optimize = 0;      // non-zero: recover by the optimisation script, not by an exit
  bool optimizeRunning = false;
};
struct LinkSettings {
  bool dual = false;  // dual WAN: with fail-over the check thread handles outages
  bool failoverEnable = false;
};
struct LinkStep {
  LinkView next;
  WanAction action = WanAction::kNone;  // kOptimise or kExit (or none)
  bool clearDisconnectMarker = false;   // the link came back: "/var/lte_m3_disconnect.inf" goes
  bool updated = true;                  // false: the notice changed nothing at all
};
LinkStep linkNoticeStep(const LinkView& link, bool connectedNow, int64_t nowMs, const LinkSettings& settings);
