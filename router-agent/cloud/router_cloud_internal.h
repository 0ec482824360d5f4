// The router agent's session record: its cloud link, the WAN it is bound to, its announce and
// keep-alive timers and the adaptation layer's callbacks. Internal to router-agent/cloud.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "cloud_link.h"
#include "cloud_requests.h"
#include "device_info.h"
#include "router_cloud.h"

enum {
  ROUTER_IFNAME_SIZE = 33,
};

struct RouterCloud : hbn::LinkAgent, hbn::CloudRequestHost {
  RouterCloud(int wanType, const char* interfaceName);

  int type = 0;
  char ifname[ROUTER_IFNAME_SIZE] = {0};
  char threadName[16] = {0};
  char workerName[16] = {0};
  char firmwareVersion[hbn::kFirmwareVersionSize] = {0};
  std::atomic<int> announced{0};
  int keepAlive = -1;  // seconds between keep-alive publishes, -1 disabled

  // Registered by the adaptation layer; `active` is set once the table is in place.
  HBN_cloud_callbacks_t callbacks{};
  void* context = nullptr;
  std::atomic<bool> active{false};

  // The session thread's timers (monotonic milliseconds on the test time scale).
  long long startMs = 0;
  long long announceDelayMs = 0;
  long long jitterMs = 0;
  long long keepAliveRefMs = -1;

  hbn::CloudLink link;

  // The link's hooks (router_cloud.cpp).
  bool loadSettings(hbn::CloudLink& link) override;
  void connect(hbn::CloudLink& link) override;
  void connectSuccess(hbn::CloudLink& link) override;
  void connectFailure(hbn::CloudLink& link) override;
  void connectionLost(hbn::CloudLink& link) override;
  bool takesRequests() override;
  void dispatch(hbn::CloudLink& link, const hbn::LinkMessage& message) override;
  void tick(hbn::CloudLink& link) override;

  // What the request handling shared with the OTA agent needs (router_request.cpp).
  char* incoming(size_t* capacity) override;
  void queueUpload(hbn::ConfigDump which) override;
  void resetMqtt() override;
  int firmwareUpdate(const char* url, const char* checksumUrl) override;
  int certUpdate(const char* url, const char* checksumUrl) override;
  void publishConfigError(const char* name, const char* text, size_t length) override;
  void publishNetInfo(const char* name) override;
};

// Calls the adaptation's connection callback (0 connected, 1 not) when registered.
void routerNotify(RouterCloud* cloud, int state);

// The request routes of a session (router_request.cpp).
extern const hbn::Route kRouterRoutes[];
extern const size_t kRouterRouteCount;

// The message-arrived handling as the library's callback and the worker run it together: the
// cloud-enable filter, then the route of the request (tests and fuzz harnesses call it).
void HBN_cloud_commMqttMsgarrvd(RouterCloud* cloud, const char* topic, int topicLength, const void* payload,
                                int length);
