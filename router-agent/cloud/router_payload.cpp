// The messages the router agent publishes: device facts for the cloud ("connected" set,
// version, TLS expiry, WAN address, keep-alive, network information) and the configuration
// dumps. Members in a fixed order, no spaces, every value a JSON-escaped string.
#include "router_payload.h"

#include <cstdio>
#include <cstring>

#include "cert_expiry.h"
#include "cloud_payload.h"
#include "config_work.h"
#include "device_info.h"
#include "hbn_log.h"
#include "json_text.h"

namespace {

const char* const kModel = "KRW-BLDA-PV37";
// The small answers of the "connected" set (at most a version, a date or an address) are also
// built on the library's callback thread, which has no payload buffer of the link's.
constexpr size_t kSmallAnswerSize = 1024;

// The calling thread's payload buffer, or `local` (kSmallAnswerSize bytes) on another thread.
HBN_text_t textIn(hbn::CloudLink& link, char* local) {
  size_t capacity = 0;
  char* buffer = link.buffer(&capacity);
  if (buffer == nullptr) return HBN_text_t(local, kSmallAnswerSize);
  return HBN_text_t(buffer, capacity);
}

// The address file's line when it exists, else the session's interface address ("br0" without
// one), dotted decimal.
void wanAddress(const char* ifname, char* out, size_t size) {
  if (hbn::readWanAddress(out, size)) return;
  uint8_t mac[6], ip[4];
  hbn::readInterfaceInfo(ifname[0] != '\0' ? ifname : "br0", mac, ip);
  snprintf(out, size, "%u.%u.%u.%u", ip[0], ip[1], ip[2], ip[3]);
}

// The members shared by "connected" and "version"; "is_sim" only in the version.
void deviceFacts(const RouterFacts& facts, HBN_text_t& text, bool version) {
  char lte[hbn::kLteTextSize];
  char powerOn[96];
  char wan[hbn::kWanAddressSize];
  char expiry[48];
  hbn::readLteVersion(lte, sizeof lte);
  hbn::powerOnText(hbn::CloudLink::powerOnTime(), powerOn, sizeof powerOn);
  wanAddress(facts.ifname, wan, sizeof wan);
  hbn::certificateExpiry("/jffs2/mqtt/cloud/client.crt", expiry, sizeof expiry);
  text.append("{");
  hbn::jsonMember(text, "model", kModel, true);
  hbn::jsonMember(text, "fw_version_lan", facts.firmwareVersion);
  hbn::jsonMember(text, "fw_version_lte", lte);
  hbn::jsonMember(text, "login_password", hbn::loginPasswordChanged() ? "change" : "noChange");
  hbn::jsonMember(text, "power_on", powerOn);
  if (version) hbn::jsonMember(text, "is_sim", "no");
  hbn::jsonMember(text, "wan_ip_address", wan);
  hbn::jsonMember(text, "tls_client_exp", expiry);
  text.append("}");
}

// Publishes the builder's text, or logs that it did not fit.
void publishText(const char* func, hbn::CloudLink& link, const char* name, HBN_text_t& text) {
  if (text.overflowed()) {
    HBN_log_printAt(HBN_LOG_ERROR, func, __LINE__, "MQTT payload too long:%s\n", name);
    return;
  }
  link.publish(func, link.server().prefix, name, text.text(), text.length());
}

// A configuration dump published on `name` whatever the session state.
void publishDump(const char* func, hbn::CloudLink& link, hbn::ConfigDump which, const char* path,
                 const char* name) {
  size_t capacity = 0;
  char* buffer = link.buffer(&capacity);
  if (buffer == nullptr) return;
  long length = hbn::runConfigDump(func, which, path, name, buffer, capacity);
  if (length < 0) return;
  link.publish(func, link.server().prefix, name, buffer, static_cast<size_t>(length), false);
}

}  // namespace

void HBN_cloud_commMqttSendConnected(hbn::CloudLink& link, const RouterFacts& facts) {
  if (!link.isConnected()) return;
  char local[kSmallAnswerSize];
  HBN_text_t text = textIn(link, local);
  deviceFacts(facts, text, false);
  publishText(__func__, link, "connected", text);
}

void HBN_cloud_commMqttSendConnectedVer(hbn::CloudLink& link, const RouterFacts& facts) {
  if (!link.isConnected()) return;
  char local[kSmallAnswerSize];
  HBN_text_t text = textIn(link, local);
  text.append("{");
  hbn::jsonMember(text, "fw_version_lan", facts.firmwareVersion, true);
  text.append("}");
  publishText(__func__, link, "connected/version", text);
}

void HBN_cloud_commMqttSendConnectedTls(hbn::CloudLink& link) {
  if (!link.isConnected()) return;
  char local[kSmallAnswerSize];
  HBN_text_t text = textIn(link, local);
  char expiry[48];
  hbn::certificateExpiry("/jffs2/mqtt/cloud/client.crt", expiry, sizeof expiry);
  text.append("{");
  hbn::jsonMember(text, "tls_client_exp", expiry, true);
  text.append("}");
  publishText(__func__, link, "connected/tls", text);
}

void HBN_cloud_commMqttSendConnectedWan(hbn::CloudLink& link, const RouterFacts& facts) {
  if (!link.isConnected()) return;
  char local[kSmallAnswerSize];
  HBN_text_t text = textIn(link, local);
  char wan[hbn::kWanAddressSize];
  wanAddress(facts.ifname, wan, sizeof wan);
  text.append("{");
  hbn::jsonMember(text, "wan_ip_address", wan, true);
  text.append("}");
  char name[2 * hbn::kCloudTextSize];
  snprintf(name, sizeof name, "connected/wanip/%s", link.server().serial);
  publishText(__func__, link, name, text);
}

void HBN_cloud_commMqttSendVersion(hbn::CloudLink& link, const RouterFacts& facts) {
  if (!link.isConnected()) return;
  char local[kSmallAnswerSize];
  HBN_text_t text = textIn(link, local);
  deviceFacts(facts, text, true);
  publishText(__func__, link, "version", text);
}

void HBN_cloud_commMqttSendKeepAlive(hbn::CloudLink& link) {
  link.publish(__func__, link.server().prefix, "keepalive", "", 0);
}

void HBN_cloud_commMqttSendNetInfo(hbn::CloudLink& link, const char* ifname) {
  if (!link.isConnected()) return;
  char local[kSmallAnswerSize];
  HBN_text_t text = textIn(link, local);
  hbn::netInfoPayload(text, ifname);
  publishText(__func__, link, "netinfo", text);
}

void HBN_cloud_commMqttSendConfigInfo(hbn::CloudLink& link) {
  publishDump(__func__, link, hbn::kDumpInfo, "/tmp/dumpInfo.txt", "config/info");
}

void HBN_cloud_commMqttSendConfigServer(hbn::CloudLink& link) {
  publishDump(__func__, link, hbn::kDumpServer, "/tmp/dumpSvr.json", "config/server");
}

void HBN_cloud_commMqttSendConfigUser(hbn::CloudLink& link) {
  publishDump(__func__, link, hbn::kDumpUser, "/tmp/dumpCfg.json", "config/user");
}

void HBN_cloud_commMqttSendConfigError(hbn::CloudLink& link, const char* name, const char* text,
                                       size_t length) {
  char topic[32];
  snprintf(topic, sizeof topic, "config/%s/err", name);
  link.publish(__func__, link.server().prefix, topic, text, length, false);
}
