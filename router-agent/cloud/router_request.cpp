// Requests from the router cloud: the route table of a session and its handlers. They answer at
// once, queue a publish, or hand the request to the adaptation layer, the platform updater,
// configtool or a platform command. They run on the session's request worker.
#include <cstring>

#include "hbn_log.h"
#include "mqtt_request.h"
#include "router_cloud_internal.h"
#include "router_payload.h"
#include "store_reader.h"

namespace {

RouterCloud& cloudOf(hbn::CloudLink& link) { return static_cast<RouterCloud&>(link.agent()); }

RouterFacts factsOf(const RouterCloud& s) { return RouterFacts{s.ifname, s.firmwareVersion}; }

// The payload copied into the session's incoming buffer and parsed.
class Json : public hbn::RequestJson {
 public:
  Json(const char* func, RouterCloud& s, const void* payload, int length)
      : Json(func, payload, length, incomingOf(s.link)) {}

 private:
  struct Buffer {
    char* data;
    size_t size;
  };
  static Buffer incomingOf(hbn::CloudLink& link) {
    Buffer b{nullptr, 0};
    b.data = link.incoming(&b.size);
    return b;
  }
  Json(const char* func, const void* payload, int length, Buffer b)
      : hbn::RequestJson(func, b.data, b.size, payload, length) {}
};

}  // namespace

// ---------------------------------------------------------------- handlers

static void HBN_cloud_commMqttRecvConnected(hbn::CloudLink& link, const char*, size_t, const void*, int) {
  HBN_LOG(HBN_LOG_DEBUG, "MQTT Request(connected)\n");
  HBN_cloud_commMqttSendConnected(link, factsOf(cloudOf(link)));
}

static void HBN_cloud_commMqttRecvConnectedVer(hbn::CloudLink& link, const char*, size_t, const void*, int) {
  HBN_LOG(HBN_LOG_DEBUG, "MQTT Request(connected/version)\n");
  HBN_cloud_commMqttSendConnectedVer(link, factsOf(cloudOf(link)));
}

static void HBN_cloud_commMqttRecvConnectedTls(hbn::CloudLink& link, const char*, size_t, const void*, int) {
  HBN_LOG(HBN_LOG_DEBUG, "MQTT Request(connected/tls)\n");
  HBN_cloud_commMqttSendConnectedTls(link);
}

static void HBN_cloud_commMqttRecvConnectedWan(hbn::CloudLink& link, const char*, size_t, const void*, int) {
  HBN_LOG(HBN_LOG_DEBUG, "MQTT Request(connected/wanip)\n");
  HBN_cloud_commMqttSendConnectedWan(link, factsOf(cloudOf(link)));
}

static void HBN_cloud_commMqttRecvFwUpdate(hbn::CloudLink& link, const char*, size_t, const void* payload,
                                           int length) {
  hbn::cloudRecvUpdate(__func__, cloudOf(link), hbn::kFirmwareHandoff, payload, length);
}

static void HBN_cloud_commMqttRecvTlsUpdate(hbn::CloudLink& link, const char*, size_t, const void* payload,
                                            int length) {
  hbn::cloudRecvUpdate(__func__, cloudOf(link), hbn::kCertificateHandoff, payload, length);
}

static void HBN_cloud_commMqttRecvControl(hbn::CloudLink& link, const char*, size_t, const void* payload,
                                          int length) {
  hbn::cloudRecvControl(__func__, cloudOf(link), payload, length);
}

// "reboot" for "config/reboot", "noreboot" for "config/noreboot".
static void HBN_cloud_commMqttRecvConfigExecute(hbn::CloudLink& link, const char* name, size_t nameLength,
                                                const void* payload, int length) {
  const char* kind = hbn::nameIs(name, nameLength, "config/reboot") ? "reboot" : "noreboot";
  hbn::cloudRecvConfigExecute(__func__, cloudOf(link), kind, payload, length);
}

static void HBN_cloud_commMqttRecvVersion(hbn::CloudLink& link, const char*, size_t, const void*, int) {
  HBN_LOG(HBN_LOG_DEBUG, "MQTT Request(version info)\n");
  HBN_cloud_commMqttSendVersion(link, factsOf(cloudOf(link)));
}

static void HBN_cloud_commMqttRecvNetInfo(hbn::CloudLink& link, const char*, size_t, const void* payload,
                                          int length) {
  hbn::cloudRecvNetInfo(__func__, cloudOf(link), payload, length);
}

static void HBN_cloud_commMqttRecvLteInfo(hbn::CloudLink& link, const char*, size_t, const void* payload,
                                          int length) {
  HBN_LOG(HBN_LOG_DEBUG, "MQTT Request(lteinfo)\n");
  hbn::dumpPayloadText(payload, length);
  RouterCloud& s = cloudOf(link);
  Json json(__func__, s, payload, length);
  if (!json.ok()) return;
  int number = 0;
  if (!json.integer("no", "MQTT json parse(script no) fail\n", &number)) return;
  if (s.active.load() && s.callbacks.lteInfo != nullptr) s.callbacks.lteInfo(number);
}

static void HBN_cloud_commMqttRecvExecScript(hbn::CloudLink& link, const char*, size_t, const void* payload,
                                             int length) {
  HBN_LOG(HBN_LOG_DEBUG, "MQTT Request(exec script)\n");
  hbn::dumpPayloadText(payload, length);
  RouterCloud& s = cloudOf(link);
  Json json(__func__, s, payload, length);
  if (!json.ok()) return;
  int number = 0;
  if (!json.integer("no", "MQTT json parse(script no) fail\n", &number)) return;
  json.release();
  if (s.active.load() && s.callbacks.execScript != nullptr) s.callbacks.execScript(number);
}

const hbn::Route kRouterRoutes[] = {
    {"connected", false, HBN_cloud_commMqttRecvConnected},
    {"connected/version", false, HBN_cloud_commMqttRecvConnectedVer},
    {"connected/tls", false, HBN_cloud_commMqttRecvConnectedTls},
    {"connected/wanip/", true, HBN_cloud_commMqttRecvConnectedWan},
    {"update/fw", false, HBN_cloud_commMqttRecvFwUpdate},
    {"fwupdate", false, HBN_cloud_commMqttRecvFwUpdate},
    {"update/tls", false, HBN_cloud_commMqttRecvTlsUpdate},
    {"control", false, HBN_cloud_commMqttRecvControl},
    {"config/reboot", false, HBN_cloud_commMqttRecvConfigExecute},
    {"config/noreboot", false, HBN_cloud_commMqttRecvConfigExecute},
    {"version", false, HBN_cloud_commMqttRecvVersion},
    {"netinfo", false, HBN_cloud_commMqttRecvNetInfo},
    {"lteinfo", false, HBN_cloud_commMqttRecvLteInfo},
    {"script", false, HBN_cloud_commMqttRecvExecScript},
};
const size_t kRouterRouteCount = sizeof kRouterRoutes / sizeof kRouterRoutes[0];

void HBN_cloud_commMqttMsgarrvd(RouterCloud* s, const char* topic, int topicLength, const void* payload,
                                int length) {
  if (!s->takesRequests()) return;
  s->link.route(topic, topicLength, payload, length);
}
