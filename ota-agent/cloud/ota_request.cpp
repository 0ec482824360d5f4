// Requests from the OTA server: the message-arrived callback filters, names and dispatches each
// request. Updates, control, configuration execute and network information are the router's
// handling (cloud_requests.h); version and LTE identity are the OTA agent's own. Runs on the
// MQTT library's callback thread.
#include <cstring>

#include "hbn_log.h"
#include "mqtt_request.h"
#include "ota_cloud_internal.h"

// ---------------------------------------------------------------- what the shared handlers need

char* OtaCloud::incoming(size_t* capacity) {
  *capacity = HBN_OTA_PAYLOAD_SIZE + 1;
  return in;
}

void OtaCloud::queueUpload(hbn::ConfigDump which) {
  switch (which) {
    case hbn::kDumpInfo:
      HBN_cloud_sendConfigInfo();
      break;
    case hbn::kDumpServer:
      HBN_cloud_sendConfigServer();
      break;
    case hbn::kDumpUser:
      HBN_cloud_sendConfigUser();
      break;
  }
}

void OtaCloud::resetMqtt() {
  mqtt.disconnect();
  // The thread may be waiting in its queue: wake it so it connects again at once.
  otaQueue("HBN_cloud_commMqttRecvControl", this, HBN_OTA_KIND_LOST);
}

int OtaCloud::firmwareUpdate(const char* url, const char* checksumUrl) {
  return core.recvFwUpdate != nullptr ? core.recvFwUpdate(url, checksumUrl) : 0;
}

int OtaCloud::certUpdate(const char* url, const char* checksumUrl) {
  return core.recvCertUpdate != nullptr ? core.recvCertUpdate(url, checksumUrl) : 0;
}

void OtaCloud::publishConfigError(const char* name, const char* text, size_t length) {
  HBN_cloud_commMqttSendConfigError(this, name, text, length);
}

void OtaCloud::publishNetInfo(const char* ifname) {
  HBN_cloud_commMqttSendNetInfo(this, ifname, answer, sizeof answer);
}

// ---------------------------------------------------------------- handlers

static void HBN_cloud_commMqttRecvFwUpdate(OtaCloud* s, const void* payload, int length) {
  hbn::cloudRecvUpdate(__func__, *s, hbn::kFirmwareHandoff, payload, length);
}

static void HBN_cloud_commMqttRecvTlsUpdate(OtaCloud* s, const void* payload, int length) {
  hbn::cloudRecvUpdate(__func__, *s, hbn::kCertificateHandoff, payload, length);
}

static void HBN_cloud_commMqttRecvControl(OtaCloud* s, const void* payload, int length) {
  hbn::cloudRecvControl(__func__, *s, payload, length);
}

static int HBN_cloud_commMqttRecvConfigExecute(OtaCloud* s, const char* name, const void* payload,
                                               int length) {
  return hbn::cloudRecvConfigExecute(__func__, *s, name, payload, length);
}

static void HBN_cloud_commMqttRecvVersion(OtaCloud* s) {
  HBN_LOG(HBN_LOG_DEBUG, "MQTT Request(version info)\n");
  HBN_cloud_commMqttSendVersion(s, s->answer, sizeof s->answer);
}

static void HBN_cloud_commMqttRecvLteInfo(OtaCloud* s) {
  HBN_LOG(HBN_LOG_DEBUG, "MQTT Request(lteinfo)\n");
  if (s->core.recvLteInfo != nullptr) s->core.recvLteInfo();
}

static void HBN_cloud_commMqttRecvNetInfo(OtaCloud* s, const void* payload, int length) {
  hbn::cloudRecvNetInfo(__func__, *s, payload, length);
}

void HBN_cloud_commMqttMsgarrvd(OtaCloud* s, const char* topic, int topicLength, const void* payload,
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
  if (hbn::nameIs(name, n, "update/fw") || hbn::nameIs(name, n, "fwupdate")) {
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
  } else if (hbn::nameIs(name, n, "lteinfo")) {
    HBN_cloud_commMqttRecvLteInfo(s);
  } else if (hbn::nameIs(name, n, "netinfo")) {
    HBN_cloud_commMqttRecvNetInfo(s, payload, length);
  } else {
    HBN_LOG(HBN_LOG_WARN, "MQTT topic unknown\n");
  }
}
