// State of the router agent's WAN links for fail-over and fail-back: one record per link (main
// and sub) updated by the sessions' connection notices, and the process-wide fail-over state.
// The link handlers run on the MQTT library's callback threads, the check threads on their own;
// every shared word is atomic, and time stamps are on the (test-scalable) monotonic clock.
#pragma once
#include <atomic>
#include <cstdint>

#include "hbn_os.h"
#include "wan_judge.h"

struct WanLinkState {
  uint8_t isMain = 0;  // 1 for the main record, 0 for the sub record
  int32_t type = WAN_TYPE_NONE;
  char ifname[WAN_IFNAME_SIZE] = {0};
  std::atomic<uint8_t> connected{0};       // state at the last notice
  std::atomic<uint8_t> firstConnected{0};  // set at the first connected notice, never cleared
  int32_t checkSeconds = 0;                // link check time, 0 = off
  int32_t optimize = 0;                    // non-zero: run the optimisation script on long outages
  std::atomic<uint8_t> optimizeRunning{0};
  HBN_thread_t* optimiser = nullptr;         // the thread of the latest optimisation run
  std::atomic<int64_t> connectedSinceMs{0};  // scaled monotonic milliseconds of the last changes
  std::atomic<int64_t> disconnectedSinceMs{0};
};

// The process's fail-over settings and state, filled from the WAN judgement at start.
struct WanFailoverState {
  int isDual = 0;
  std::atomic<uint8_t> mainActive{1};  // 1 while the main WAN carries the traffic
  int32_t failoverEnable = 0;
  int32_t checkMethod = 0;
  int32_t failbackEnable = 0;
  int32_t failbackSeconds = 0;
  char pingHost[WAN_PING_HOST_SIZE] = {0};
  int32_t pingInterval = 0;
  int32_t pingFailoverCount = 0;
  int32_t pingFailbackCount = 0;
};

// The process's records (main, sub) and fail-over state.
WanFailoverState& wanFailoverState();
WanLinkState& wanMainLink();
WanLinkState& wanSubLink();

// Connection notice of one link (`state` 1 connected, 0 not), as the single-WAN or dual-WAN
// handler decides by the process state.
void wanLinkSingleHandler(int state, WanLinkState* link);
void wanLinkDualHandler(int state, WanLinkState* link);
// Waits for the optimisation runs in progress and joins their threads (at the agent's end).
void wanStopOptimisations();

// Whole seconds since a time stamp of the link records.
int64_t wanSecondsSince(int64_t stampMs);
// The stamp for now.
int64_t wanNowMs();
