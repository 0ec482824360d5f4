// The messages the router agent publishes: device facts for the cloud ("connected" set,
// version, TLS expiry, WAN address, keep-alive, network information) and the configuration
// dumps. Members in a fixed order, no spaces, every value a JSON-escaped string.
#include <net/if.h>

#include <ctime>
#include <cstdio>
#include <cstring>

#include "cert_expiry.h"
#include "cloud_payload.h"
#include "config_work.h"
#include "device_info.h"
#include "hbn_log.h"
#include "hbn_net.h"
#include "hbn_path.h"
#include "json_text.h"
#include "kv_vento_api.h"
#include "router_cloud_internal.h"

namespace {

const char* const kModel = "KRW-BLDA-PV37";

// The address file's line when it exists, else the session's interface address ("br0" without
// one), dotted decimal.
void wanAddress(const RouterCloud* s, char* out, size_t size) {
  if (hbn::readWanAddress(out, size)) return;
  uint8_t mac[6], ip[4];
  hbn::readInterfaceInfo(s->ifname[0] != '\0' ? s->ifname : "br0", mac, ip);
  snprintf(out, size, "%u.%u.%u.%u", ip[0], ip[1], ip[2], ip[3]);
}

// The members shared by "connected" and "version"; "is_sim" only in the version.
void deviceFacts(RouterCloud* s, HBN_text_t& text, bool version) {
  char lte[hbn::kLteTextSize];
  char powerOn[96];
  char wan[hbn::kWanAddressSize];
  char expiry[48];
  hbn::readLteVersion(lte, sizeof lte);
  hbn::powerOnText(HBN_cloud_powerOnTime(), powerOn, sizeof powerOn);
  wanAddress(s, wan, sizeof wan);
  hbn::certificateExpiry("/jffs2/mqtt/cloud/client.crt", expiry, sizeof expiry);
  text.append("{");
  hbn::jsonMember(text, "model", kModel, true);
  hbn::jsonMember(text, "fw_version_lan", KV_VENTO_api_getVersion());
  hbn::jsonMember(text, "fw_version_lte", lte);
  hbn::jsonMember(text, "login_password", hbn::loginPasswordChanged() ? "change" : "noChange");
  hbn::jsonMember(text, "power_on", powerOn);
  if (version) hbn::jsonMember(text, "is_sim", "no");
  hbn::jsonMember(text, "wan_ip_address", wan);
  hbn::jsonMember(text, "tls_client_exp", expiry);
  text.append("}");
}

// Publishes the builder's text, or logs that it did not fit.
void publishText(const char* func, RouterCloud* s, const char* name, HBN_text_t& text) {
  if (text.overflowed()) {
    HBN_log_printAt(HBN_LOG_ERROR, func, __LINE__, "MQTT payload too long:%s\n", name);
    return;
  }
  routerPublish(func, s, name, text.text(), text.length());
}

// A configuration dump published on `name` whatever the session state.
void publishDump(const char* func, RouterCloud* s, hbn::ConfigDump which, const char* path,
                 const char* name) {
  long length = hbn::runConfigDump(func, which, path, name, s->out, HBN_ROUTER_PAYLOAD_SIZE);
  if (length < 0) return;
  routerPublish(func, s, name, s->out, static_cast<size_t>(length), false);
}

}  // namespace

void HBN_cloud_commMqttSendConnected(RouterCloud* s) {
  if (!s->mqtt.isConnected()) return;
  size_t capacity = 0;
  char* buffer = routerBuffer(s, &capacity);
  HBN_text_t text(buffer, capacity);
  deviceFacts(s, text, false);
  publishText(__func__, s, "connected", text);
}

void HBN_cloud_commMqttSendConnectedVer(RouterCloud* s) {
  if (!s->mqtt.isConnected()) return;
  size_t capacity = 0;
  char* buffer = routerBuffer(s, &capacity);
  HBN_text_t text(buffer, capacity);
  text.append("{");
  hbn::jsonMember(text, "fw_version_lan", KV_VENTO_api_getVersion(), true);
  text.append("}");
  publishText(__func__, s, "connected/version", text);
}

void HBN_cloud_commMqttSendConnectedTls(RouterCloud* s) {
  if (!s->mqtt.isConnected()) return;
  size_t capacity = 0;
  char* buffer = routerBuffer(s, &capacity);
  HBN_text_t text(buffer, capacity);
  char expiry[48];
  hbn::certificateExpiry("/jffs2/mqtt/cloud/client.crt", expiry, sizeof expiry);
  text.append("{");
  hbn::jsonMember(text, "tls_client_exp", expiry, true);
  text.append("}");
  publishText(__func__, s, "connected/tls", text);
}

void HBN_cloud_commMqttSendConnectedWan(RouterCloud* s) {
  if (!s->mqtt.isConnected()) return;
  size_t capacity = 0;
  char* buffer = routerBuffer(s, &capacity);
  HBN_text_t text(buffer, capacity);
  char wan[hbn::kWanAddressSize];
  wanAddress(s, wan, sizeof wan);
  text.append("{");
  hbn::jsonMember(text, "wan_ip_address", wan, true);
  text.append("}");
  char name[ROUTER_TOPIC_SIZE];
  snprintf(name, sizeof name, "connected/wanip/%s", s->server.serial);
  publishText(__func__, s, name, text);
}

void HBN_cloud_commMqttSendVersion(RouterCloud* s) {
  if (!s->mqtt.isConnected()) return;
  size_t capacity = 0;
  char* buffer = routerBuffer(s, &capacity);
  HBN_text_t text(buffer, capacity);
  deviceFacts(s, text, true);
  publishText(__func__, s, "version", text);
}

void HBN_cloud_commMqttSendKeepAlive(RouterCloud* s) { routerPublish(__func__, s, "keepalive", "", 0); }

void HBN_cloud_commMqttSendNetInfo(RouterCloud* s, const char* ifname) {
  if (!s->mqtt.isConnected()) return;
  size_t capacity = 0;
  char* buffer = routerBuffer(s, &capacity);
  HBN_text_t text(buffer, capacity);
  hbn::netInfoPayload(text, ifname);
  publishText(__func__, s, "netinfo", text);
}

void HBN_cloud_commMqttSendConfigInfo(RouterCloud* s) {
  publishDump(__func__, s, hbn::kDumpInfo, "/tmp/dumpInfo.txt", "config/info");
}

void HBN_cloud_commMqttSendConfigServer(RouterCloud* s) {
  publishDump(__func__, s, hbn::kDumpServer, "/tmp/dumpSvr.json", "config/server");
}

void HBN_cloud_commMqttSendConfigUser(RouterCloud* s) {
  publishDump(__func__, s, hbn::kDumpUser, "/tmp/dumpCfg.json", "config/user");
}

void HBN_cloud_commMqttSendConfigError(RouterCloud* s, const char* name, const char* text, size_t length) {
  char topic[32];
  snprintf(topic, sizeof topic, "config/%s/err", name);
  routerPublish(__func__, s, topic, text, length, false);
}
