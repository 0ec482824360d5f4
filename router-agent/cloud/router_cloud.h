// The router agent's cloud sessions: one MQTT session per WAN, bound to that WAN's interface,
// with its settings from the WAN type's block of the configuration store. Each session has its
// own thread "cloud-mqtt", pool and send queue; requests are handled on the MQTT library's
// callback thread, queued publishes on the session thread.
#pragma once
#include <cstdint>

struct RouterCloud;

// What a session reports to the adaptation layer, with the context given at registration.
struct HBN_cloud_callbacks_t {
  void (*connection)(int state, void* context);  // 0 connected, 1 not connected
  int (*firmwareUpdate)(const char* url, const char* checksumUrl);
  int (*certUpdate)(const char* url, const char* checksumUrl);
  int (*execScript)(int number);
  int (*lteInfo)(int number);
};

enum {
  HBN_ROUTER_BUF_COUNT = 8,
  HBN_ROUTER_BUF_SIZE = 4096,
  HBN_ROUTER_PAYLOAD_SIZE = 65536,  // outgoing payload and incoming copy
};

// Send queue kinds of a session (all parameters 0, no buffer).
enum {
  HBN_ROUTER_KIND_CONNECTED = 0,
  HBN_ROUTER_KIND_VERSION = 1,
  HBN_ROUTER_KIND_KEEPALIVE = 2,
  HBN_ROUTER_KIND_CONFIG_INFO = 4,
  HBN_ROUTER_KIND_CONFIG_SERVER = 5,
  HBN_ROUTER_KIND_CONFIG_USER = 6,
  HBN_ROUTER_KIND_LOST = 7,    // wakes the thread only
  HBN_ROUTER_KIND_FINISH = 8,  // wakes the thread for its exit
};

// Creates a session for WAN `type` bound to `ifname` (null or "" for no binding): pool, queue and
// thread. Null on failure, with what was made undone.
RouterCloud* HBN_cloud_initialize(int type, const char* ifname);
// Stops the thread, ends the MQTT session, frees queue, pool and session. Null: nothing.
void HBN_cloud_finalize(RouterCloud* cloud);
// Registers the callback table (copied) and its context; the session calls it from then on.
void HBN_cloud_setCallbacks(RouterCloud* cloud, const HBN_cloud_callbacks_t* callbacks, void* context);
// 1 when the session is connected, else 0.
int HBN_cloud_isConnected(RouterCloud* cloud);

// Queue a publish for the session thread ("CLOUD send queue push fail\n" on failure).
void HBN_cloud_sendConnected(RouterCloud* cloud);
void HBN_cloud_sendVersion(RouterCloud* cloud);
void HBN_cloud_sendKeepAlive(RouterCloud* cloud);
void HBN_cloud_sendConfigInfo(RouterCloud* cloud);
void HBN_cloud_sendConfigServer(RouterCloud* cloud);
void HBN_cloud_sendConfigUser(RouterCloud* cloud);

// The power-on time (wall clock) once the clock was found synchronised, shared by both sessions;
// 0 while not known.
int64_t HBN_cloud_powerOnTime();
