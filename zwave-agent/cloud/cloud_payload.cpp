#include "cloud_payload_internal.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cloud_publish_internal.h"
#include "cloud_tables_internal.h"
#include "json_text.h"
#include "hbn_buf.h"
#include "hbn_cloud.h"
#include "hbn_log.h"
#include "hbn_net.h"
#include "hbn_node_info.h"
#include "hbn_nvm.h"
#include "kv_api.h"
#include "mqtt_request.h"

namespace {

const char* const kModel = "QM7T4PX118";
const char* const kHbnVersion = "01.00.03.01";
const char* const kZipVersion = "7.13.01";
enum { VERSION_SIZE = 512, VIRTUAL_MAX = 16 };

const char* subjectWord(int subject) {
  switch (subject) {
    case 0:
      return "zwave";
    case 1:
      return "gw";
    case 2:
      return "ir";
    default:
      return nullptr;
  }
}

const char* resetSubjectWord(int subject) {
  switch (subject) {
    case 0:
      return "zwave";
    case 1:
      return "setting";
    case 2:
      return "gw";
    default:
      return nullptr;
  }
}

// Core mode when non-zero, else the adaptation's; home ID and gateway node ID of the core.
void modeAndIdentity(int* mode, uint32_t* homeId, int* gwNodeId) {
  *mode = 0;
  *homeId = 0;
  *gwNodeId = 0;
  const HBN_core_interface_t* core = HBN_cloud_commCoreInterface();
  const KV_api_cloudHandler_t* kv = HBN_cloud_commApiHandler();
  if (core && core->getMode) core->getMode(mode);
  if (*mode == 0 && kv && kv->getMode) kv->getMode(mode);
  if (core && core->getGwID) core->getGwID(gwNodeId, homeId);
}

void nodeIdList(HBN_text_t& out, int gwNodeId) {
  uint8_t bitmap[HBN_CORE_NODELIST_SIZE] = {0};
  int length = 0;
  uint16_t ids[VIRTUAL_MAX] = {0};
  int count = 0;
  const HBN_core_interface_t* core = HBN_cloud_commCoreInterface();
  const KV_api_cloudHandler_t* kv = HBN_cloud_commApiHandler();
  if (core && core->getNodeList) core->getNodeList(&length, bitmap);
  if (kv && kv->getNodeList) kv->getNodeList(&count, ids);
  if (length > HBN_CORE_NODELIST_SIZE || length < 0) length = HBN_CORE_NODELIST_SIZE;
  if (count > VIRTUAL_MAX || count < 0) count = 0;
  HBN_cloud_payloadNodeIds(out, bitmap, length, gwNodeId, ids, count);
}

void dsk(HBN_text_t& out, const uint8_t* bytes, int length) {
  for (int i = 0; i + 1 < length; i += 2) {
    unsigned short group = static_cast<unsigned short>((bytes[i] << 8) | bytes[i + 1]);
    out.format(i == 0 ? "%05hu" : "-%05hu", group);
  }
}

void hexBytes(HBN_text_t& out, const uint8_t* bytes, int length) {
  for (int i = 0; i < length; ++i) out.format("%02hhX", bytes[i]);
}

}  // namespace

// ---------------------------------------------------------------- payload texts

void HBN_cloud_payloadNodeIds(HBN_text_t& out, const uint8_t* bitmap, int bitmapLength, int gwNodeId,
                              const uint16_t* virtualIds, int virtualCount) {
  bool first = true;
  for (int i = 0; i < bitmapLength; ++i) {
    for (int j = 0; j < 8; ++j) {
      if (!(bitmap[i] & (1u << j))) continue;
      int id = 8 * i + j + 1;
      if (id == gwNodeId) continue;
      out.format(first ? "%d" : ",%d", id);
      first = false;
    }
  }
  for (int k = 0; k < virtualCount; ++k) {
    out.format(first ? "%hu" : ",%hu", virtualIds[k]);
    first = false;
  }
}

void HBN_cloud_payloadNodeInfo(HBN_text_t& out, int nodeId, int status, const HBN_node_info_t& n) {
  if (status != 0) {
    out.format("{\"status\":%d,\"node_id\":%d}", status, nodeId);
    return;
  }
  out.format("{\"status\":%d,\"node_id\":%d", status, nodeId).append(",\"endpoint\":0");
  if (n.capabilityState == HBN_NODE_STATE_OBTAINED)
    out.format(",\"capability\":%u,\"security\":%u,\"basic\":%u,\"generic\":%u,\"specific\":%u", n.capability,
               n.security, n.basic, n.generic, n.specific);
  // Texts are bounded by their fields even when the record lacks a terminator.
  char text[HBN_NODE_NAME_SIZE + 1];
  if (n.locationState == HBN_NODE_STATE_OBTAINED) {
    snprintf(text, sizeof text, "%.*s", HBN_NODE_NAME_SIZE, n.locationName);
    out.format(",\"location_name_type\":%u,\"location_name\":\"", n.locationType).escaped(text).append("\"");
  } else if (n.locationState == HBN_NODE_STATE_NONE) {
    out.append(",\"location_name_type\":-1,\"location_name\":\"\"");
  }
  if (n.nameState == HBN_NODE_STATE_OBTAINED) {
    snprintf(text, sizeof text, "%.*s", HBN_NODE_NAME_SIZE, n.nodeName);
    out.format(",\"node_name_type\":%u,\"node_name\":\"", n.nameType).escaped(text).append("\"");
  } else if (n.nameState == HBN_NODE_STATE_NONE) {
    out.append(",\"node_name_type\":-1,\"node_name\":\"\"");
  }
  if (n.manufacturerState == HBN_NODE_STATE_OBTAINED)
    out.format(",\"manufacturer_id\":%u,\"product_type\":%u,\"product_id\":%u", n.manufacturerId,
               n.productType, n.productId);
  else if (n.manufacturerState == HBN_NODE_STATE_NONE)
    out.append(",\"manufacturer_id\":-1,\"product_type\":-1,\"product_id\":-1");
  if (n.deviceIdState == HBN_NODE_STATE_OBTAINED) {
    snprintf(text, sizeof text, "%.*s", HBN_NODE_DEVICE_ID_SIZE, n.deviceId);
    out.append(",\"manufacturer_specific_command_class_v2\":{")
        .format("\"device_id_type\":%u,\"device_id\":\"", n.deviceIdType)
        .escaped(text)
        .append("\"")
        .append("}");
  } else if (n.deviceIdState == HBN_NODE_STATE_NONE) {
    out.append(",\"manufacturer_specific_command_class_v2\":{\"device_id_type\":-1,\"device_id\":\"\"}");
  }
  if (n.zwavePlusState == HBN_NODE_STATE_OBTAINED) {
    out.append(",\"zwave_plus_info\":{")
        .format(
            "\"zwave_plus_version\":%u,\"role_type\":%u,\"node_type\":%u,\"installer_icon_type\":%u,"
            "\"user_icon_type\":%u",
            n.zwavePlusVersion, n.roleType, n.nodeType, n.installerIconType, n.userIconType)
        .append("}");
  } else if (n.zwavePlusState == HBN_NODE_STATE_NONE) {
    out.append(
        ",\"zwave_plus_info\":{\"zwave_plus_version\":-1,\"role_type\":-1,\"node_type\":-1,"
        "\"installer_icon_type\":-1,\"user_icon_type\":-1}");
  }
  if (n.commandClassState == HBN_NODE_STATE_OBTAINED) {
    int count = n.commandClassCount;
    if (count < 0) count = 0;
    if (count > HBN_NODE_CLASS_MAX) count = HBN_NODE_CLASS_MAX;
    out.append(",\"support_commands\":[");
    for (int i = 0; i < count; ++i) {
      int version = n.versions[i] == 255 ? -1 : n.versions[i];
      out.format(i == 0 ? "{\"version\":%d,\"class\":%u,\"security\":%d}"
                        : ",{\"version\":%d,\"class\":%u,\"security\":%d}",
                 version, n.commandClasses[i], n.securityFlags[i]);
    }
    out.append("]");
  }
  if (n.wakeUpInterval >= 0) out.format(",\"wake_up_interval\":%d", n.wakeUpInterval);
  if (n.nopInterval >= 0) out.format(",\"nop_interval\":%d", n.nopInterval);
  out.format(",\"pairing_status\":%d", static_cast<int>(n.pairingStatus)).append("}");
}

void HBN_cloud_payloadKeyNames(HBN_text_t& out, int keyBits) {
  static const struct {
    int bit;
    const char* name;
  } keys[] = {{128, "S0"}, {4, "S2_ACCESS"}, {2, "S2_AUTHENTICATED"}, {1, "S2_UNAUTHENTICATED"}};
  bool first = true;
  for (const auto& k : keys) {
    if (!(keyBits & k.bit)) continue;
    out.append(first ? "\"" : ",\"").append(k.name).append("\"");
    first = false;
  }
}

// The longest text of one list entry: ",{"dsk":"", 47 DSK characters, "","status":", one digit, "}".
constexpr size_t kPvEntryTextMax = 9 + 47 + 11 + 1 + 1;

int HBN_cloud_payloadPvList(HBN_text_t& out, int count, const uint8_t* entries) {
  int listed = 0;
  for (int i = 0; i < count; ++i) {
    size_t mark = out.length();
    const uint8_t* e = entries + 17 * i;
    out.append(i == 0 ? "{\"dsk\":\"" : ",{\"dsk\":\"");
    dsk(out, e, 16);
    out.append("\",\"status\":").format("%d", e[16] > 0 ? 1 : 0).append("}");
    // Keep room for the closing "]}" of the list.
    if (out.overflowed() || out.room() < 2) {
      out.truncate(mark);
      break;
    }
    ++listed;
  }
  return listed;
}

bool HBN_cloud_payloadGwKeys(HBN_text_t& out, int length, const uint8_t* keys) {
  if (length < 32) return false;
  out.append("{\"gwkey\":\"");
  dsk(out, keys, 16);
  out.append("\",\"s0\":\"");
  hexBytes(out, keys + 16, 16);
  if (length != 32 && length >= 80) {
    out.append("\",\"s2_unauth\":\"");
    hexBytes(out, keys + 32, 16);
    out.append("\",\"s2_auth\":\"");
    hexBytes(out, keys + 48, 16);
    out.append("\",\"s2_access\":\"");
    hexBytes(out, keys + 64, 16);
  }
  out.append("\"}");
  return true;
}

// ---------------------------------------------------------------- builders

void HBN_cloud_commMqttSendConnected() {
  HBN_cloud_publish_t pub(__func__, HBN_CLOUD_PREFIX_GW, "connected");
  if (!pub.connected()) return;
  int mode = 0, gwNodeId = 0;
  uint32_t homeId = 0;
  modeAndIdentity(&mode, &homeId, &gwNodeId);
  char version[VERSION_SIZE] = {0};
  HBN_util_getBuildVersion(version);
  HBN_text_t& out = pub.payload();
  out.format("{\"home_id\":%u,\"mode\":%d,\"node_ids\":[", homeId, mode);
  nodeIdList(out, gwNodeId);
  out.append("],\"model\":\"").append(kModel).append("\",\"version\":\"").escaped(version);
  out.append("\",\"root_no\":").format("%d}", HBN_nvm_getRootNo());
  pub.send();
}

void HBN_cloud_commMqttSendMode(int mode, int status, const char* message) {
  HBN_cloud_publish_t pub(__func__, HBN_CLOUD_PREFIX_GW, "mode");
  if (!pub.connected()) return;
  HBN_text_t& out = pub.payload();
  if (status == 0) {
    out.format("{\"status\":0,\"mode\":%d}", mode);
  } else {
    out.format("{\"status\":%d,\"mode\":%d,\"message\":\"", status, mode);
    // A text too long for the payload is replaced like a missing one.
    const char* text = message ? message : "unknown";
    if (HBN_text_escapedLength(text) + 2 > out.room()) text = "unknown";
    out.escaped(text).append("\"}");
  }
  pub.send();
}

void HBN_cloud_commMqttSendNodeList() {
  HBN_cloud_publish_t pub(__func__, HBN_CLOUD_PREFIX_GW, "node_list");
  if (!pub.connected()) return;
  int mode = 0, gwNodeId = 0;
  uint32_t homeId = 0;
  modeAndIdentity(&mode, &homeId, &gwNodeId);
  HBN_text_t& out = pub.payload();
  out.append("{\"node_ids\":[");
  nodeIdList(out, gwNodeId);
  out.append("]}");
  pub.send();
}

void HBN_cloud_commMqttSendNodeBaseInfo(const char* action, int nodeId, int status, const void* record) {
  char suffix[32];
  snprintf(suffix, sizeof suffix, "node/%s", action);
  HBN_cloud_publish_t pub(__func__, HBN_CLOUD_PREFIX_GW, suffix);
  if (!pub.connected()) return;
  HBN_node_info_t info;
  memset(&info, 0, sizeof info);
  if (record) memcpy(&info, record, sizeof info);
  HBN_cloud_payloadNodeInfo(pub.payload(), nodeId, record ? status : (status ? status : 1), info);
  pub.send();
}

void HBN_cloud_commMqttSendNodeRemove(int nodeId, int status) {
  HBN_cloud_publish_t pub(__func__, HBN_CLOUD_PREFIX_GW, "node/remove");
  if (!pub.connected()) return;
  pub.payload().format("{\"status\":%d,\"node_id\":%d}", status, nodeId);
  pub.send();
}

void HBN_cloud_commMqttSendNodeReceive(int nodeId, int length, const uint8_t* data) {
  char suffix[32];
  snprintf(suffix, sizeof suffix, "node/%d/recv", nodeId);
  HBN_cloud_publish_t pub(__func__, HBN_CLOUD_PREFIX_GW, suffix);
  if (!pub.connected()) return;
  if (length < 0 || (length > 0 && data == nullptr)) length = 0;
  hbn::dumpPayloadHex(data, length);
  pub.sendBytes(data, length);
}

void HBN_cloud_commMqttSendNodeNopInterval(int nodeId, int seconds) {
  char suffix[40];
  snprintf(suffix, sizeof suffix, "node/%d/nop_interval", nodeId);
  HBN_cloud_publish_t pub(__func__, HBN_CLOUD_PREFIX_GW, suffix);
  if (!pub.connected()) return;
  pub.payload().format("{\"seconds\":%d}", seconds);
  pub.send();
}

void HBN_cloud_commMqttSendNodeFilter(int nodeId, int length, const uint8_t* data) {
  char suffix[32];
  snprintf(suffix, sizeof suffix, "node/%d/filter", nodeId);
  HBN_cloud_publish_t pub(__func__, HBN_CLOUD_PREFIX_GW, suffix);
  if (!pub.connected()) return;
  if (length < 0 || (length > 0 && data == nullptr)) length = 0;
  pub.sendBytes(data, length);
}

void HBN_cloud_commMqttSendNodeKeepAlive(int nodeId) {
  char suffix[40];
  snprintf(suffix, sizeof suffix, "node/%d/keepalive", nodeId);
  HBN_cloud_publish_t pub(__func__, HBN_CLOUD_PREFIX_GW, suffix);
  if (!pub.connected()) return;
  pub.sendBytes("", 0);
}

void HBN_cloud_commMqttSendNodeKeyZW(int nodeId, int keyBits) {
  // The platform hears about the request whether or not the cloud is reachable.
  const KV_api_cloudHandler_t* kv = HBN_cloud_commApiHandler();
  if (kv && kv->recvSecure) kv->recvSecure(nodeId, keyBits);
  char suffix[32];
  snprintf(suffix, sizeof suffix, "node/%d/key", nodeId);
  HBN_cloud_publish_t pub(__func__, HBN_CLOUD_PREFIX_GW, suffix);
  if (!pub.connected()) return;
  HBN_text_t& out = pub.payload();
  out.append("{\"kind\":[");
  HBN_cloud_payloadKeyNames(out, keyBits);
  out.append("]}");
  pub.send();
}

void HBN_cloud_commMqttSendNodeTestFrame(int nodeId, uint32_t packed) {
  char suffix[40];
  snprintf(suffix, sizeof suffix, "node/%d/test_frame", nodeId);
  HBN_cloud_publish_t pub(__func__, HBN_CLOUD_PREFIX_GW, suffix);
  if (!pub.connected()) return;
  pub.payload().format("{\"count\":%d,\"send\":%d,\"ack\":%d}", static_cast<int>((packed >> 16) & 0xFF),
                       static_cast<int>((packed >> 8) & 0xFF), static_cast<int>(packed & 0xFF));
  pub.send();
}

void HBN_cloud_commMqttSendBackup(int subject, int status, int length, const uint8_t* data) {
  const char* word = subjectWord(subject);
  if (word == nullptr) return;
  HBN_cloud_publish_t pub(__func__, HBN_CLOUD_PREFIX_GW, "backup");
  if (!pub.connected()) return;
  char version[VERSION_SIZE] = {0};
  HBN_util_getBuildVersion(version);
  if (length < 0 || data == nullptr) length = 0;
  // The head's fixed text takes under 128 bytes; the version is sized in, however long.
  size_t size = 128 + HBN_text_escapedLength(version);
  if (status == 0) size += static_cast<size_t>(HBN_util_base64Length(length));
  HBN_LOG(HBN_LOG_DEBUG, "payload size=%d\n", static_cast<int>(size));
  char* block = static_cast<char*>(malloc(size));
  if (block == nullptr) {
    HBN_LOG(HBN_LOG_ERROR, "MQTT memory alloc fail\n");
    return;
  }
  HBN_text_t out(block, size);
  out.format("{\"status\":%d,\"subject\":\"%s\",\"model\":\"%s\",\"version\":\"", status, word, kModel)
      .escaped(version)
      .append("\",\"data\":\"");
  HBN_LOG(HBN_LOG_DEBUG, "payload size2=%d\n", static_cast<int>(out.length()));
  size_t used = out.length();
  if (status == 0 && length > 0 && !out.overflowed()) {
    used += static_cast<size_t>(HBN_util_base64Encode(block + used, data, length)) - 1;
  }
  HBN_text_t tail(block + used, size - used);
  tail.append("\"}");
  if (out.overflowed() || tail.overflowed()) {
    HBN_LOG(HBN_LOG_ERROR, "MQTT payload too long:%s\n", "backup");
  } else {
    pub.sendBytes(block, static_cast<int>(used + tail.length()));
  }
  free(block);
}

void HBN_cloud_commMqttSendRestore(int subject, int status) {
  const char* word = subjectWord(subject);
  if (word == nullptr) return;
  HBN_cloud_publish_t pub(__func__, HBN_CLOUD_PREFIX_GW, "restore");
  if (!pub.connected()) return;
  pub.payload().format("{\"status\":%d,\"subject\":\"%s\"}", status, word);
  pub.send();
}

void HBN_cloud_commMqttSendReset(int subject, int status) {
  const char* word = resetSubjectWord(subject);
  if (word == nullptr) return;
  HBN_cloud_publish_t pub(__func__, HBN_CLOUD_PREFIX_GW, "reset");
  if (!pub.connected()) return;
  pub.payload().format("{\"status\":%d,\"subject\":\"%s\"}", status, word);
  pub.send();
}

void HBN_cloud_commMqttSendStatus() {
  HBN_cloud_publish_t pub(__func__, HBN_CLOUD_PREFIX_GW, "status");
  if (!pub.connected()) return;
  int mode = 0, gwNodeId = 0;
  uint32_t homeId = 0;
  modeAndIdentity(&mode, &homeId, &gwNodeId);
  pub.payload().format("{\"home_id\":%u,\"mode\":%d}", homeId, mode);
  pub.send();
}

void HBN_cloud_commMqttSendVersion() {
  HBN_cloud_publish_t pub(__func__, HBN_CLOUD_PREFIX_GW, "version");
  if (!pub.connected()) return;
  char version[VERSION_SIZE] = {0};
  HBN_util_getBuildVersion(version);
  HBN_text_t& out = pub.payload();
  out.append("{\"model\":\"").append(kModel).append("\",\"version\":\"").escaped(version);
  out.append("\",\"root_no\":").format("%d,", HBN_nvm_getRootNo());
  out.append("\"hbn_ver\":\"")
      .append(kHbnVersion)
      .append("\",\"zip_ver\":\"")
      .append(kZipVersion)
      .append("\"}");
  pub.send();
}

void HBN_cloud_commMqttSendKeepAlive() {
  HBN_cloud_publish_t pub(__func__, HBN_CLOUD_PREFIX_GW, "keepalive");
  if (!pub.connected()) return;
  pub.sendBytes("", 0);
}

void HBN_cloud_commMqttSendPvList(int count, const uint8_t* entries) {
  HBN_cloud_publish_t pub(__func__, HBN_CLOUD_PREFIX_GW, "smartstart/list");
  if (!pub.connected()) return;
  if (count < 0 || entries == nullptr) count = 0;
  if (count > HBN_CLOUD_PVLIST_MAX) count = HBN_CLOUD_PVLIST_MAX;
  // A whole list does not fit the 4096-byte payload buffer (59 entries do): like the backup
  // message, it is built in a heap block sized for every entry it carries.
  size_t size = 16 + static_cast<size_t>(count) * kPvEntryTextMax;
  char* block = static_cast<char*>(malloc(size));
  if (block == nullptr) {
    HBN_LOG(HBN_LOG_ERROR, "MQTT memory alloc fail\n");
    return;
  }
  HBN_text_t out(block, size);
  out.append("{\"list\":[");
  int listed = HBN_cloud_payloadPvList(out, count, entries);
  if (listed < count) HBN_LOG(HBN_LOG_WARN, "provisioning list cut to %d of %d entries\n", listed, count);
  out.append("]}");
  if (out.overflowed())
    HBN_LOG(HBN_LOG_ERROR, "MQTT payload too long:%s\n", "smartstart/list");
  else
    pub.sendBytes(out.text(), static_cast<int>(out.length()));
  free(block);
}

void HBN_cloud_commMqttSendRssi(int nodeId, int rssi) {
  char suffix[32];
  snprintf(suffix, sizeof suffix, "node/%d/update", nodeId);
  HBN_cloud_publish_t pub(__func__, HBN_CLOUD_PREFIX_GW, suffix);
  if (!pub.connected()) return;
  pub.payload().format("{\"rssi\":%d}", rssi);
  pub.send();
}

void HBN_cloud_commMqttSpSendNetInfo(const char* ifname) {
  HBN_cloud_publish_t pub(__func__, HBN_CLOUD_PREFIX_SP, "netinfo");
  if (!pub.connected()) return;
  uint8_t mac[6] = {0};
  uint8_t addr[16] = {0};
  HBN_util_netGetInfo(ifname, mac, addr);
  HBN_text_t& out = pub.payload();
  out.append("{\"ifname\":\"").escaped(ifname ? ifname : "");
  out.format("\",\"mac\":\"%02X%02X%02X%02X%02X%02X\",\"ipv4\":\"%d.%d.%d.%d\"}", mac[0], mac[1], mac[2],
             mac[3], mac[4], mac[5], addr[0], addr[1], addr[2], addr[3]);
  pub.send();
}

void HBN_cloud_commMqttSpSendGwDSK(int length, const uint8_t* bytes) {
  HBN_cloud_publish_t pub(__func__, HBN_CLOUD_PREFIX_SP, "gwkey");
  if (!pub.connected()) return;
  if (length < 0 || bytes == nullptr) length = 0;
  HBN_text_t& out = pub.payload();
  out.append("{\"gwkey\":\"");
  dsk(out, bytes, length);
  out.append("\"}");
  pub.send();
}

void HBN_cloud_commMqttSpSendGwDSK_2(int length, const uint8_t* keys) {
  HBN_cloud_publish_t pub(__func__, HBN_CLOUD_PREFIX_SP, "gwkey_ex");
  if (!pub.connected()) return;
  if (keys == nullptr || !HBN_cloud_payloadGwKeys(pub.payload(), length, keys)) return;
  pub.send();
}

void HBN_cloud_payloadDispatch(uint32_t kind, uint32_t p1, uint32_t p2, uint32_t p3, const void* data) {
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  int a = static_cast<int>(p1), b = static_cast<int>(p2), c = static_cast<int>(p3);
  switch (kind) {
    case HBN_CLOUD_KIND_CONNECTED:
      HBN_cloud_commMqttSendConnected();
      break;
    case HBN_CLOUD_KIND_MODE:
      HBN_cloud_commMqttSendMode(a, b, static_cast<const char*>(data));
      break;
    case HBN_CLOUD_KIND_NODE_ADD:
      HBN_cloud_commMqttSendNodeBaseInfo("add", a, b, data);
      break;
    case HBN_CLOUD_KIND_NODE_UPDATE:
      HBN_cloud_commMqttSendNodeBaseInfo("update", a, b, data);
      break;
    case HBN_CLOUD_KIND_NODE_REPLACE:
      HBN_cloud_commMqttSendNodeBaseInfo("replace", a, b, data);
      break;
    case HBN_CLOUD_KIND_NODE_REMOVE:
      HBN_cloud_commMqttSendNodeRemove(a, b);
      break;
    case HBN_CLOUD_KIND_NODE_RECEIVE:
      HBN_cloud_commMqttSendNodeReceive(a, b, bytes);
      break;
    case HBN_CLOUD_KIND_NODE_NOP:
      HBN_cloud_commMqttSendNodeNopInterval(a, b);
      break;
    case HBN_CLOUD_KIND_NODE_FILTER:
      HBN_cloud_commMqttSendNodeFilter(a, b, bytes);
      break;
    case HBN_CLOUD_KIND_NODE_KEEPALIVE:
      HBN_cloud_commMqttSendNodeKeepAlive(a);
      break;
    case HBN_CLOUD_KIND_NODE_KEY:
      HBN_cloud_commMqttSendNodeKeyZW(a, b);
      break;
    case HBN_CLOUD_KIND_NODE_TEST_FRAME:
      HBN_cloud_commMqttSendNodeTestFrame(a, p2);
      break;
    case HBN_CLOUD_KIND_BACKUP:
      HBN_cloud_commMqttSendBackup(a, b, c, bytes);
      break;
    case HBN_CLOUD_KIND_RESTORE:
      HBN_cloud_commMqttSendRestore(a, b);
      break;
    case HBN_CLOUD_KIND_RESET:
      HBN_cloud_commMqttSendReset(a, b);
      break;
    case HBN_CLOUD_KIND_VERSION:
      HBN_cloud_commMqttSendVersion();
      break;
    case HBN_CLOUD_KIND_KEEPALIVE:
      HBN_cloud_commMqttSendKeepAlive();
      break;
    case HBN_CLOUD_KIND_PVLIST:
      HBN_cloud_commMqttSendPvList(a, bytes);
      break;
    case HBN_CLOUD_KIND_RSSI:
      HBN_cloud_commMqttSendRssi(a, b);
      break;
    case HBN_CLOUD_KIND_GW_DSK:
      HBN_cloud_commMqttSpSendGwDSK(a, bytes);
      break;
    case HBN_CLOUD_KIND_GW_DSK_2:
      HBN_cloud_commMqttSpSendGwDSK_2(a, bytes);
      break;
    default:
      break;  // wake-ups (21, 22) and unknown kinds
  }
}
