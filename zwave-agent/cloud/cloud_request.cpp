#include "cloud_request.h"

#include <json-c/json.h>

#include <cstdio>
#include <cstring>

#include "cloud_link.h"
#include "cloud_payload_internal.h"
#include "cloud_tables_internal.h"
#include "hbn_core.h"
#include "hbn_download.h"
#include "hbn_log.h"
#include "hbn_net.h"
#include "kv_api.h"
#include "mqtt_request.h"

namespace {

enum {
  NODE_ID_TEXT_MAX = 10,
  PVLIST_MAX = 234,  // entries per list the handler keeps
  TOPIC_MAX = 512,
};

const HBN_core_interface_t* core() { return HBN_cloud_commCoreInterface(); }
const KV_api_cloudHandler_t* kv() { return HBN_cloud_commApiHandler(); }

void dumpText(const void* payload, int length) { hbn::dumpPayloadText(payload, length); }

void dumpHex(const void* payload, int length) { hbn::dumpPayloadHex(payload, length); }

// The request text: the payload copied into the link's incoming buffer (the request worker's)
// and terminated there before parsing.
struct RequestText {
  char* data = nullptr;
  size_t size = 0;
};
RequestText requestText() {
  RequestText t;
  hbn::CloudLink* link = HBN_cloud_commLink();
  if (link != nullptr) t.data = link->incoming(&t.size);
  return t;
}

// Parsed JSON object of one request, in the request text buffer.
class Json : public hbn::RequestJson {
 public:
  Json(const char* func, const void* payload, int length) : Json(func, payload, length, requestText()) {}

 private:
  Json(const char* func, const void* payload, int length, RequestText t)
      : hbn::RequestJson(func, t.data, t.size, payload, length) {}
};

}  // namespace

namespace {

int subjectOf(const char* word, bool reset) {
  static const char* const backup[] = {"zwave", "gw", "ir"};
  static const char* const resets[] = {"zwave", "setting", "gw"};
  const char* const* words = reset ? resets : backup;
  for (int i = 0; i < 3; ++i)
    if (strcmp(word, words[i]) == 0) return i;
  return -1;
}

// The key bit a kind names; 0 for none (a text with a NUL inside names none).
int keyBit(json_object* kind) {
  if (!json_object_is_type(kind, json_type_string)) return 0;
  const char* name = json_object_get_string(kind);
  if (strlen(name) != static_cast<size_t>(json_object_get_string_len(kind))) return 0;
  if (strcmp(name, "S0") == 0) return 128;
  if (strcmp(name, "S2_ACCESS") == 0) return 4;
  if (strcmp(name, "S2_AUTHENTICATED") == 0) return 2;
  if (strcmp(name, "S2_UNAUTHENTICATED") == 0) return 1;
  return 0;
}

}  // namespace

// ---------------------------------------------------------------- handlers

void HBN_cloud_commMqttRecvMode(const void* payload, int length) {
  HBN_LOG(HBN_LOG_DEBUG, "MQTT Request(mode)\n");
  dumpText(payload, length);
  Json json(__func__, payload, length);
  if (!json.ok()) return;
  int mode = 0, nodeId = -1, buttonId = -1;
  if (!json.integer("mode", "MQTT json parse(mode) fail\n", &mode)) return;
  if (mode == 3 && !json.integer("node_id", "MQTT json parse(node_id) fail\n", &nodeId)) return;
  if (mode == 10 && !json.integer("button_id", "MQTT json parse(button_id) fail\n", &buttonId)) return;
  json.release();
  HBN_LOG(HBN_LOG_DEBUG, "MQTT Request(mode):mode=%d,nodeID=%d,btnID=%d\n", mode, nodeId, buttonId);
  int accepted = (kv() && kv()->recvMode) ? kv()->recvMode(mode, buttonId) : -1;
  if (accepted == 0 && mode >= 0 && mode <= 5 && core()) core()->recvMode(mode, nodeId);
}

void HBN_cloud_commMqttRecvNodeList() {
  HBN_LOG(HBN_LOG_DEBUG, "MQTT Request(node list)\n");
  HBN_cloud_commMqttSendNodeList();
}

void HBN_cloud_commMqttRecvNodeUpdate(int nodeId, const void* payload, int length) {
  HBN_LOG(HBN_LOG_DEBUG, "MQTT Request(node update):nodeID=%d\n", nodeId);
  dumpText(payload, length);
  Json json(__func__, payload, length);
  if (!json.ok()) return;
  int status = 0;
  if (!json.integer("pairing_status", "MQTT json parse(pairing_status) fail\n", &status)) return;
  json.release();
  if (nodeId < 234) {
    if (core()) core()->recvNodeUpdate(nodeId, status);
  } else if (kv() && kv()->recvNodeUpdate) {
    kv()->recvNodeUpdate(nodeId, status);
  }
}

void HBN_cloud_commMqttRecvNodeRemove(int nodeId, const void* payload, int length) {
  HBN_LOG(HBN_LOG_DEBUG, "MQTT Request(node remove):nodeID=%d\n", nodeId);
  int force = 0;
  if (length > 0) {
    dumpText(payload, length);
    Json json(__func__, payload, length);
    if (!json.ok()) return;
    if (!json.integer("force", "MQTT json parse(force) fail\n", &force)) return;
  }
  HBN_LOG(HBN_LOG_DEBUG, "MQTT Request(node remove):force=%d\n", force);
  if (nodeId < HBN_CORE_VIRTUAL_NODE_MIN && core()) core()->recvNodeRemove(nodeId, force);
}

void HBN_cloud_commMqttRecvNodeSend(int nodeId, const void* payload, int length) {
  HBN_LOG(HBN_LOG_DEBUG, "MQTT Request(node send):nodeID=%d\n", nodeId);
  dumpHex(payload, length);
  const uint8_t* data = static_cast<const uint8_t*>(payload);
  if (nodeId < HBN_CORE_VIRTUAL_NODE_MIN) {
    if (core()) core()->recvNodeSend(nodeId, data, length);
  } else if (kv() && kv()->recvNodeSend) {
    kv()->recvNodeSend(nodeId, data, length);
  }
}

void HBN_cloud_commMqttRecvNodeNopInterval(int nodeId, const void* payload, int length) {
  HBN_LOG(HBN_LOG_DEBUG, "MQTT Request(node nop-interval):nodeID=%d\n", nodeId);
  dumpText(payload, length);
  if (nodeId >= HBN_CORE_VIRTUAL_NODE_MIN) return;
  Json json(__func__, payload, length);
  if (!json.ok()) return;
  int seconds = 0;
  if (!json.integer("seconds", "MQTT json parse(seconds) fail\n", &seconds)) return;
  json.release();
  HBN_LOG(HBN_LOG_DEBUG, "MQTT Request(node nop-interval):nodeID=%d,interval=%d\n", nodeId, seconds);
  if (core()) core()->recvNodeNopInterval(nodeId, seconds);
}

void HBN_cloud_commMqttRecvNodeFilter(int nodeId, const void* payload, int length) {
  HBN_LOG(HBN_LOG_DEBUG, "MQTT Request(node filter):nodeID=%d\n", nodeId);
  dumpText(payload, length);
  if (nodeId >= HBN_CORE_VIRTUAL_NODE_MIN && kv() && kv()->recvNodeFilter)
    kv()->recvNodeFilter(nodeId, static_cast<const uint8_t*>(payload), length);
}

void HBN_cloud_commMqttRecvNodeFwUpdate(int nodeId, const void* payload, int length) {
  HBN_LOG(HBN_LOG_DEBUG, "MQTT Request(node fwupdate):nodeID=%d\n", nodeId);
  dumpHex(payload, length);
  const uint8_t* data = static_cast<const uint8_t*>(payload);
  if (nodeId < HBN_CORE_VIRTUAL_NODE_MIN) {
    if (core()) core()->recvNodeFwUpdate(nodeId, data, length);
  } else if (kv() && kv()->recvNodeFwUpdate) {
    kv()->recvNodeFwUpdate(nodeId, data, length);
  }
}

void HBN_cloud_commMqttRecvNodeKey(int nodeId, const void* payload, int length) {
  HBN_LOG(HBN_LOG_DEBUG, "MQTT Request(node key):nodeID=%d\n", nodeId);
  dumpText(payload, length);
  if (nodeId >= HBN_CORE_VIRTUAL_NODE_MIN) return;
  Json json(__func__, payload, length);
  if (!json.ok()) return;
  json_object* kind = json.member("kind", json_type_array);
  if (kind == nullptr) kind = json.member("kind", json_type_string);
  if (kind == nullptr) {
    HBN_LOG(HBN_LOG_WARN, "MQTT json parse(kind) fail\n");
    return;
  }
  int bits = 0;
  if (json_object_is_type(kind, json_type_array)) {
    size_t count = json_object_array_length(kind);
    for (size_t i = 0; i < count; ++i) {
      json_object* element = json_object_array_get_idx(kind, i);
      int bit = keyBit(element);
      if (bit == 0) {
        HBN_LOG(HBN_LOG_WARN, "MQTT json kind is unknown\n");
        return;
      }
      bits |= bit;
    }
  } else {
    bits = keyBit(kind);
    if (bits == 0) {
      HBN_LOG(HBN_LOG_WARN, "MQTT json kind is unknown\n");
      return;
    }
  }
  int key = 0;
  if (bits & (4 | 2)) {
    const char* text = json.string("key", "MQTT json parse(key) fail\n");
    if (text == nullptr) return;
    if (HBN_util_strToInt(text, &key) != 0) {
      HBN_LOG(HBN_LOG_WARN, "MQTT json kind is unknown\n");
      return;
    }
  }
  json.release();
  HBN_LOG(HBN_LOG_DEBUG, "MQTT Request(node key):nodeID=%d,kind=%X,key=%d\n", nodeId, bits, key);
  if (core()) core()->recvNodeKeyZW(nodeId, bits, key);
}

void HBN_cloud_commMqttRecvGetRssi(int nodeId) {
  if (core()) core()->recvGetRssi(nodeId);
}

void HBN_cloud_commMqttRecvBackup(const void* payload, int length) {
  HBN_LOG(HBN_LOG_DEBUG, "MQTT Request(backup)\n");
  dumpText(payload, length);
  Json json(__func__, payload, length);
  if (!json.ok()) return;
  const char* word = json.string("subject", "MQTT json parse(subject) fail\n");
  if (word == nullptr) return;
  HBN_LOG(HBN_LOG_DEBUG, "MQTT Request(backup):subject=[%s]\n", word);
  int subject = subjectOf(word, false);
  json.release();
  if (subject < 0) {
    HBN_LOG(HBN_LOG_WARN, "MQTT json subject is unknown\n");
    return;
  }
  if (core()) core()->recvBackup(subject);
  if (kv() && kv()->recvBackup) kv()->recvBackup(subject);
}

void HBN_cloud_commMqttRestoreNotice(const char* dataPath, const char* checksumPath, int subject) {
  (void)checksumPath;
  if (dataPath == nullptr) return;
  if (subject == 0 || subject == 1) {
    if (core()) core()->recvRestore(subject, dataPath);
  } else if (subject == 2 && kv() && kv()->recvRestore) {
    kv()->recvRestore(subject, dataPath);
  }
}

void HBN_cloud_commMqttRecvRestore(const void* payload, int length) {
  HBN_LOG(HBN_LOG_DEBUG, "MQTT Request(restore)\n");
  dumpText(payload, length);
  Json json(__func__, payload, length);
  if (!json.ok()) return;
  const char* word = json.string("subject", "MQTT json parse(subject) fail\n");
  if (word == nullptr) return;
  HBN_LOG(HBN_LOG_DEBUG, "MQTT Request(restore):subject=[%s]\n", word);
  int subject = subjectOf(word, false);
  if (subject < 0) {
    HBN_LOG(HBN_LOG_WARN, "MQTT json subject is unknown\n");
    return;
  }
  const char* url = json.string("restore_url", "MQTT json parse(restore_url) fail\n");
  if (url == nullptr) return;
  HBN_LOG(HBN_LOG_DEBUG, "MQTT Request(restore):urlt=[%s]\n", url);
  HBN_download_execute(url, nullptr, HBN_cloud_commMqttRestoreNotice, subject);
}

void HBN_cloud_commMqttRecvReset(const void* payload, int length) {
  HBN_LOG(HBN_LOG_DEBUG, "MQTT Request(reset)\n");
  dumpText(payload, length);
  Json json(__func__, payload, length);
  if (!json.ok()) return;
  const char* word = json.string("subject", "MQTT json parse(subject) fail\n");
  if (word == nullptr) return;
  HBN_LOG(HBN_LOG_DEBUG, "MQTT Request(reset):subject=[%s]\n", word);
  int subject = subjectOf(word, true);
  json.release();
  if (subject < 0) {
    HBN_LOG(HBN_LOG_WARN, "MQTT json subject is unknown\n");
    return;
  }
  if (core()) core()->recvReset(subject);
  if (kv() && kv()->recvReset) kv()->recvReset(subject);
}

void HBN_cloud_commMqttRecvFwUpdate(const void* payload, int length) {
  HBN_LOG(HBN_LOG_DEBUG, "MQTT Request(fw update)\n");
  dumpText(payload, length);
  Json json(__func__, payload, length);
  if (!json.ok()) return;
  const char* url = json.string("download_url", "MQTT json parse(download_url) fail\n");
  if (url == nullptr) return;
  HBN_LOG(HBN_LOG_DEBUG, "MQTT Request(fw update):url=[%s]\n", url);
  const char* checksum = json.string("checksum_url", "MQTT json parse(checksum_url) fail\n");
  if (checksum == nullptr) return;
  HBN_LOG(HBN_LOG_DEBUG, "MQTT Request(fw update):urlt=[%s]\n", checksum);
  if (kv() && kv()->recvFwUpdate) kv()->recvFwUpdate(url, checksum);
}

void HBN_cloud_commMqttRecvGwDSK() {
  HBN_LOG(HBN_LOG_DEBUG, "MQTT Request(gateway DSK)\n");
  if (core()) core()->recvGwDSK();
}

void HBN_cloud_commMqttRecvVersion() {
  HBN_LOG(HBN_LOG_DEBUG, "MQTT Request(version info)\n");
  HBN_cloud_commMqttSendVersion();
}

void HBN_cloud_commMqttRecvStatus() {
  HBN_LOG(HBN_LOG_DEBUG, "MQTT Request(status)\n");
  HBN_cloud_commMqttSendStatus();
}

void HBN_cloud_commMqttRecvNetInfo(const void* payload, int length) {
  HBN_LOG(HBN_LOG_DEBUG, "MQTT Request(netinfo)\n");
  dumpText(payload, length);
  Json json(__func__, payload, length);
  if (!json.ok()) return;
  const char* name = json.string("ifname", "MQTT json parse(ifname) fail\n");
  if (name == nullptr) return;
  HBN_LOG(HBN_LOG_DEBUG, "MQTT Request(ifname):url=[%s]\n", name);
  HBN_cloud_commMqttSpSendNetInfo(name);
}

// Reads one provisioning list ("add" or "remove") into `entries`; -1 when the request must stop.
static int readDskList(const Json& json, const char* name, uint8_t* entries) {
  json_object* list = json.member(name, json_type_array);
  if (list == nullptr) {
    HBN_log_printAt(HBN_LOG_WARN, "HBN_cloud_commMqttRecvSetPvList", __LINE__, "MQTT json parse(%s) fail\n",
                    name);
    return -1;
  }
  size_t count = json_object_array_length(list);
  if (count > PVLIST_MAX) {
    HBN_log_printAt(HBN_LOG_WARN, "HBN_cloud_commMqttRecvSetPvList", __LINE__,
                    "MQTT json parse(%s) too long(%d)\n", name, static_cast<int>(count));
    return -1;
  }
  for (size_t i = 0; i < count; ++i) {
    json_object* element = json_object_array_get_idx(list, i);
    json_object* dsk = nullptr;
    if (!json_object_is_type(element, json_type_object) || !json_object_object_get_ex(element, "dsk", &dsk) ||
        !json_object_is_type(dsk, json_type_string)) {
      HBN_log_printAt(HBN_LOG_WARN, "HBN_cloud_commMqttRecvSetPvList", __LINE__,
                      "MQTT json parse(dsk) fail\n");
      return -1;
    }
    const char* text = json_object_get_string(dsk);
    if (strcmp(name, "add") == 0)
      HBN_log_printAt(HBN_LOG_DEBUG, "HBN_cloud_commMqttRecvSetPvList", __LINE__, "add DSK=%s\n", text);
    else
      HBN_log_printAt(HBN_LOG_DEBUG, "HBN_cloud_commMqttRecvSetPvList", __LINE__, "remove DSK=%s\n", text);
    // The DSK text is split in place, so it is parsed from a bounded copy.
    char copy[64];
    size_t textLength = static_cast<size_t>(json_object_get_string_len(dsk));
    bool fits = textLength < sizeof copy && strlen(text) == textLength;
    if (fits) snprintf(copy, sizeof copy, "%s", text);
    if (!fits || HBN_util_dskFromText(copy, entries + 16 * i) != 0) {
      HBN_log_printAt(HBN_LOG_WARN, "HBN_cloud_commMqttRecvSetPvList", __LINE__,
                      "MQTT json parse(dsk) invalid\n");
      return -1;
    }
  }
  return static_cast<int>(count);
}

void HBN_cloud_commMqttRecvSetPvList(const void* payload, int length) {
  HBN_LOG(HBN_LOG_DEBUG, "MQTT Request(set provisioning list)\n");
  dumpText(payload, length);
  Json json(__func__, payload, length);
  if (!json.ok()) return;
  static uint8_t addEntries[PVLIST_MAX * 16];
  static uint8_t removeEntries[PVLIST_MAX * 16];
  int addCount = readDskList(json, "add", addEntries);
  if (addCount < 0) return;
  int removeCount = readDskList(json, "remove", removeEntries);
  if (removeCount < 0) return;
  json.release();
  HBN_LOG(HBN_LOG_DEBUG, "DSK count=%d,%d\n", addCount, removeCount);
  if (core()) core()->recvSetPvList(addCount, addEntries, removeCount, removeEntries);
}

void HBN_cloud_commMqttRecvGetPvList() {
  if (core()) core()->recvGetPvList();
}

void HBN_cloud_commMqttRecvExecScript(const void* payload, int length) {
  HBN_LOG(HBN_LOG_DEBUG, "MQTT Request(exec script)\n");
  dumpText(payload, length);
  Json json(__func__, payload, length);
  if (!json.ok()) return;
  int number = 0;
  if (!json.integer("no", "MQTT json parse(script no) fail\n", &number)) return;
  json.release();
  if (kv() && kv()->recvExecScript) kv()->recvExecScript(number);
}

// ---------------------------------------------------------------- routes

// "node/<id>/<operation>": the node ID checked, then the operation's handler.
static void nodeRequest(hbn::CloudLink&, const char* name, size_t nameLength, const void* payload,
                        int length) {
  // After "node/", as text: bounded, and terminated for the parsing below.
  char rest[TOPIC_MAX];
  if (nameLength - 5 >= sizeof rest) {
    HBN_log_printAt(HBN_LOG_WARN, "HBN_cloud_commMqttMsgarrvd", __LINE__, "MQTT topic unknown\n");
    return;
  }
  memcpy(rest, name + 5, nameLength - 5);
  rest[nameLength - 5] = '\0';
  const char* afterNode = rest;
  HBN_log_printAt(HBN_LOG_DEBUG, "HBN_cloud_commMqttMsgarrvd", __LINE__, "right node ID=%s\n", afterNode);
  const char* slash = strchr(afterNode, '/');
  if (slash == nullptr) {
    HBN_log_printAt(HBN_LOG_WARN, "HBN_cloud_commMqttMsgarrvd", __LINE__, "MQTT topic parse fail\n");
    return;
  }
  size_t idLength = static_cast<size_t>(slash - afterNode);
  char idText[NODE_ID_TEXT_MAX + 1] = {0};
  int nodeId = -1;
  bool valid = idLength >= 1 && idLength <= NODE_ID_TEXT_MAX;
  if (valid) {
    memcpy(idText, afterNode, idLength);
    valid = idText[0] != '+' && HBN_util_strToInt(idText, &nodeId) == 0 && nodeId >= 0;
  }
  HBN_log_printAt(HBN_LOG_DEBUG, "HBN_cloud_commMqttMsgarrvd", __LINE__, "NodeID:str=%s,dec=%d\n", slash,
                  nodeId);
  if (!valid) {
    HBN_log_printAt(HBN_LOG_WARN, "HBN_cloud_commMqttMsgarrvd", __LINE__, "MQTT topic node ID fail\n");
    return;
  }
  if (strcmp(slash, "/update") == 0)
    HBN_cloud_commMqttRecvNodeUpdate(nodeId, payload, length);
  else if (strcmp(slash, "/remove") == 0)
    HBN_cloud_commMqttRecvNodeRemove(nodeId, payload, length);
  else if (strcmp(slash, "/send") == 0)
    HBN_cloud_commMqttRecvNodeSend(nodeId, payload, length);
  else if (strcmp(slash, "/nop_interval") == 0)
    HBN_cloud_commMqttRecvNodeNopInterval(nodeId, payload, length);
  else if (strcmp(slash, "/filter") == 0)
    HBN_cloud_commMqttRecvNodeFilter(nodeId, payload, length);
  else if (strcmp(slash, "/fwupdate") == 0)
    HBN_cloud_commMqttRecvNodeFwUpdate(nodeId, payload, length);
  else if (strcmp(slash, "/key") == 0)
    HBN_cloud_commMqttRecvNodeKey(nodeId, payload, length);
  else if (strcmp(slash, "/rssi") == 0)
    HBN_cloud_commMqttRecvGetRssi(nodeId);
  else
    HBN_log_printAt(HBN_LOG_WARN, "HBN_cloud_commMqttMsgarrvd", __LINE__, "MQTT topic unknown\n");
}

namespace {

// Route entries for handlers that take the payload, and for those that take nothing.
template <void (*Handler)(const void*, int)>
void withPayload(hbn::CloudLink&, const char*, size_t, const void* payload, int length) {
  Handler(payload, length);
}
template <void (*Handler)()>
void withoutPayload(hbn::CloudLink&, const char*, size_t, const void*, int) {
  Handler();
}

const hbn::Route kRoutes[] = {
    {"node/", true, nodeRequest},
    {"mode", false, withPayload<HBN_cloud_commMqttRecvMode>},
    {"node_list", false, withoutPayload<HBN_cloud_commMqttRecvNodeList>},
    {"backup", false, withPayload<HBN_cloud_commMqttRecvBackup>},
    {"restore", false, withPayload<HBN_cloud_commMqttRecvRestore>},
    {"reset", false, withPayload<HBN_cloud_commMqttRecvReset>},
    {"fwupdate", false, withPayload<HBN_cloud_commMqttRecvFwUpdate>},
    {"gwkey_ex", false, withoutPayload<HBN_cloud_commMqttRecvGwDSK>},
    {"version", false, withoutPayload<HBN_cloud_commMqttRecvVersion>},
    {"status", false, withoutPayload<HBN_cloud_commMqttRecvStatus>},
    {"netinfo", false, withPayload<HBN_cloud_commMqttRecvNetInfo>},
    {"smartstart/set", false, withPayload<HBN_cloud_commMqttRecvSetPvList>},
    {"smartstart/get", false, withoutPayload<HBN_cloud_commMqttRecvGetPvList>},
    {"script", false, withPayload<HBN_cloud_commMqttRecvExecScript>},
};

}  // namespace

const hbn::Route* HBN_cloud_requestRoutes(size_t* count) {
  *count = sizeof kRoutes / sizeof kRoutes[0];
  return kRoutes;
}

void HBN_cloud_commMqttMsgarrvd(const char* topic, int topicLen, const void* payload, int payloadLen) {
  hbn::CloudLink* link = HBN_cloud_commLink();
  if (link != nullptr) link->route(topic, topicLen, payload, payloadLen);
}
