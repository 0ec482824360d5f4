// Adaptation layer: start-up and shut-down of the agent's modules, the adaptation state, and
// the cloud entry points for the virtual node and box-wide requests.
#include "kv_api.h"

#include <atomic>
#include <cstring>

#include "hbn_cloud.h"
#include "hbn_core.h"
#include "hbn_download.h"
#include "hbn_log.h"
#include "hbn_node_info.h"
#include "hbn_nvm.h"
#include "hbn_os.h"

namespace {

// Written at start-up before any worker thread exists, read afterwards.
KV_api_interface_t gCallbacks{};
// Written by the MQTT threads (mode requests) and read anywhere.
std::atomic<int> gState{0};
char gVersion[512] = {0};

const char* const kSlotNames[8] = {
    "stateChangeNotice", "cloudConnectNotice", "secureRequest",         "factoryResetRequest",
    "resetComplite",     "rebootRequest",      "firmwareUpdateRequest", "execScript",
};

void notify(int state) {
  gState.store(state);
  if (gCallbacks.stateChangeNotice != nullptr) gCallbacks.stateChangeNotice(static_cast<unsigned>(state));
}

// Entry points of the handler table that accept a request and do nothing with it.
int ignoreNodeData(int, const uint8_t*, int) { return 0; }
int ignoreBackup(int) { return 0; }
int ignoreRestore(int, const char*) { return 0; }

int forwardSecure(int nodeId, int requestedKeys) {
  if (gCallbacks.secureRequest == nullptr) return -1;
  gCallbacks.secureRequest(nodeId, requestedKeys);
  return 0;
}

// Every callback is set once the layer has started; before that, requests are refused.
bool started() { return gCallbacks.stateChangeNotice != nullptr; }

const KV_api_cloudHandler_t kHandler = {
    KV_api_recvMode,       KV_api_recvNodeUpdate, ignoreNodeData,     forwardSecure,      ignoreNodeData,
    ignoreNodeData,        ignoreBackup,          ignoreRestore,      KV_api_recvReset,   KV_api_recvFwUpdate,
    KV_api_recvExecScript, KV_api_getMode,        KV_api_getNodeList, KV_api_stateChange,
};

}  // namespace

int KV_api_checkInterface(const KV_api_interface_t* callbacks) {
  if (callbacks == nullptr) {
    HBN_LOG(HBN_LOG_ERROR, "KV_api_interface_t is NULL\n");
    return -1;
  }
  const void* slots[8] = {
      reinterpret_cast<const void*>(callbacks->stateChangeNotice),
      reinterpret_cast<const void*>(callbacks->cloudConnectNotice),
      reinterpret_cast<const void*>(callbacks->secureRequest),
      reinterpret_cast<const void*>(callbacks->factoryResetRequest),
      reinterpret_cast<const void*>(callbacks->resetComplite),
      reinterpret_cast<const void*>(callbacks->rebootRequest),
      reinterpret_cast<const void*>(callbacks->firmwareUpdateRequest),
      reinterpret_cast<const void*>(callbacks->execScript),
  };
  for (int i = 0; i < 8; ++i) {
    if (slots[i] == nullptr) {
      HBN_LOG(HBN_LOG_ERROR, "KV_api_interface_t.%s is NULL\n", kSlotNames[i]);
      return -1;
    }
  }
  return 0;
}

int KV_api_initialize(const KV_api_interface_t* callbacks) {
  HBN_LOG(HBN_LOG_INFO, "HBN start\n");
  if (KV_api_checkInterface(callbacks) != 0) return 2;

  gState.store(KV_API_STATE_STARTUP);
  gCallbacks = *callbacks;
  if (gCallbacks.stateChangeNotice(KV_API_STATE_STARTUP) != 0)
    HBN_LOG(HBN_LOG_ERROR, "call:stateChangeNotice fail\n");

  // The cloud module keeps its copy; it must have it before it starts.
  HBN_cloud_setApiHandler(&kHandler);

  if (HBN_os_initialize() != 0) {
    notify(KV_API_STATE_FAILURE);
    return 3;
  }
  if (HBN_nvm_initialize(0) != 0) {
    HBN_os_finalize();
    notify(KV_API_STATE_FAILURE);
    return 3;
  }
  if (HBN_core_initialize() != 0) {
    HBN_nvm_finalize();
    HBN_os_finalize();
    notify(KV_API_STATE_FAILURE);
    return 3;
  }
  HBN_download_initialize();  // the agent runs without downloads when this fails

  gState.store(KV_API_STATE_IDLE);
  if (gCallbacks.stateChangeNotice(KV_API_STATE_IDLE) != 0)
    HBN_LOG(HBN_LOG_ERROR, "stateChangeNotice fail\n");

  HBN_util_getBuildVersion(gVersion);
  return 0;
}

void KV_api_finalize() {
  HBN_LOG(HBN_LOG_ERROR, "HBN finish\n");
  HBN_core_finalize();
  HBN_download_finalize();
  HBN_nvm_finalize();
  HBN_os_finalize();
}

int KV_api_stateChangeRequest(int state) {
  HBN_LOG(HBN_LOG_DEBUG, "state change=%d.%d\n", gState.load(), state);
  int rc = 0;
  switch (state) {
    case KV_API_STATE_IDLE:
      rc = HBN_core_changeNormal();
      break;
    case KV_API_STATE_INCLUSION:
      rc = HBN_core_changeInclusion();
      break;
    case KV_API_STATE_EXCLUSION:
      rc = HBN_core_changeExclusion();
      break;
    default:
      break;
  }
  if (rc != 0) {
    HBN_LOG(HBN_LOG_ERROR, "state change fail(%d)\n", rc);
    return 4;
  }
  if (started()) gCallbacks.stateChangeNotice(static_cast<unsigned>(state));
  return 0;
}

int KV_api_isCloudConnect() {
  HBN_LOG(HBN_LOG_DEBUG, "get internet connect\n");
  return HBN_cloud_isConnected() == 1 ? 1 : 0;
}

int KV_api_secureResponse(int nodeId, int kind, int key) { return HBN_core_recvNodeKeyZW(nodeId, kind, key); }

int KV_api_resetRequest() {
  HBN_core_finalize();
  HBN_nvm_restoreDefault();
  if (HBN_core_initialize() == 0) {
    if (started()) gCallbacks.resetComplite();
    return 1;
  }
  // Without the core the agent cannot serve anything: stop what is left, in reverse order.
  HBN_download_finalize();
  HBN_nvm_finalize();
  HBN_os_finalize();
  return 0;
}

const char* KV_api_getVersion() { return gVersion; }

int KV_api_getState() { return gState.load(); }

int KV_api_recvMode(int mode, int buttonId) {
  (void)buttonId;
  int current = gState.load();
  HBN_LOG(HBN_LOG_DEBUG, "mode=%d,state=%d\n", mode, current);
  if (!started()) return -1;
  int next = current;
  switch (mode) {
    case 0:
      next = KV_API_STATE_IDLE;
      break;
    case 1:
    case 3:
    case 4:
    case 5:
      next = KV_API_STATE_INCLUSION;
      break;
    case 2:
      next = KV_API_STATE_EXCLUSION;
      break;
    case 10:
      HBN_cloud_sendMode(10, 0, 1, "Not Supported");
      break;
    default:
      break;
  }
  if (gCallbacks.stateChangeNotice(static_cast<unsigned>(next)) != 0) {
    HBN_LOG(HBN_LOG_ERROR, "stateChangeRequest fail\n");
    return -1;
  }
  HBN_LOG(HBN_LOG_DEBUG, "state change=%d->%d\n", current, next);
  gState.store(next);
  return 0;
}

int KV_api_recvNodeUpdate(int nodeId, int pairingStatus) {
  (void)pairingStatus;
  HBN_LOG(HBN_LOG_DEBUG, "nodeID=%d\n", nodeId);
  HBN_node_info_t record;
  std::memset(&record, 0, sizeof record);
  record.commandClassState = HBN_NODE_STATE_OBTAINED;
  record.commandClassCount = 0;
  record.wakeUpInterval = -1;
  record.nopInterval = -1;
  record.pairingStatus = 0;
  int status = 0;
  if (nodeId == KV_API_VIRTUAL_NODE) {
    record.manufacturerState = HBN_NODE_STATE_OBTAINED;
    record.manufacturerId = 0x010B;
    record.productType = 0xF1;
    record.productId = 1;
    record.commandClassCount = 1;
    record.commandClasses[0] = 0xF1;
    record.versions[0] = 1;
    record.securityFlags[0] = 0;
  } else {
    HBN_LOG(HBN_LOG_ERROR, "GWA:unknown node ID(%d)\n", nodeId);
    status = 1;
  }
  HBN_cloud_sendNodeUpdate(nodeId, &record, status);
  return 0;
}

int KV_api_recvReset(int subject) {
  HBN_LOG(HBN_LOG_DEBUG, "HBN:reset=%d\n", subject);
  if (!started()) return -1;
  if (subject == 2 && (gCallbacks.factoryResetRequest() & 0xFF) != 1) {
    HBN_LOG(HBN_LOG_ERROR, "factory reset request fail\n");
    return -1;
  }
  return 0;
}

int KV_api_recvFwUpdate(const char* url, const char* checksumUrl) {
  HBN_LOG(HBN_LOG_DEBUG, "HBN:f/w update URL=%s,%s\n", url ? url : "", checksumUrl ? checksumUrl : "");
  if (!started()) return -1;
  if ((gCallbacks.firmwareUpdateRequest(url, checksumUrl) & 0xFF) != 1) {
    HBN_LOG(HBN_LOG_ERROR, "HBN:f/w update request fail\n");
    return -1;
  }
  return 0;
}

int KV_api_recvExecScript(int number) {
  HBN_LOG(HBN_LOG_DEBUG, "HBN:execute script=%d\n", number);
  if (!started()) return -1;
  return gCallbacks.execScript(number);
}

int KV_api_getMode(int* mode) {
  if (mode == nullptr) return -1;
  return HBN_core_getMode(mode);
}

int KV_api_getNodeList(int* count, uint16_t* nodeIds) {
  if (count == nullptr || nodeIds == nullptr) return -1;
  *count = 1;
  nodeIds[0] = KV_API_VIRTUAL_NODE;
  return 0;
}

int KV_api_stateChange(int state) {
  HBN_LOG(HBN_LOG_DEBUG, "comm state=%d\n", state);
  if (!started()) return -1;
  gCallbacks.cloudConnectNotice(state == 0 ? 1 : 0);
  return 0;
}

int KV_api_testInstall(const KV_api_interface_t* callbacks, int state) {
  if (KV_api_checkInterface(callbacks) != 0) return -1;
  gCallbacks = *callbacks;
  gState.store(state);
  return 0;
}
