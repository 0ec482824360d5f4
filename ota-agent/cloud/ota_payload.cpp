// The messages the OTA agent publishes: version, LTE identity, network information and the
// configuration dumps. Members in a fixed order, no spaces, every value a JSON-escaped string.
#include <cstdio>
#include <cstring>

#include "cert_expiry.h"
#include "cloud_payload.h"
#include "config_work.h"
#include "hbn_log.h"
#include "hbn_path.h"
#include "json_text.h"
#include "device_info.h"
#include "ota_payload.h"

namespace {

const char* const kModel = "KRW-BLDA-PV37";

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

void HBN_cloud_commMqttSendVersion(hbn::CloudLink& link, const char* firmwareVersion) {
  size_t capacity = 0;
  char* buffer = link.buffer(&capacity);
  if (!link.isConnected() || buffer == nullptr) return;
  char lte[hbn::kLteTextSize];
  char powerOn[96];
  char expiry[48];
  hbn::readLteVersion(lte, sizeof lte);
  hbn::powerOnText(hbn::CloudLink::powerOnTime(), powerOn, sizeof powerOn);
  hbn::certificateExpiry("/jffs2/mqtt/ota/client.crt", expiry, sizeof expiry);
  HBN_text_t text(buffer, capacity);
  text.append("{");
  hbn::jsonMember(text, "model", kModel, true);
  hbn::jsonMember(text, "fw_version_lan", firmwareVersion);
  hbn::jsonMember(text, "fw_version_lte", lte);
  hbn::jsonMember(text, "login_password", hbn::loginPasswordChanged() ? "change" : "noChange");
  hbn::jsonMember(text, "power_on", powerOn);
  hbn::jsonMember(text, "is_sim", "no");
  hbn::jsonMember(text, "tls_client_exp", expiry);
  text.append("}");
  publishText(__func__, link, "version", text);
}

void HBN_cloud_commMqttSendLteInfo(hbn::CloudLink& link, const char* imei, const char* serial) {
  size_t capacity = 0;
  char* buffer = link.buffer(&capacity);
  if (!link.isConnected() || buffer == nullptr) return;
  HBN_text_t text(buffer, capacity);
  text.append("{");
  hbn::jsonMember(text, "imei", imei, true);
  hbn::jsonMember(text, "sno", serial);
  text.append("}");
  publishText(__func__, link, "lteinfo", text);
}

void HBN_cloud_commMqttSendNetInfo(hbn::CloudLink& link, const char* ifname) {
  size_t capacity = 0;
  char* buffer = link.buffer(&capacity);
  if (!link.isConnected() || buffer == nullptr) return;
  HBN_text_t text(buffer, capacity);
  hbn::netInfoPayload(text, ifname);
  publishText(__func__, link, "netinfo", text);
}

void HBN_cloud_commMqttSendConfigInfo(hbn::CloudLink& link) {
  publishDump(__func__, link, hbn::kDumpInfo, "/tmp/dumpInfoOTA.txt", "config/info");
}

void HBN_cloud_commMqttSendConfigServer(hbn::CloudLink& link) {
  publishDump(__func__, link, hbn::kDumpServer, "/tmp/dumpSvrOTA.json", "config/server");
}

void HBN_cloud_commMqttSendConfigUser(hbn::CloudLink& link) {
  publishDump(__func__, link, hbn::kDumpUser, "/tmp/dumpCfgOTA.json", "config/user");
}

void HBN_cloud_commMqttSendConfigError(hbn::CloudLink& link, const char* name, const char* text,
                                       size_t length) {
  char topic[32];
  snprintf(topic, sizeof topic, "config/%s/err", name);
  link.publish(__func__, link.server().prefix, topic, text, length, false);
}
