// Requests from the router cloud: the message-arrived callback filters, names and dispatches
// each request; the handlers answer at once, queue a publish, or hand the request to the
// adaptation layer, the platform updater, configtool or a platform command. Runs on the MQTT
// library's callback thread.
#include <cstring>

#include "hbn_log.h"
#include "mqtt_request.h"
#include "router_cloud_internal.h"
#include "store_reader.h"

namespace {

// The payload printed, copied into the session's incoming buffer and parsed.
class Json : public hbn::RequestJson {
 public:
  Json(const char* func, RouterCloud* s, const void* payload, int length)
      : hbn::RequestJson(func, s->in, HBN_ROUTER_PAYLOAD_SIZE + 1, payload, length) {}
};

}  // namespace

// ---------------------------------------------------------------- what the shared handlers need

char* RouterCloud::incoming(size_t* capacity) {
  *capacity = HBN_ROUTER_PAYLOAD_SIZE + 1;
  return in;
}

void RouterCloud::queueUpload(hbn::ConfigDump which) {
  switch (which) {
    case hbn::kDumpInfo:
      HBN_cloud_sendConfigInfo(this);
      break;
    case hbn::kDumpServer:
      HBN_cloud_sendConfigServer(this);
      break;
    case hbn::kDumpUser:
      HBN_cloud_sendConfigUser(this);
      break;
  }
}

void RouterCloud::resetMqtt() { mqtt.disconnect(); }

int RouterCloud::firmwareUpdate(const char* url, const char* checksumUrl) {
  return active.load() && callbacks.firmwareUpdate != nullptr ? callbacks.firmwareUpdate(url, checksumUrl)
                                                              : 0;
}

int RouterCloud::certUpdate(const char* url, const char* checksumUrl) {
  return active.load() && callbacks.certUpdate != nullptr ? callbacks.certUpdate(url, checksumUrl) : 0;
}

void RouterCloud::publishConfigError(const char* name, const char* text, size_t length) {
  HBN_cloud_commMqttSendConfigError(this, name, text, length);
}

void RouterCloud::publishNetInfo(const char* name) { HBN_cloud_commMqttSendNetInfo(this, name); }

// ---------------------------------------------------------------- handlers

static void HBN_cloud_commMqttRecvConnected(RouterCloud* s) {
  HBN_LOG(HBN_LOG_DEBUG, "MQTT Request(connected)\n");
  HBN_cloud_commMqttSendConnected(s);
}

static void HBN_cloud_commMqttRecvConnectedVer(RouterCloud* s) {
  HBN_LOG(HBN_LOG_DEBUG, "MQTT Request(connected/version)\n");
  HBN_cloud_commMqttSendConnectedVer(s);
}

static void HBN_cloud_commMqttRecvConnectedTls(RouterCloud* s) {
  HBN_LOG(HBN_LOG_DEBUG, "MQTT Request(connected/tls)\n");
  HBN_cloud_commMqttSendConnectedTls(s);
}

static void HBN_cloud_commMqttRecvConnectedWan(RouterCloud* s) {
  HBN_LOG(HBN_LOG_DEBUG, "MQTT Request(connected/wanip)\n");
  HBN_cloud_commMqttSendConnectedWan(s);
}

static void HBN_cloud_commMqttRecvFwUpdate(RouterCloud* s, const void* payload, int length) {
  hbn::cloudRecvUpdate(__func__, *s, hbn::kFirmwareHandoff, payload, length);
}

static void HBN_cloud_commMqttRecvTlsUpdate(RouterCloud* s, const void* payload, int length) {
  hbn::cloudRecvUpdate(__func__, *s, hbn::kCertificateHandoff, payload, length);
}

static void HBN_cloud_commMqttRecvControl(RouterCloud* s, const void* payload, int length) {
  hbn::cloudRecvControl(__func__, *s, payload, length);
}

// "reboot" for "config/reboot", "noreboot" for "config/noreboot". 0 loaded, -1 not.
static int HBN_cloud_commMqttRecvConfigExecute(RouterCloud* s, const char* name, const void* payload,
                                               int length) {
  return hbn::cloudRecvConfigExecute(__func__, *s, name, payload, length);
}

static void HBN_cloud_commMqttRecvVersion(RouterCloud* s) {
  HBN_LOG(HBN_LOG_DEBUG, "MQTT Request(version info)\n");
  HBN_cloud_commMqttSendVersion(s);
}

static void HBN_cloud_commMqttRecvNetInfo(RouterCloud* s, const void* payload, int length) {
  hbn::cloudRecvNetInfo(__func__, *s, payload, length);
}

static void HBN_cloud_commMqttRecvLteInfo(RouterCloud* s, const void* payload, int length) {
  HBN_LOG(HBN_LOG_DEBUG, "MQTT Request(lteinfo)\n");
  hbn::dumpPayloadText(payload, length);
  Json json(__func__, s, payload, length);
  if (!json.ok()) return;
  int number = 0;
  if (!json.integer("no", "MQTT json parse(script no) fail\n", &number)) return;
  if (s->active.load() && s->callbacks.lteInfo != nullptr) s->callbacks.lteInfo(number);
}

static void HBN_cloud_commMqttRecvExecScript(RouterCloud* s, const void* payload, int length) {
  HBN_LOG(HBN_LOG_DEBUG, "MQTT Request(exec script)\n");
  hbn::dumpPayloadText(payload, length);
  Json json(__func__, s, payload, length);
  if (!json.ok()) return;
  int number = 0;
  if (!json.integer("no", "MQTT json parse(script no) fail\n", &number)) return;
  json.release();
  if (s->active.load() && s->callbacks.execScript != nullptr) s->callbacks.execScript(number);
}

void HBN_cloud_commMqttMsgarrvd(RouterCloud* s, const char* topic, int topicLength, const void* payload,
                                int length) {
  if (!hbn::mib::anyCloudEnabled()) return;
  hbn::dumpTopic(topic, topicLength);
  const char* name = nullptr;
  size_t n = 0;
  if (!hbn::requestName(topic, topicLength, &name, &n)) {
    HBN_LOG(HBN_LOG_WARN, "MQTT topic length under\n");
    return;
  }
  if (payload == nullptr) length = 0;
  if (hbn::nameIs(name, n, "connected")) {
    HBN_cloud_commMqttRecvConnected(s);
  } else if (hbn::nameIs(name, n, "connected/version")) {
    HBN_cloud_commMqttRecvConnectedVer(s);
  } else if (hbn::nameIs(name, n, "connected/tls")) {
    HBN_cloud_commMqttRecvConnectedTls(s);
  } else if (hbn::nameIs(name, n, "connected/wanip/", true)) {
    HBN_cloud_commMqttRecvConnectedWan(s);
  } else if (hbn::nameIs(name, n, "update/fw") || hbn::nameIs(name, n, "fwupdate")) {
    HBN_cloud_commMqttRecvFwUpdate(s, payload, length);
  } else if (hbn::nameIs(name, n, "update/tls")) {
    HBN_cloud_commMqttRecvTlsUpdate(s, payload, length);
  } else if (hbn::nameIs(name, n, "control")) {
    HBN_cloud_commMqttRecvControl(s, payload, length);
  } else if (hbn::nameIs(name, n, "config/reboot")) {
    HBN_cloud_commMqttRecvConfigExecute(s, "reboot", payload, length);
  } else if (hbn::nameIs(name, n, "config/noreboot")) {
    HBN_cloud_commMqttRecvConfigExecute(s, "noreboot", payload, length);
  } else if (hbn::nameIs(name, n, "version")) {
    HBN_cloud_commMqttRecvVersion(s);
  } else if (hbn::nameIs(name, n, "netinfo")) {
    HBN_cloud_commMqttRecvNetInfo(s, payload, length);
  } else if (hbn::nameIs(name, n, "lteinfo")) {
    HBN_cloud_commMqttRecvLteInfo(s, payload, length);
  } else if (hbn::nameIs(name, n, "script")) {
    HBN_cloud_commMqttRecvExecScript(s, payload, length);
  } else {
    HBN_LOG(HBN_LOG_WARN, "MQTT topic unknown\n");
  }
}
