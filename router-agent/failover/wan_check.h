// The network check thread of dual-WAN operation: fail over from the main WAN to the sub WAN
// when the main one fails and back when it recovers, judged by the main session's MQTT state or
// by ICMP echoes through the main interface (the rules: failover_rules.h). It runs until
// wanStopCheck().
#pragma once
#include <cstdint>

// MQTT-mode check: every 10 s, from the main link's connection state and time stamps.
void wanStartMqttCheck();
// Ping-mode check: every ping interval, one echo to the ping host through the main interface.
// Not started (a warning is logged) when the ping host is empty: there is nothing to probe then.
void wanStartPingCheck();
// Stops the check thread and joins it (its pass in progress ends first). Nothing without one.
void wanStopCheck();

// The pause of one check pass of `seconds` (the ping interval; 10 for the MQTT mode) in
// milliseconds on the test time scale: at least a second, at most HBN_TIME_MAX_SECONDS.
long wanPassMs(int32_t seconds);

// Why a switch happens, for the operator's log line.
struct WanSwitchCause {
  const char* trigger;  // "MQTT state" or "ping counts"
  char detail[96];      // what the trigger saw, e.g. "main disconnected 62 s >= 60 s"
  int64_t downSeconds;  // how long the main link was down (so far, or until it came back)
};

// The WAN switch: over to the sub WAN (`toSub`) or back to the main WAN. Logs the switch
// (level 1: direction, trigger, how long the main link was down), creates or removes
// "/var/failover.inf" and runs "/bin/sysconf switch_wan <from> <to>" through the shell, whose
// result is not examined; a switch still running after 30 s (HBN_time_scaledBound) is ended and
// logged ("command timeout:<command line>", error). Called by the check threads only.
void wanSwitch(bool toSub, const WanSwitchCause& cause);
