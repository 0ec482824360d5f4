// Core command thread ("core-cmd"): the only reader of the gateway pipe. Every report is
// classified by the transport and handed to one parser here, which updates the shared state
// and the settings store and tells the cloud. Each parser checks the report's length before it
// reads a byte, and every copy into the node information record is cut to the field's size.
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "hbn_cloud.h"
#include "hbn_platform.h"
#include "hbn_core.h"
#include "hbn_core_thread.h"
#include "hbn_ir.h"
#include "hbn_log.h"
#include "hbn_net.h"
#include "hbn_nvm.h"
#include "hbn_path.h"
#include "hbn_zip.h"

namespace {

constexpr int kPollLimitMs = 2000;
constexpr int kMaxNodeId = 232;  // node IDs the node list and the settings store hold

// Provisioning entries collected over one list iteration: 16-byte DSK and the node ID.
constexpr int kPvEntrySize = HBN_CLOUD_PVLIST_ENTRY_SIZE;
constexpr int kPvMax = HBN_CLOUD_PVLIST_MAX;
uint8_t g_pvTable[kPvMax * kPvEntrySize];

HBN_core_threadShared_t& shared() { return HBN_core_threadShared(); }

void setMode(int mode) {
  if (shared().state) shared().state->mode.store(mode);
}

int getMode() { return shared().state ? shared().state->mode.load() : 0; }

uint8_t gatewayId() {
  HBN_core_state_t* state = shared().state;
  if (!state) return 0;
  std::lock_guard<std::mutex> guard(state->mutex);
  return static_cast<uint8_t>(state->gwNodeId);
}

bool validNode(int nodeId) { return nodeId >= 1 && nodeId <= kMaxNodeId; }

// Sets or clears one node's bit under the shared-state mutex; the caller logs the byte before
// and after the change.
struct BitChange {
  bool done = false;
  int index = 0;
  unsigned before = 0;
  unsigned after = 0;
};

BitChange changeNodeBit(int nodeId, bool set) {
  BitChange change;
  HBN_core_state_t* state = shared().state;
  if (!state || !validNode(nodeId)) return change;
  change.index = (nodeId - 1) / 8;
  uint8_t bit = static_cast<uint8_t>(1u << ((nodeId - 1) % 8));
  {
    std::lock_guard<std::mutex> guard(state->mutex);
    uint8_t& byte = state->nodeList[change.index];
    change.before = byte;
    byte = static_cast<uint8_t>(set ? (byte | bit) : (byte & ~bit));
    change.after = byte;
  }
  change.done = true;
  return change;
}

uint16_t be16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

// Copies up to `length` bytes of text into a field of `size` bytes, always terminated.
void copyText(char* field, int size, const uint8_t* text, int length) {
  int n = length < size - 1 ? length : size - 1;
  if (n > 0) memcpy(field, text, static_cast<size_t>(n));
  field[n > 0 ? n : 0] = '\0';
}

// Logs the eight DSK words under the name of the parser `func`.
void logDskWords(const char* func, const uint8_t* dsk) {
  for (int i = 0; i < 8; ++i) {
    unsigned short word = be16(dsk + 2 * i);
    HBN_log_printAt(HBN_LOG_DEBUG, func, __LINE__, "dsk=%hu\n", word);
  }
}

// Record built, node bit set (inclusion only), secure classes stored.
bool buildAndStore(const uint8_t* data, int length, HBN_node_info_t* record) {
  if (HBN_core_threadParseBaseInfo(data, length, record) != 0) return false;
  HBN_nvm_setSecureClasses(data[2], record->commandClasses, record->securityFlags, record->commandClassCount);
  return true;
}

}  // namespace

int HBN_core_threadParseBaseInfo(const uint8_t* data, int length, HBN_node_info_t* record) {
  if (!data || !record || length < 4) return -1;
  int status = data[0];
  int nodeId = data[2];
  HBN_LOG(HBN_LOG_DEBUG, "status=%d,nodeID=%d\n", status, nodeId);
  if ((status != 6 && status != 9) || nodeId == 0) return -1;

  memset(record, 0, sizeof(*record));
  memset(record->versions, 255, sizeof(record->versions));
  const uint8_t* device = data + 4;
  int deviceBytes = length - 4 < 5 ? length - 4 : 5;
  uint8_t* classBytes[5] = {&record->capability, &record->security, &record->basic, &record->generic,
                            &record->specific};
  for (int i = 0; i < deviceBytes; ++i) *classBytes[i] = device[i];

  if (length < 10) {
    // A short report carries no blocks; a node that failed security still says so.
    record->pairingStatus = status == 9 ? 4 : 0;
    return 0;
  }

  int pos = 9;
  int n = data[pos++];
  int stored = n < HBN_NODE_CLASS_MAX ? n : HBN_NODE_CLASS_MAX;
  int available = length - pos;
  if (stored > available) stored = available;
  memcpy(record->commandClasses, data + pos, static_cast<size_t>(stored > 0 ? stored : 0));
  record->commandClassCount = stored;
  record->commandClassState = stored > 0 ? HBN_NODE_STATE_OBTAINED : HBN_NODE_STATE_NONE;
  pos += n;

  // Each block is read only when it lies completely inside the report; the walk ends at the
  // first one that does not.
  auto has = [&](int count) { return pos + count <= length; };
  bool complete = false;
  do {
    if (!has(1)) break;
    record->zwavePlusState = data[pos++];
    if (record->zwavePlusState == HBN_NODE_STATE_OBTAINED) {
      if (!has(7)) break;
      record->zwavePlusVersion = data[pos];
      record->roleType = data[pos + 1];
      record->nodeType = data[pos + 2];
      record->installerIconType = be16(data + pos + 3);
      record->userIconType = be16(data + pos + 5);
      pos += 7;
    }

    if (!has(1)) break;
    record->manufacturerState = data[pos++];
    if (record->manufacturerState == HBN_NODE_STATE_OBTAINED) {
      if (!has(6)) break;
      record->manufacturerId = be16(data + pos);
      record->productType = be16(data + pos + 2);
      record->productId = be16(data + pos + 4);
      pos += 6;
    }

    if (!has(1)) break;
    record->deviceIdState = data[pos++];
    if (record->deviceIdState == HBN_NODE_STATE_OBTAINED) {
      if (!has(3)) break;
      record->deviceIdType = data[pos];
      int format = data[pos + 1];
      int idLength = data[pos + 2];
      pos += 3;
      if (!has(idLength)) break;
      if (format == 0) {
        copyText(record->deviceId, HBN_NODE_DEVICE_ID_SIZE, data + pos, idLength);
      } else {
        int bytes =
            idLength < (HBN_NODE_DEVICE_ID_SIZE - 1) / 2 ? idLength : (HBN_NODE_DEVICE_ID_SIZE - 1) / 2;
        int chars = HBN_util_hexEncode(record->deviceId, data + pos, bytes);
        record->deviceId[chars >= 0 && chars < HBN_NODE_DEVICE_ID_SIZE ? chars : 0] = '\0';
      }
      record->deviceIdLength = static_cast<uint8_t>(strlen(record->deviceId));
      pos += idLength;
    }

    if (!has(1)) break;
    record->locationState = data[pos++];
    if (record->locationState == HBN_NODE_STATE_OBTAINED) {
      if (!has(2)) break;
      record->locationType = data[pos];
      int textLength = data[pos + 1];
      pos += 2;
      if (!has(textLength)) break;
      copyText(record->locationName, HBN_NODE_NAME_SIZE, data + pos, textLength);
      pos += textLength;
    }

    if (!has(1)) break;
    record->nameState = data[pos++];
    if (record->nameState == HBN_NODE_STATE_OBTAINED) {
      if (!has(2)) break;
      record->nameType = data[pos];
      int textLength = data[pos + 1];
      pos += 2;
      if (!has(textLength)) break;
      copyText(record->nodeName, HBN_NODE_NAME_SIZE, data + pos, textLength);
      pos += textLength;
    }

    if (!has(1)) break;
    if (data[pos++] == HBN_NODE_STATE_OBTAINED) {
      if (!has(n)) break;
      memcpy(record->versions, data + pos, static_cast<size_t>(stored));
      pos += n;
    }

    if (n > 0) {
      if (!has(n)) break;
      memcpy(record->securityFlags, data + pos, static_cast<size_t>(stored));
      pos += n;
    }
    complete = has(1);
  } while (false);

  record->wakeUpInterval = 60;
  record->nopInterval = 0;
  record->pairingStatus = 0;
  if (status == 9) {
    record->pairingStatus = 4;
  } else if (complete) {
    uint8_t flags = data[pos];
    if (flags & 0x01) {
      record->pairingStatus = 1;
    } else if (flags & 0x02) {
      record->pairingStatus = 2;
    } else if (flags & 0x04) {
      record->pairingStatus = 1;
    }
  }
  return 0;
}

void HBN_core_threadParseNodeList(const uint8_t* data, int length) {
  HBN_LOG(HBN_LOG_DEBUG, "len=%d\n", length);
  HBN_core_state_t* state = shared().state;
  if (!data || length != 34 || !state) return;
  int gw = data[4];
  {
    std::lock_guard<std::mutex> guard(state->mutex);
    state->homeId = (static_cast<uint32_t>(data[0]) << 24) | (static_cast<uint32_t>(data[1]) << 16) |
                    (static_cast<uint32_t>(data[2]) << 8) | data[3];
    state->gwNodeId = static_cast<uint32_t>(gw);
    memcpy(state->nodeList, data + 5, HBN_CORE_NODELIST_SIZE);
    HBN_LOG(HBN_LOG_INFO, "GW node ID=%d\n", gw);
    if (validNode(gw)) {
      int index = (gw - 1) / 8;
      HBN_LOG(HBN_LOG_DEBUG, "GW nodelist[%d]=%X\n", index, state->nodeList[index]);
      state->nodeList[index] = static_cast<uint8_t>(state->nodeList[index] & ~(1u << ((gw - 1) % 8)));
      HBN_LOG(HBN_LOG_DEBUG, "GW nodelist[%d]=%X\n", index, state->nodeList[index]);
    }
  }
  if (shared().sendConnectedAfterList.exchange(false)) {
    HBN_cloud_sendConnected();
  } else {
    HBN_core_threadFirstListGive();
  }
}

void HBN_core_threadParseInclusion(const uint8_t* data, int length) {
  HBN_LOG(HBN_LOG_DEBUG, "len=%d\n", length);
  if (!data || length < 4) return;
  int status = data[0];
  int nodeId = data[2];
  HBN_LOG(HBN_LOG_DEBUG, "status=%d,nodeID=%d\n", status, nodeId);
  if ((status == 6 || status == 9) && nodeId != 0) {
    if (!validNode(nodeId)) {
      HBN_LOG(HBN_LOG_WARN, "status=%d,nodeID=%d\n", status, nodeId);
    } else {
      HBN_node_info_t record;
      if (HBN_core_threadParseBaseInfo(data, length, &record) == 0) {
        BitChange change = changeNodeBit(nodeId, true);
        HBN_LOG(HBN_LOG_DEBUG, "old nodelist[%d]=%X\n", change.index, change.before);
        HBN_LOG(HBN_LOG_DEBUG, "new nodelist[%d]=%X\n", change.index, change.after);
        HBN_nvm_setSecureClasses(nodeId, record.commandClasses, record.securityFlags,
                                 record.commandClassCount);
        HBN_cloud_sendNodeAdd(nodeId, &record, 0);
      }
    }
  }
  if (!HBN_core_threadModeEnded(HBN_CORE_MODE_INCLUSION, HBN_CORE_MODE_INCLUSION, 1)) return;
  if (getMode() != HBN_CORE_MODE_NORMAL) {
    setMode(HBN_CORE_MODE_NORMAL);
    HBN_cloud_sendMode(HBN_CORE_MODE_NORMAL, 1, 0, nullptr);
  }
}

void HBN_core_threadParseExclusion(const uint8_t* data, int length) {
  HBN_LOG(HBN_LOG_DEBUG, "len=%d\n", length);
  if (!data || length != 2) return;
  int status = data[0];
  int nodeId = data[1];
  HBN_LOG(HBN_LOG_DEBUG, "status=%d,nodeID=%d\n", status, nodeId);
  if (status == 6 && nodeId != 0) {
    // A node of another network may be excluded too: it is only ours to forget if we hold it.
    BitChange change = changeNodeBit(nodeId, false);
    if (change.done) {
      HBN_LOG(HBN_LOG_DEBUG, "old nodelist[%d]=%X\n", change.index, change.before);
      HBN_LOG(HBN_LOG_DEBUG, "mew nodelist/[%d]=%X\n", change.index, change.after);
    }
    if (validNode(nodeId)) HBN_nvm_clearNode(nodeId);
    HBN_cloud_sendNodeRemove(nodeId, 0);
  }
  if (!HBN_core_threadModeEnded(HBN_CORE_MODE_EXCLUSION, HBN_CORE_MODE_EXCLUSION, 1)) return;
  setMode(HBN_CORE_MODE_NORMAL);
  HBN_cloud_sendMode(HBN_CORE_MODE_NORMAL, 1, 0, nullptr);
}

void HBN_core_threadParseLearn(const uint8_t* data, int length) {
  HBN_LOG(HBN_LOG_DEBUG, "len=%d\n", length);
  if (!data || length < 2) return;
  int status = data[0];
  HBN_LOG(HBN_LOG_DEBUG, "status=%d\n", status);
  bool reportNow = HBN_core_threadModeEnded(HBN_CORE_MODE_LEARN_CLASSIC, HBN_CORE_MODE_LEARN_NWI, 0);
  setMode(HBN_CORE_MODE_NORMAL);
  if (status != 6) {
    if (reportNow) HBN_cloud_sendMode(HBN_CORE_MODE_NORMAL, 0, 0, nullptr);
    return;
  }
  // The new node ID sits in byte 2; a report without it still gets the node list below,
  // which carries the gateway's node ID as well.
  if (length >= 3 && shared().state) {
    HBN_core_state_t* state = shared().state;
    {
      std::lock_guard<std::mutex> guard(state->mutex);
      state->gwNodeId = data[2];
    }
    HBN_LOG(HBN_LOG_INFO, "new GW node ID=%d\n", data[2]);
  }
  HBN_nvm_clearAll();
  if (reportNow) HBN_cloud_sendMode(HBN_CORE_MODE_NORMAL, 0, 0, nullptr);
  shared().sendConnectedAfterList.store(true);
  int result = HBN_core_zipCmdGetNodeList(0);
  if (result != 0) HBN_LOG(HBN_LOG_ERROR, "CORE Learn after node list update fail(%d)\n", result);
}

void HBN_core_threadParseRemove(const uint8_t* data, int length) {
  HBN_LOG(HBN_LOG_DEBUG, "len=%d\n", length);
  if (!data || length != 2) return;
  int status = data[0];
  int nodeId = data[1];
  HBN_LOG(HBN_LOG_DEBUG, "status=%d,nodeID=%d\n", status, nodeId);
  if (status == 1) {
    BitChange change = changeNodeBit(nodeId, false);
    if (change.done) {
      HBN_LOG(HBN_LOG_DEBUG, "old nodelist[%d]=%X\n", change.index, change.before);
      HBN_LOG(HBN_LOG_DEBUG, "mew nodelist[%d]=%X\n", change.index, change.after);
    }
    if (validNode(nodeId)) HBN_nvm_clearNode(nodeId);
    HBN_cloud_sendNodeRemove(nodeId, 0);
  } else if (status == 2) {
    HBN_cloud_sendNodeRemove(nodeId, 1);
  }
}

void HBN_core_threadParseReplace(const uint8_t* data, int length) {
  HBN_LOG(HBN_LOG_DEBUG, "len=%d\n", length);
  if (!data || length != 4) return;
  int status = data[0];
  HBN_LOG(HBN_LOG_DEBUG, "status=%d,nodeID=%d\n", status, data[1]);
  switch (status) {
    case 3:
      setMode(HBN_CORE_MODE_REPLACE);
      HBN_cloud_sendMode(HBN_CORE_MODE_REPLACE, 0, 0, nullptr);
      break;
    case 4:
      setMode(HBN_CORE_MODE_NORMAL);
      HBN_cloud_sendMode(HBN_CORE_MODE_NORMAL, 1, 0, nullptr);
      break;
    case 5:
      setMode(HBN_CORE_MODE_NORMAL);
      HBN_cloud_sendMode(HBN_CORE_MODE_NORMAL, 1, 1, "not replaced");
      break;
    default:
      break;
  }
}

void HBN_core_threadParseUpdate(const uint8_t* data, int length) {
  HBN_LOG(HBN_LOG_DEBUG, "len=%d\n", length);
  if (!data || length < 4) return;
  int nodeId = data[2];
  HBN_LOG(HBN_LOG_DEBUG, "status=%d,nodeID=%d\n", data[0], nodeId);
  if (nodeId == 0) return;
  if (!validNode(nodeId)) {
    HBN_LOG(HBN_LOG_WARN, "status=%d,nodeID=%d\n", data[0], nodeId);
    return;
  }
  HBN_node_info_t record;
  if (!buildAndStore(data, length, &record)) return;
  HBN_cloud_sendNodeUpdate(nodeId, &record, 0);
}

void HBN_core_threadParseSecureKind(const uint8_t* data, int length) {
  HBN_LOG(HBN_LOG_DEBUG, "len=%d\n", length);
  if (!data || length != 3) return;
  int keys = data[1];
  int nodeId = data[2];
  HBN_LOG(HBN_LOG_DEBUG, "nodeID=%d\n", nodeId);
  HBN_LOG(HBN_LOG_DEBUG, "flag=%X,%X\n", data[0], keys);
  if (keys & 0x01) HBN_LOG(HBN_LOG_DEBUG, "Requested Keys: Unauthenticated Security Class Key\n");
  if (keys & 0x02) HBN_LOG(HBN_LOG_DEBUG, "Requested Keys: Authenticated Security Class Key\n");
  if (keys & 0x04) HBN_LOG(HBN_LOG_DEBUG, "Requested Keys: Access Control Security Class Key\n");
  if (keys & 0x80) HBN_LOG(HBN_LOG_DEBUG, "Requested Keys: Security 0 Network Key\n");
  HBN_cloud_sendNodeKeyZW(nodeId, keys);
}

void HBN_core_threadParseSecureDSK(const uint8_t* data, int length) {
  HBN_LOG(HBN_LOG_DEBUG, "len=%d\n", length);
  if (!data || length != 18) return;
  int n = data[0] % 16;
  HBN_LOG(HBN_LOG_DEBUG, "len=%d\n", n);
  for (int i = 1; i <= n; ++i) HBN_LOG(HBN_LOG_DEBUG, "DSK[%2d]=%X\n", i, data[i]);
  // The input is the first DSK block (the PIN); a longer request gets zeros after it.
  int key = shared().pendingKey.load();
  uint8_t input[16] = {static_cast<uint8_t>((key >> 8) & 0xFF), static_cast<uint8_t>(key & 0xFF)};
  HBN_LOG(HBN_LOG_DEBUG, "key=%d,%X,%X\n", key, input[0], input[1]);
  HBN_core_zipCmdSetDSK(gatewayId(), n, input);
}

void HBN_core_threadParseGetDSK(const uint8_t* data, int length) {
  HBN_LOG(HBN_LOG_DEBUG, "len=%d\n", length);
  if (!data || length != 17) return;
  HBN_LOG(HBN_LOG_DEBUG, "flag=0x%02X\n", data[0]);
  logDskWords(__func__, data + 1);
  HBN_cloud_spSendGwDSK(16, data + 1);
}

void HBN_core_threadParseGetDSK_2(const uint8_t* data, int length) {
  HBN_LOG(HBN_LOG_DEBUG, "len=%d\n", length);
  if (!data || length < 32) return;
  logDskWords(__func__, data);
  HBN_cloud_spSendGwDSK_2(length, data);
}

void HBN_core_threadParseReset(const uint8_t* data, int length) {
  HBN_LOG(HBN_LOG_DEBUG, "len=%d\n", length);
  if (!data || length != 1) return;
  HBN_core_state_t* state = shared().state;
  if (state) {
    std::lock_guard<std::mutex> guard(state->mutex);
    memset(state->nodeList, 0, sizeof(state->nodeList));
  }
  HBN_nvm_clearAll();
  HBN_cloud_sendReset(0, data[0] == 6 ? 0 : -1);
}

void HBN_core_threadSmartStart(const uint8_t* data, int length) {
  HBN_LOG(HBN_LOG_DEBUG, "len=%d\n", length);
  if (!data || length < 17) return;
  char text[64] = {0};
  HBN_util_dskToText(data + 1, text);
  text[sizeof(text) - 1] = '\0';
  HBN_LOG(HBN_LOG_INFO, "SmartStart[Started]=%s\n", text);
  setMode(HBN_CORE_MODE_INCLUSION);
  HBN_cloud_sendMode(HBN_CORE_MODE_INCLUSION, 1, 0, nullptr);
}

void HBN_core_threadPvList(const uint8_t* data, int length) {
  HBN_LOG(HBN_LOG_DEBUG, "len=%d\n", length);
  if (!data || length < 1) return;
  int remaining = data[0];
  HBN_LOG(HBN_LOG_DEBUG, "counter=%X\n", remaining);
  if (length == 28) {
    int count = shared().pvCount.load();
    if (count < 0 || count >= kPvMax) {
      HBN_LOG(HBN_LOG_WARN, "provisioning list full(%d)\n", count);
    } else {
      uint8_t* entry = g_pvTable + count * kPvEntrySize;
      memcpy(entry, data + 2, 16);
      entry[16] = 0;
      int pos = 19;
      while (pos < 26) {
        int type = data[pos] >> 1;
        int itemLength = data[pos + 1];
        HBN_LOG(HBN_LOG_DEBUG, "type=%d(0x%hhX),len=%d\n", type, static_cast<unsigned char>(type),
                itemLength);
        if (type == 0x37 && pos + itemLength < 27) {
          entry[16] = data[pos + 2];
          HBN_LOG(HBN_LOG_DEBUG, "nodeID=%d\n", entry[16]);
          break;
        }
        pos += itemLength + 2;
      }
      shared().pvCount.store(count + 1);
    }
  }
  if (remaining != 0) {
    // A bounded wait: the message thread may be waiting for an acknowledgement that only this
    // thread reads. Without room the iteration ends and the partial list is dropped.
    if (!shared().queue ||
        HBN_queue_sendTimeout(shared().queue, static_cast<int>(HBN_time_scaled(1000)),
                              HBN_CORE_KIND_PVLIST_GET, static_cast<uint32_t>(remaining), 0, 0, 0) != 0) {
      HBN_LOG(HBN_LOG_WARN, "CORE send queue push fail\n");
      shared().pvCount.store(0);
    }
    return;
  }
  int count = shared().pvCount.exchange(0);
  if (count < 0) count = 0;
  if (count > kPvMax) count = kPvMax;
  HBN_cloud_sendPvList(count, g_pvTable);
}

void HBN_core_threadChRssi(const uint8_t* data, int length) {
  (void)data;
  HBN_LOG(HBN_LOG_DEBUG, "len=%d\n", length);
}

void HBN_core_threadNodeRssi(const uint8_t* data, int length) {
  HBN_LOG(HBN_LOG_DEBUG, "len=%d\n", length);
  if (!data || length != 2) return;
  HBN_cloud_sendRssi(data[0], static_cast<int8_t>(data[1]));
}

void HBN_core_threadDispatch(int kind, int nodeID, const uint8_t* data, int length) {
  if (length < 0 || (!data && length > 0)) return;
  switch (kind) {
    case HBN_ZIP_KIND_NODE:
      if (!HBN_core_expandCmdRecv(nodeID, length, data)) HBN_cloud_sendNodeReceive(nodeID, length, data);
      break;
    case HBN_ZIP_KIND_NODE_LIST:
      HBN_core_threadParseNodeList(data, length);
      break;
    case HBN_ZIP_KIND_INCLUSION:
      HBN_core_threadParseInclusion(data, length);
      break;
    case HBN_ZIP_KIND_EXCLUSION:
      HBN_core_threadParseExclusion(data, length);
      break;
    case HBN_ZIP_KIND_LEARN:
      HBN_core_threadParseLearn(data, length);
      break;
    case HBN_ZIP_KIND_REMOVE:
      HBN_core_threadParseRemove(data, length);
      break;
    case HBN_ZIP_KIND_REPLACE:
      HBN_core_threadParseReplace(data, length);
      break;
    case HBN_ZIP_KIND_NODE_INFO:
      HBN_core_threadParseUpdate(data, length);
      break;
    case HBN_ZIP_KIND_KEYS:
      HBN_core_threadParseSecureKind(data, length);
      break;
    case HBN_ZIP_KIND_DSK:
      HBN_core_threadParseSecureDSK(data, length);
      break;
    case HBN_ZIP_KIND_GW_DSK:
      HBN_core_threadParseGetDSK(data, length);
      break;
    case HBN_ZIP_KIND_GW_DSK_2:
      HBN_core_threadParseGetDSK_2(data, length);
      break;
    case HBN_ZIP_KIND_RESET:
      HBN_core_threadParseReset(data, length);
      break;
    case HBN_ZIP_KIND_KEEP_ALIVE:
      HBN_cloud_sendNodeKeepAlive(nodeID);
      break;
    case HBN_ZIP_KIND_TEST_RESULT:
      if (length >= 3) HBN_cloud_sendNodeTestFrame(nodeID, data[0], data[1], data[2]);
      break;
    case HBN_ZIP_KIND_SMART_START:
      HBN_core_threadSmartStart(data, length);
      break;
    case HBN_ZIP_KIND_PV_LIST:
      HBN_core_threadPvList(data, length);
      break;
    case HBN_ZIP_KIND_CH_RSSI:
      HBN_core_threadChRssi(data, length);
      break;
    case HBN_ZIP_KIND_NODE_RSSI:
      HBN_core_threadNodeRssi(data, length);
      break;
    default:
      break;
  }
}

void HBN_core_threadCmd(HBN_thread_t* self, uintptr_t argument) {
  (void)self;
  (void)argument;
  HBN_LOG(HBN_LOG_INFO, "CORE cmd thread start\n");
  HBN_LOG(HBN_LOG_INFO, "CORE cmd thread run\n");
  while (shared().cmdRun.load()) {
    struct pollfd fds[2] = {};
    fds[0].fd = HBN_core_zipCmdGetFd();
    fds[0].events = POLLIN;
    fds[1].fd = shared().wakeFd[0];
    fds[1].events = POLLIN;
    if (fds[0].fd < 0) break;
    // With the wake-up pipe there, its byte ends the wait when the run flag is cleared, so the
    // wait needs no limit: an idle gateway wakes the thread for nothing.
    int ready =
        fds[1].fd >= 0 ? hbn::platform().poll(fds, 2, -1) : hbn::platform().poll(fds, 1, kPollLimitMs);
    if (ready <= 0) continue;
    if (fds[1].revents & POLLIN) {
      char drain[16];
      while (read(fds[1].fd, drain, sizeof(drain)) > 0) {
      }
      continue;  // the run flag decides
    }
    if (fds[0].revents & POLLIN) {
      int kind = HBN_ZIP_KIND_NONE;
      int nodeId = 0;
      const uint8_t* data = nullptr;
      int length = 0;
      if (HBN_core_zipCmdRecv(&kind, &nodeId, &data, &length) == 0 && kind != HBN_ZIP_KIND_NONE) {
        HBN_core_threadDispatch(kind, nodeId, data, length);
      }
    } else if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) {
      HBN_LOG(HBN_LOG_ERROR, "Z/IP is down\n");
      shared().zipDown.store(true);
      shared().cmdRun.store(false);
    }
  }
  HBN_LOG(HBN_LOG_INFO, "CORE cmd thread finish\n");
}
