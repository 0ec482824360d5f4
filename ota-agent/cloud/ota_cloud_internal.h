// The OTA agent's session record: its cloud link and what the request handlers need of the
// agent (the core's table, the firmware version). Internal to ota-agent/cloud.
#pragma once
#include <cstddef>

#include "cloud_link.h"
#include "cloud_requests.h"
#include "device_info.h"
#include "ota_cloud.h"

struct OtaCloud : hbn::LinkAgent, hbn::CloudRequestHost {
  explicit OtaCloud(const hbn::LinkSpec& spec) : link(spec, *this) {}
  hbn::CloudLink link;
  HBN_core_interface_t core{};
  char firmwareVersion[hbn::kFirmwareVersionSize] = {0};

  // The link's hooks (ota_cloud.cpp).
  bool loadSettings(hbn::CloudLink& link) override;
  void connectSuccess(hbn::CloudLink& link) override;
  void connectFailure(hbn::CloudLink& link) override;
  void connectionLost(hbn::CloudLink& link) override;
  bool takesRequests() override;
  void dispatch(hbn::CloudLink& link, const hbn::LinkMessage& message) override;

  // What the shared request handlers need (ota_request.cpp).
  char* incoming(size_t* capacity) override;
  void queueUpload(hbn::ConfigDump which) override;
  void resetMqtt() override;
  int firmwareUpdate(const char* url, const char* checksumUrl) override;
  int certUpdate(const char* url, const char* checksumUrl) override;
  void publishConfigError(const char* name, const char* text, size_t length) override;
  void publishNetInfo(const char* ifname) override;
};

// What the session's link is made of (ota_cloud.cpp).
hbn::LinkSpec otaLinkSpec();

// The request routes of the session (ota_request.cpp).
extern const hbn::Route kOtaRoutes[];
extern const size_t kOtaRouteCount;

// The message-arrived handling as the library's callback and the worker run it together: the
// cloud-enable filter, then the route of the request (tests and fuzz harnesses call it).
void HBN_cloud_commMqttMsgarrvd(OtaCloud* cloud, const char* topic, int topicLength, const void* payload,
                                int length);
