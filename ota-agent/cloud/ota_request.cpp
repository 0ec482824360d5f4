// Requests from the OTA server: the route table of the session and its handlers. Updates,
// control, configuration execute and network information are the router's handling
// (cloud_requests.h); version and LTE identity are the OTA agent's own. They run on the
// session's request worker.
#include <cstring>

#include "hbn_log.h"
#include "mqtt_request.h"
#include "ota_cloud_internal.h"
#include "ota_payload.h"
#include "store_reader.h"

namespace {

OtaCloud& cloudOf(hbn::CloudLink& link) { return static_cast<OtaCloud&>(link.agent()); }

}  // namespace

// ---------------------------------------------------------------- handlers

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
  HBN_cloud_commMqttSendVersion(link, cloudOf(link).firmwareVersion);
}

static void HBN_cloud_commMqttRecvLteInfo(hbn::CloudLink& link, const char*, size_t, const void*, int) {
  HBN_LOG(HBN_LOG_DEBUG, "MQTT Request(lteinfo)\n");
  OtaCloud& s = cloudOf(link);
  if (s.core.recvLteInfo != nullptr) s.core.recvLteInfo();
}

static void HBN_cloud_commMqttRecvNetInfo(hbn::CloudLink& link, const char*, size_t, const void* payload,
                                          int length) {
  hbn::cloudRecvNetInfo(__func__, cloudOf(link), payload, length);
}

const hbn::Route kOtaRoutes[] = {
    {"update/fw", false, HBN_cloud_commMqttRecvFwUpdate},
    {"fwupdate", false, HBN_cloud_commMqttRecvFwUpdate},
    {"update/tls", false, HBN_cloud_commMqttRecvTlsUpdate},
    {"control", false, HBN_cloud_commMqttRecvControl},
    {"config/reboot", false, HBN_cloud_commMqttRecvConfigExecute},
    {"config/noreboot", false, HBN_cloud_commMqttRecvConfigExecute},
    {"version", false, HBN_cloud_commMqttRecvVersion},
    {"lteinfo", false, HBN_cloud_commMqttRecvLteInfo},
    {"netinfo", false, HBN_cloud_commMqttRecvNetInfo},
};
const size_t kOtaRouteCount = sizeof kOtaRoutes / sizeof kOtaRoutes[0];

void HBN_cloud_commMqttMsgarrvd(OtaCloud* s, const char* topic, int topicLength, const void* payload,
                                int length) {
  if (!s->takesRequests()) return;
  s->link.route(topic, topicLength, payload, length);
}
