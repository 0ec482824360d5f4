// Requests from the router cloud: the message-arrived callback filters, names and dispatches
// each request; the handlers answer at once, queue a publish, or hand the request to the
// adaptation layer, the platform updater, configtool or a platform command. Runs on the MQTT
// library's callback thread.
#include <cstring>

#include "config_work.h"
#include "hbn_log.h"
#include "mqtt_request.h"
#include "router_cloud_internal.h"
#include "store_reader.h"

namespace {

// The request name: what follows the third "/" of the topic (`length` bytes, not terminated),
// in place. False when the topic is 5 characters or shorter, has fewer than three "/" or
// nothing after the third.
bool requestName(const char* topic, int length, const char** name, size_t* nameLength) {
  if (length <= 5) return false;
  int slashes = 0;
  int at = 0;
  while (at < length && slashes < 3)
    if (topic[at++] == '/') ++slashes;
  if (slashes < 3 || at >= length) return false;
  *name = topic + at;
  *nameLength = static_cast<size_t>(length - at);
  return true;
}

// The name is `text` (whole), or begins with it (`prefix`).
bool nameIs(const char* name, size_t length, const char* text, bool prefix = false) {
  size_t n = strlen(text);
  return (prefix ? length >= n : length == n) && memcmp(name, text, n) == 0;
}

// The payload printed, copied into the session's incoming buffer and parsed.
class Json : public hbn::RequestJson {
 public:
  Json(const char* func, RouterCloud* s, const void* payload, int length)
      : hbn::RequestJson(func, s->in, HBN_ROUTER_PAYLOAD_SIZE + 1, payload, length) {}
};

// Both update requests: the two URLs, or false after the missing one's log line.
bool updateUrls(const char* func, const Json& json, const char* what, const char** url,
                const char** checksum) {
  *url = json.string("download_url", "MQTT json parse(download_url) fail\n");
  if (*url == nullptr) return false;
  HBN_log_printAt(HBN_LOG_DEBUG, func, __LINE__, "MQTT Request(%s):url=[%s]\n", what, *url);
  *checksum = json.string("checksum_url", "MQTT json parse(checksum_url) fail\n");
  if (*checksum == nullptr) return false;
  HBN_log_printAt(HBN_LOG_DEBUG, func, __LINE__, "MQTT Request(%s):urlt=[%s]\n", what, *checksum);
  return true;
}

}  // namespace

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
  HBN_LOG(HBN_LOG_DEBUG, "MQTT Request(fw update)\n");
  hbn::dumpPayloadText(payload, length);
  Json json(__func__, s, payload, length);
  const char *url = nullptr, *checksum = nullptr;
  if (!json.ok() || !updateUrls(__func__, json, "fw update", &url, &checksum)) return;
  if (s->active.load() && s->callbacks.firmwareUpdate != nullptr) s->callbacks.firmwareUpdate(url, checksum);
}

static void HBN_cloud_commMqttRecvTlsUpdate(RouterCloud* s, const void* payload, int length) {
  HBN_LOG(HBN_LOG_DEBUG, "MQTT Request(cert update)\n");
  hbn::dumpPayloadText(payload, length);
  Json json(__func__, s, payload, length);
  const char *url = nullptr, *checksum = nullptr;
  if (!json.ok() || !updateUrls(__func__, json, "cert update", &url, &checksum)) return;
  if (s->active.load() && s->callbacks.certUpdate != nullptr) s->callbacks.certUpdate(url, checksum);
}

static void HBN_cloud_commMqttRecvControl(RouterCloud* s, const void* payload, int length) {
  HBN_LOG(HBN_LOG_DEBUG, "MQTT Request(control)\n");
  hbn::dumpPayloadText(payload, length);
  Json json(__func__, s, payload, length);
  if (!json.ok()) return;
  json_object* reboot = json.member("reboot", json_type_string);
  json_object* upload = reboot ? nullptr : json.member("upload", json_type_string);
  if (reboot == nullptr && upload == nullptr) {
    HBN_LOG(HBN_LOG_WARN, "MQTT json parse(reboot or upload) fail\n");
    return;
  }
  const char* kind = json_object_get_string(reboot ? reboot : upload);
  if (reboot != nullptr) {
    HBN_LOG(HBN_LOG_DEBUG, "MQTT Request(reboot):kind=[%s]\n", kind);
    if (strcmp(kind, "all") == 0) {
      hbn::runControlCommand(__func__, "reboot");
    } else if (strcmp(kind, "hard_reset") == 0) {
      hbn::runControlCommand(__func__, "auxlink -r");
    } else if (strcmp(kind, "ipsec_reset") == 0 || strcmp(kind, "l2tp_reset") == 0 ||
               strcmp(kind, "l2tpOverIpsec_reset") == 0) {
      hbn::runControlCommand(__func__, "sysconf conn l2tp_ipsec reconfig");
    } else if (strcmp(kind, "lte_module") == 0) {
      hbn::runControlCommand(__func__, "kv_lte_reset.sh");
    } else if (strcmp(kind, "mqtt_reset") == 0) {
      s->mqtt.disconnect();
    } else if (strcmp(kind, "soft_reset") != 0) {
      HBN_LOG(HBN_LOG_ERROR, "MQTT Request(param unknown):kind=[%s]\n", kind);
    }
    return;
  }
  HBN_LOG(HBN_LOG_DEBUG, "MQTT Request(upload):kind=[%s]\n", kind);
  if (strcmp(kind, "config") == 0) {
    HBN_cloud_sendConfigInfo(s);
    HBN_cloud_sendConfigServer(s);
    HBN_cloud_sendConfigUser(s);
  } else if (strcmp(kind, "config-info") == 0) {
    HBN_cloud_sendConfigInfo(s);
  } else if (strcmp(kind, "config-server") == 0) {
    HBN_cloud_sendConfigServer(s);
  } else if (strcmp(kind, "config-user") == 0) {
    HBN_cloud_sendConfigUser(s);
  } else {
    HBN_LOG(HBN_LOG_ERROR, "MQTT Request(param unknown):kind=[%s]\n", kind);
  }
}

// "reboot" for "config/reboot", "noreboot" for "config/noreboot". 0 loaded, -1 not.
static int HBN_cloud_commMqttRecvConfigExecute(RouterCloud* s, const char* name, const void* payload,
                                               int length) {
  hbn::dumpPayloadText(payload, length);
  bool server = false;
  {
    Json json(__func__, s, payload, length);
    if (!json.ok()) return -1;
    server = json.has("setting_server");
  }
  char topic[32];
  snprintf(topic, sizeof topic, "config/%s/err", name);
  // The request is on file before the error document is read: its buffer takes the document.
  long errorLength = 0;
  hbn::ConfigLoad result = hbn::runConfigLoad(__func__, payload, length, server, topic, s->in,
                                              HBN_ROUTER_PAYLOAD_SIZE + 1, &errorLength);
  if (result == hbn::kLoadRefused) {
    HBN_cloud_commMqttSendConfigError(s, name, s->in, static_cast<size_t>(errorLength));
    return -1;
  }
  if (result != hbn::kLoadDone) return -1;
  if (strcmp(name, "reboot") == 0) hbn::runControlCommand(__func__, "reboot");
  return 0;
}

static void HBN_cloud_commMqttRecvVersion(RouterCloud* s) {
  HBN_LOG(HBN_LOG_DEBUG, "MQTT Request(version info)\n");
  HBN_cloud_commMqttSendVersion(s);
}

static void HBN_cloud_commMqttRecvNetInfo(RouterCloud* s, const void* payload, int length) {
  hbn::dumpPayloadText(payload, length);
  Json json(__func__, s, payload, length);
  if (!json.ok()) return;
  const char* ifname = json.string("ifname", "MQTT json parse(ifname) fail\n");
  if (ifname == nullptr) return;
  HBN_LOG(HBN_LOG_DEBUG, "MQTT Request(ifname):url=[%s]\n", ifname);
  HBN_cloud_commMqttSendNetInfo(s, ifname);
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
  if (!requestName(topic, topicLength, &name, &n)) {
    HBN_LOG(HBN_LOG_WARN, "MQTT topic length under\n");
    return;
  }
  if (payload == nullptr) length = 0;
  if (nameIs(name, n, "connected")) {
    HBN_cloud_commMqttRecvConnected(s);
  } else if (nameIs(name, n, "connected/version")) {
    HBN_cloud_commMqttRecvConnectedVer(s);
  } else if (nameIs(name, n, "connected/tls")) {
    HBN_cloud_commMqttRecvConnectedTls(s);
  } else if (nameIs(name, n, "connected/wanip/", true)) {
    HBN_cloud_commMqttRecvConnectedWan(s);
  } else if (nameIs(name, n, "update/fw") || nameIs(name, n, "fwupdate")) {
    HBN_cloud_commMqttRecvFwUpdate(s, payload, length);
  } else if (nameIs(name, n, "update/tls")) {
    HBN_cloud_commMqttRecvTlsUpdate(s, payload, length);
  } else if (nameIs(name, n, "control")) {
    HBN_cloud_commMqttRecvControl(s, payload, length);
  } else if (nameIs(name, n, "config/reboot")) {
    HBN_cloud_commMqttRecvConfigExecute(s, "reboot", payload, length);
  } else if (nameIs(name, n, "config/noreboot")) {
    HBN_cloud_commMqttRecvConfigExecute(s, "noreboot", payload, length);
  } else if (nameIs(name, n, "version")) {
    HBN_cloud_commMqttRecvVersion(s);
  } else if (nameIs(name, n, "netinfo")) {
    HBN_cloud_commMqttRecvNetInfo(s, payload, length);
  } else if (nameIs(name, n, "lteinfo")) {
    HBN_cloud_commMqttRecvLteInfo(s, payload, length);
  } else if (nameIs(name, n, "script")) {
    HBN_cloud_commMqttRecvExecScript(s, payload, length);
  } else {
    HBN_LOG(HBN_LOG_WARN, "MQTT topic unknown\n");
  }
}
