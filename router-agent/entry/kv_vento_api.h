// Adaptation layer of the router agent between the program's entry (platform side) and the
// cloud sessions: start-up of the framework and the store, one cloud session per usable WAN
// with the platform callbacks registered, the WAN judgement, and the version string.
#pragma once

#include "wan_judge.h"

struct WanLinkState;

// The five platform callbacks, in this order.
struct KV_VENTO_api_interface_t {
  // A session's connection changed: `state` 1 connected, 0 not; `link` is that session's WAN.
  void (*cloudConnectNotice)(int state, WanLinkState* link);
  int (*firmwareUpdate)(const char* url, const char* checksumUrl);  // 1 handed over, 0 not
  int (*certUpdate)(const char* url, const char* checksumUrl);      // 1 handed over, 0 not
  int (*execScript)(int number);
  int (*lteInfo)(int number);
};

// Copies the table, starts the framework (local5 facility, managers) and the store, then reads
// the firmware version. Failures are logged and start-up goes on. 0.
int KV_VENTO_api_initialize(const KV_VENTO_api_interface_t* callbacks);
// Starts the main / sub session for WAN `type`, bound to `ifname` (null or "": no binding), with
// `link` as the context of its connection notices.
void KV_VENTO_api_startCloudMain(int type, const char* ifname, WanLinkState* link);
void KV_VENTO_api_startCloudSub(int type, const char* ifname, WanLinkState* link);
// Stops the sessions (sub first), then the framework.
void KV_VENTO_api_finalize();
// 1 when that session is connected, else 0.
int KV_VENTO_api_isCloudConnectMain();
int KV_VENTO_api_isCloudConnectSub();
// The firmware version read at initialise ("" before).
const char* KV_VENTO_api_getVersion();
