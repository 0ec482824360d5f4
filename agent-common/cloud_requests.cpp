#include "cloud_requests.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "hbn_log.h"
#include "mqtt_request.h"

namespace hbn {

namespace {

// Platform commands of the "reboot" control kinds; null for the kinds without one. Only the
// reboot goes on when the agent ends first.
struct ControlKind {
  const char* kind;
  const char* command;
  CommandLife life;
};
const ControlKind kRebootKinds[] = {
    {"all", "reboot", CommandLife::kOutlivesCaller},
    {"hard_reset", "auxlink -r", CommandLife::kEndsWithCaller},
    {"ipsec_reset", "sysconf conn l2tp_ipsec reconfig", CommandLife::kEndsWithCaller},
    {"l2tp_reset", "sysconf conn l2tp_ipsec reconfig", CommandLife::kEndsWithCaller},
    {"l2tpOverIpsec_reset", "sysconf conn l2tp_ipsec reconfig", CommandLife::kEndsWithCaller},
    {"lte_module", "kv_lte_reset.sh", CommandLife::kEndsWithCaller},
};

// Kinds are compared with their whole JSON length: "all" followed by a NUL and more text is no
// kind at all. The log lines show such a kind whole, the NUL escaped.
void controlReboot(const char* func, CloudRequestHost& host, const char* kind, size_t length) {
  const std::string shown = printableText(kind, length);
  HBN_log_printAt(HBN_LOG_DEBUG, func, __LINE__, "MQTT Request(reboot):kind=[%s]\n", shown.c_str());
  for (const ControlKind& k : kRebootKinds) {
    if (nameIs(kind, length, k.kind)) {
      runControlCommand(func, k.command, k.life);
      return;
    }
  }
  if (nameIs(kind, length, "mqtt_reset")) {
    host.resetMqtt();
  } else if (!nameIs(kind, length, "soft_reset")) {
    HBN_log_printAt(HBN_LOG_ERROR, func, __LINE__, "MQTT Request(param unknown):kind=[%s]\n", shown.c_str());
  }
}

void controlUpload(const char* func, CloudRequestHost& host, const char* kind, size_t length) {
  const std::string shown = printableText(kind, length);
  HBN_log_printAt(HBN_LOG_DEBUG, func, __LINE__, "MQTT Request(upload):kind=[%s]\n", shown.c_str());
  if (nameIs(kind, length, "config")) {
    host.queueUpload(kDumpInfo);
    host.queueUpload(kDumpServer);
    host.queueUpload(kDumpUser);
  } else if (nameIs(kind, length, "config-info")) {
    host.queueUpload(kDumpInfo);
  } else if (nameIs(kind, length, "config-server")) {
    host.queueUpload(kDumpServer);
  } else if (nameIs(kind, length, "config-user")) {
    host.queueUpload(kDumpUser);
  } else {
    HBN_log_printAt(HBN_LOG_ERROR, func, __LINE__, "MQTT Request(param unknown):kind=[%s]\n", shown.c_str());
  }
}

}  // namespace

void cloudRecvUpdate(const char* func, CloudRequestHost& host, HandoffKind kind, const void* payload,
                     int length) {
  const char* what = kind == kCertificateHandoff ? "cert update" : "fw update";
  HBN_log_printAt(HBN_LOG_DEBUG, func, __LINE__, "MQTT Request(%s)\n", what);
  dumpPayloadText(payload, length);
  size_t capacity = 0;
  char* buffer = host.incoming(&capacity);
  RequestJson json(func, buffer, capacity, payload, length, false);
  if (!json.ok()) return;
  const char* url = json.string("download_url", "MQTT json parse(download_url) fail\n");
  if (url == nullptr) return;
  HBN_log_printAt(HBN_LOG_DEBUG, func, __LINE__, "MQTT Request(%s):url=[%s]\n", what, url);
  const char* checksum = json.string("checksum_url", "MQTT json parse(checksum_url) fail\n");
  if (checksum == nullptr) return;
  HBN_log_printAt(HBN_LOG_DEBUG, func, __LINE__, "MQTT Request(%s):urlt=[%s]\n", what, checksum);
  if (kind == kCertificateHandoff)
    host.certUpdate(url, checksum);
  else
    host.firmwareUpdate(url, checksum);
}

void cloudRecvControl(const char* func, CloudRequestHost& host, const void* payload, int length) {
  HBN_log_printAt(HBN_LOG_DEBUG, func, __LINE__, "MQTT Request(control)\n");
  dumpPayloadText(payload, length);
  size_t capacity = 0;
  char* buffer = host.incoming(&capacity);
  RequestJson json(func, buffer, capacity, payload, length, false);
  if (!json.ok()) return;
  // The kind is the member's text whatever its JSON type ({"reboot":true} is kind "true", an
  // unknown one), and "reboot" wins whenever it is there.
  size_t rebootLength = 0, uploadLength = 0;
  const char* reboot = json.anyText("reboot", &rebootLength);
  const char* upload = reboot ? nullptr : json.anyText("upload", &uploadLength);
  if (reboot == nullptr && upload == nullptr) {
    HBN_log_printAt(HBN_LOG_WARN, func, __LINE__, "MQTT json parse(reboot or upload) fail\n");
    return;
  }
  if (reboot != nullptr)
    controlReboot(func, host, reboot, rebootLength);
  else
    controlUpload(func, host, upload, uploadLength);
}

int cloudRecvConfigExecute(const char* func, CloudRequestHost& host, const char* name, const void* payload,
                           int length) {
  dumpPayloadText(payload, length);
  size_t capacity = 0;
  char* buffer = host.incoming(&capacity);
  bool server = false;
  {
    RequestJson json(func, buffer, capacity, payload, length, false);
    if (!json.ok()) return -1;
    server = json.has("setting_server");
  }
  char topic[32];
  snprintf(topic, sizeof topic, "config/%s/err", name);
  // The request is on file before the error document is read: its buffer takes the document.
  long errorLength = 0;
  ConfigLoad result = runConfigLoad(func, payload, length, server, topic, buffer, capacity, &errorLength);
  if (result == kLoadRefused) {
    host.publishConfigError(name, buffer, static_cast<size_t>(errorLength));
    return -1;
  }
  if (result != kLoadDone) {
    // The cloud learns that the load did not happen, in a document it knows.
    host.publishConfigError(name, kLoadNotDoneDocument, strlen(kLoadNotDoneDocument));
    return -1;
  }
  if (strcmp(name, "reboot") == 0) runControlCommand(func, "reboot", CommandLife::kOutlivesCaller);
  return 0;
}

void cloudRecvNetInfo(const char* func, CloudRequestHost& host, const void* payload, int length) {
  dumpPayloadText(payload, length);
  size_t capacity = 0;
  char* buffer = host.incoming(&capacity);
  RequestJson json(func, buffer, capacity, payload, length, false);
  if (!json.ok()) return;
  const char* ifname = json.string("ifname", "MQTT json parse(ifname) fail\n");
  if (ifname == nullptr) return;
  HBN_log_printAt(HBN_LOG_DEBUG, func, __LINE__, "MQTT Request(ifname):url=[%s]\n", ifname);
  host.publishNetInfo(ifname);
}

}  // namespace hbn
