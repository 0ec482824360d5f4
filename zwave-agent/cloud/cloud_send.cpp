// Cloud send API: copies each message into one element of the cloud queue (variable data in a
// cloud pool buffer) for the MQTT thread, and starts and stops the cloud module.
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "cloud_comm.h"
#include "cloud_restate_internal.h"
#include "hbn_cloud.h"
#include "hbn_log.h"
#include "hbn_path.h"

namespace {

struct CloudRecord {
  std::mutex lifecycle;  // serialises initialise / finalise
  bool initialized = false;
  std::atomic<HBN_buf_t*> pool{nullptr};
  std::atomic<HBN_queue_t*> queue{nullptr};
};

// How long a producer waits for a pool buffer or room in the queue before the message is dropped.
// While the session is up the MQTT thread gives both back within moments, so a burst of node
// frames (more at once than the pool holds) waits its turn instead of being lost. While it is
// away nothing drains them: the core's threads must go on serving the Z-Wave side, so a message
// without room is dropped at once, with its line. A library callback thread never waits
// (HBN_queue_setNoWait). This bound is no timer of the system's, so the test time scale leaves
// it as it is.
constexpr int kFeedWaitMs = 1000;

int feedWaitMs() { return HBN_cloud_isConnected() != 0 && HBN_queue_isNoWait() == 0 ? kFeedWaitMs : 0; }

CloudRecord g_cloud;

// Gives back whatever buffer an element carried: the backup copy is a heap block, everything
// else belongs to the cloud pool.
void release(uint32_t kind, void* buffer) {
  if (buffer == nullptr) return;
  if (kind == HBN_CLOUD_KIND_BACKUP)
    std::free(buffer);
  else
    HBN_buf_free(g_cloud.pool.load(), buffer);
}

// Helpers log under the name of the send operation that called them.
#define HBN_LOG_AS(func, level, ...) HBN_log_printAt((level), (func), __LINE__, __VA_ARGS__)

// One element onto the cloud queue, waiting a bounded time for room. A failed write releases
// the buffer so the pool keeps it. True when queued.
bool push(const char* func, uint32_t kind, uint32_t p1, uint32_t p2, uint32_t p3, void* buffer) {
  HBN_queue_t* queue = g_cloud.queue.load();
  int result = queue != nullptr ? HBN_queue_sendTimeout(queue, feedWaitMs(), kind, p1, p2, p3,
                                                        reinterpret_cast<uintptr_t>(buffer))
                                : -1;
  if (result != 0) {
    HBN_LOG_AS(func, HBN_LOG_WARN, "CLOUD send queue push fail\n");
    release(kind, buffer);
    return false;
  }
  return true;
}

// A cloud pool buffer holding `length` bytes of `data`, or nullptr (logged).
void* bufferWith(const char* func, const void* data, size_t length) {
  HBN_buf_t* pool = g_cloud.pool.load();
  void* buffer = pool != nullptr ? HBN_buf_allocTimeout(pool, feedWaitMs()) : nullptr;
  if (buffer == nullptr) {
    HBN_LOG_AS(func, HBN_LOG_WARN, "CLOUD buffer all busy fail\n");
    return nullptr;
  }
  if (length > 0) std::memcpy(buffer, data, length);
  return buffer;
}

void sendRecord(const char* func, uint32_t kind, int nodeId, const HBN_node_info_t* record, int status) {
  if (record == nullptr) {
    HBN_LOG_AS(func, HBN_LOG_ERROR, "CLOUD node record is NULL\n");
    return;
  }
  void* buffer = bufferWith(func, record, HBN_CLOUD_NODE_RECORD_SIZE);
  if (buffer == nullptr) return;
  push(func, kind, static_cast<uint32_t>(nodeId), static_cast<uint32_t>(status), HBN_CLOUD_NODE_RECORD_SIZE,
       buffer);
}

// Caller data with a length (node receive and filter, gateway keys): at most one buffer.
void* dataBuffer(const char* func, int length, const uint8_t* data) {
  if (length < 0 || length > HBN_CLOUD_BUF_SIZE || (length > 0 && data == nullptr)) {
    HBN_LOG_AS(func, HBN_LOG_ERROR, "CLOUD buffer is small\n");
    return nullptr;
  }
  return bufferWith(func, data, static_cast<size_t>(length));
}

int createPoolAndQueue(const char* func) {
  HBN_LOG_AS(func, HBN_LOG_DEBUG, "BUF count=%d,size=%d\n", HBN_CLOUD_BUF_COUNT, HBN_CLOUD_BUF_SIZE);
  HBN_buf_t* pool = nullptr;
  if (HBN_buf_create(HBN_CLOUD_BUF_COUNT, HBN_CLOUD_BUF_SIZE, &pool) != 0) return -1;
  HBN_queue_t* queue = nullptr;
  if (HBN_queue_create(&queue) != 0) {
    HBN_buf_destroy(pool);
    return -1;
  }
  HBN_cloud_restateReset();
  g_cloud.pool.store(pool);
  g_cloud.queue.store(queue);
  return 0;
}

// Frees the heap blocks of backup messages still queued, then deletes queue and pool.
void deletePoolAndQueue() {
  HBN_queue_t* queue = g_cloud.queue.exchange(nullptr);
  if (queue != nullptr) {
    uint32_t kind = 0, p1 = 0, p2 = 0, p3 = 0;
    uintptr_t buffer = 0;
    while (HBN_queue_receiveTimeout(queue, 1, &kind, &p1, &p2, &p3, &buffer) == 0) {
      if (kind == HBN_CLOUD_KIND_BACKUP && buffer != 0) std::free(reinterpret_cast<void*>(buffer));
    }
    HBN_queue_delete(queue);
  }
  HBN_buf_t* pool = g_cloud.pool.exchange(nullptr);
  if (pool != nullptr) HBN_buf_destroy(pool);
}

bool completeTable(const HBN_core_interface_t* table) {
  const void* slots[] = {
      reinterpret_cast<const void*>(table->recvMode),
      reinterpret_cast<const void*>(table->recvNodeUpdate),
      reinterpret_cast<const void*>(table->recvNodeRemove),
      reinterpret_cast<const void*>(table->recvNodeSend),
      reinterpret_cast<const void*>(table->recvNodeNopInterval),
      reinterpret_cast<const void*>(table->recvNodeFwUpdate),
      reinterpret_cast<const void*>(table->recvNodeKeyZW),
      reinterpret_cast<const void*>(table->recvNodeTestFrame),
      reinterpret_cast<const void*>(table->recvBackup),
      reinterpret_cast<const void*>(table->recvRestore),
      reinterpret_cast<const void*>(table->recvReset),
      reinterpret_cast<const void*>(table->getMode),
      reinterpret_cast<const void*>(table->getGwID),
      reinterpret_cast<const void*>(table->recvGwDSK),
      reinterpret_cast<const void*>(table->getNodeList),
      reinterpret_cast<const void*>(table->recvSetPvList),
      reinterpret_cast<const void*>(table->recvGetPvList),
      reinterpret_cast<const void*>(table->recvGetRssi),
  };
  static_assert(sizeof slots / sizeof slots[0] == 18, "every slot is checked");
  for (const void* slot : slots) {
    if (slot == nullptr) return false;
  }
  return true;
}

}  // namespace

int HBN_cloud_initialize(const HBN_core_interface_t* coreInterface) {
  if (coreInterface == nullptr) {
    HBN_LOG(HBN_LOG_ERROR, "interface is NULL\n");
    return -1;
  }
  if (!completeTable(coreInterface)) {
    HBN_LOG(HBN_LOG_ERROR, "interface function is NULL\n");
    return -1;
  }
  std::lock_guard<std::mutex> lock(g_cloud.lifecycle);
  if (g_cloud.initialized) return 0;
  if (createPoolAndQueue(__func__) != 0) return -1;
  if (HBN_cloud_commInit(g_cloud.pool.load(), g_cloud.queue.load(), coreInterface) != 0) {
    deletePoolAndQueue();
    return -1;
  }
  g_cloud.initialized = true;
  return 0;
}

void HBN_cloud_finalize() {
  std::lock_guard<std::mutex> lock(g_cloud.lifecycle);
  if (!g_cloud.initialized) return;
  HBN_cloud_commFinish();
  deletePoolAndQueue();
  g_cloud.initialized = false;
}

HBN_buf_t* HBN_cloud_getPool() { return g_cloud.pool.load(); }

HBN_queue_t* HBN_cloud_getQueue() { return g_cloud.queue.load(); }

void HBN_cloud_sendConnected() { HBN_cloud_restateConnected(__func__, g_cloud.queue.load()); }

void HBN_cloud_sendMode(int mode, int notify, int status, const char* message) {
  void* text = nullptr;
  if (message != nullptr) {
    size_t length = strnlen(message, HBN_CLOUD_BUF_SIZE);
    if (length + 1 < HBN_CLOUD_BUF_SIZE)
      text = bufferWith(__func__, message, length + 1);
    else
      HBN_LOG(HBN_LOG_ERROR, "CLOUD buffer is small\n");
  }
  // The mode goes out even when its text could not be attached.
  push(__func__, HBN_CLOUD_KIND_MODE, static_cast<uint32_t>(mode), static_cast<uint32_t>(status),
       static_cast<uint32_t>(notify), text);
}

void HBN_cloud_sendNodeAdd(int nodeId, const HBN_node_info_t* record, int status) {
  sendRecord(__func__, HBN_CLOUD_KIND_NODE_ADD, nodeId, record, status);
}

void HBN_cloud_sendNodeUpdate(int nodeId, const HBN_node_info_t* record, int status) {
  sendRecord(__func__, HBN_CLOUD_KIND_NODE_UPDATE, nodeId, record, status);
}

void HBN_cloud_sendNodeRemove(int nodeId, int status) {
  push(__func__, HBN_CLOUD_KIND_NODE_REMOVE, static_cast<uint32_t>(nodeId), static_cast<uint32_t>(status), 0,
       nullptr);
}

void HBN_cloud_sendNodeReplace(int nodeId, const HBN_node_info_t* record, int status) {
  sendRecord(__func__, HBN_CLOUD_KIND_NODE_REPLACE, nodeId, record, status);
}

void HBN_cloud_sendNodeReceive(int nodeId, int length, const uint8_t* data) {
  void* buffer = dataBuffer(__func__, length, data);
  if (buffer == nullptr) return;
  push(__func__, HBN_CLOUD_KIND_NODE_RECEIVE, static_cast<uint32_t>(nodeId), static_cast<uint32_t>(length), 0,
       buffer);
}

void HBN_cloud_sendNodeNopInterval(int nodeId, int seconds) {
  push(__func__, HBN_CLOUD_KIND_NODE_NOP, static_cast<uint32_t>(nodeId), static_cast<uint32_t>(seconds), 0,
       nullptr);
}

void HBN_cloud_sendNodeFilter(int nodeId, int length, const uint8_t* data) {
  void* buffer = dataBuffer(__func__, length, data);
  if (buffer == nullptr) return;
  push(__func__, HBN_CLOUD_KIND_NODE_FILTER, static_cast<uint32_t>(nodeId), static_cast<uint32_t>(length), 0,
       buffer);
}

void HBN_cloud_sendNodeKeepAlive(int nodeId) {
  push(__func__, HBN_CLOUD_KIND_NODE_KEEPALIVE, static_cast<uint32_t>(nodeId), 0, 0, nullptr);
}

void HBN_cloud_sendNodeKeyZW(int nodeId, int requestedKeys) {
  push(__func__, HBN_CLOUD_KIND_NODE_KEY, static_cast<uint32_t>(nodeId), static_cast<uint32_t>(requestedKeys),
       0, nullptr);
}

void HBN_cloud_sendNodeTestFrame(int nodeId, int count, int sent, int acknowledged) {
  uint32_t packed = (static_cast<uint32_t>(count) & 255u) << 16 | (static_cast<uint32_t>(sent) & 255u) << 8 |
                    (static_cast<uint32_t>(acknowledged) & 255u);
  push(__func__, HBN_CLOUD_KIND_NODE_TEST_FRAME, static_cast<uint32_t>(nodeId), packed, 0, nullptr);
}

void HBN_cloud_sendBackup(int subject, int status, int length, const uint8_t* data) {
  void* block = nullptr;
  if (data != nullptr && length > 0) {
    block = std::malloc(static_cast<size_t>(length));
    if (block != nullptr) std::memcpy(block, data, static_cast<size_t>(length));
  }
  if (block == nullptr) length = 0;
  push(__func__, HBN_CLOUD_KIND_BACKUP, static_cast<uint32_t>(subject), static_cast<uint32_t>(status),
       static_cast<uint32_t>(length), block);
}

void HBN_cloud_sendRestore(int subject, int status) {
  push(__func__, HBN_CLOUD_KIND_RESTORE, static_cast<uint32_t>(subject), static_cast<uint32_t>(status), 0,
       nullptr);
}

void HBN_cloud_sendReset(int subject, int status) {
  push(__func__, HBN_CLOUD_KIND_RESET, static_cast<uint32_t>(subject), static_cast<uint32_t>(status), 0,
       nullptr);
}

void HBN_cloud_sendVersion() { push(__func__, HBN_CLOUD_KIND_VERSION, 0, 0, 0, nullptr); }

void HBN_cloud_sendKeepAlive() {
  // One waiting keep-alive says all that another one would.
  if (!HBN_cloud_keepAliveClaim()) {
    HBN_LOG(HBN_LOG_DEBUG, "CLOUD keep-alive already queued\n");
    return;
  }
  if (!push(__func__, HBN_CLOUD_KIND_KEEPALIVE, 0, 0, 0, nullptr)) HBN_cloud_keepAliveTaken();
}

void HBN_cloud_sendPvList(int count, const uint8_t* entries) {
  if (count < 0 || count > HBN_CLOUD_PVLIST_MAX || (count > 0 && entries == nullptr)) {
    HBN_LOG(HBN_LOG_ERROR, "CLOUD buffer is small\n");
    return;
  }
  void* buffer = bufferWith(__func__, entries, static_cast<size_t>(count) * HBN_CLOUD_PVLIST_ENTRY_SIZE);
  if (buffer == nullptr) return;
  push(__func__, HBN_CLOUD_KIND_PVLIST, static_cast<uint32_t>(count), 0, 0, buffer);
}

void HBN_cloud_sendRssi(int nodeId, int rssi) {
  push(__func__, HBN_CLOUD_KIND_RSSI, static_cast<uint32_t>(nodeId), static_cast<uint32_t>(rssi), 0, nullptr);
}

void HBN_cloud_spSendGwDSK(int length, const uint8_t* dsk) {
  void* buffer = dataBuffer(__func__, length, dsk);
  if (buffer == nullptr) return;
  push(__func__, HBN_CLOUD_KIND_GW_DSK, static_cast<uint32_t>(length), 0, 0, buffer);
}

void HBN_cloud_spSendGwDSK_2(int length, const uint8_t* keys) {
  void* buffer = dataBuffer(__func__, length, keys);
  if (buffer == nullptr) return;
  push(__func__, HBN_CLOUD_KIND_GW_DSK_2, static_cast<uint32_t>(length), 0, 0, buffer);
}

int HBN_cloud_testSetup() {
  std::lock_guard<std::mutex> lock(g_cloud.lifecycle);
  if (g_cloud.initialized || g_cloud.queue.load() != nullptr) return -1;
  return createPoolAndQueue(__func__);
}

void HBN_cloud_testTeardown() {
  std::lock_guard<std::mutex> lock(g_cloud.lifecycle);
  if (!g_cloud.initialized) deletePoolAndQueue();
}

int HBN_cloud_testReceive(int timeoutMs, uint32_t* kind, uint32_t* p1, uint32_t* p2, uint32_t* p3,
                          uint8_t* data, int capacity, int* dataLength) {
  HBN_queue_t* queue = g_cloud.queue.load();
  if (queue == nullptr || kind == nullptr || p1 == nullptr || p2 == nullptr || p3 == nullptr) return -1;
  uintptr_t address = 0;
  int result = HBN_queue_receiveTimeout(queue, timeoutMs, kind, p1, p2, p3, &address);
  if (result != 0) return result;
  if (*kind == HBN_CLOUD_KIND_KEEPALIVE) HBN_cloud_keepAliveTaken();
  if (*kind == HBN_CLOUD_KIND_CONNECTED) {
    HBN_cloud_takeConnectedDue(1, *p1);
    *p1 = 0;
  }
  void* buffer = reinterpret_cast<void*>(address);
  int length = 0;
  if (buffer != nullptr) {
    switch (*kind) {
      case HBN_CLOUD_KIND_MODE:
        length = static_cast<int>(strnlen(static_cast<const char*>(buffer), HBN_CLOUD_BUF_SIZE - 1)) + 1;
        break;
      case HBN_CLOUD_KIND_NODE_ADD:
      case HBN_CLOUD_KIND_NODE_UPDATE:
      case HBN_CLOUD_KIND_NODE_REPLACE:
        length = HBN_CLOUD_NODE_RECORD_SIZE;
        break;
      case HBN_CLOUD_KIND_NODE_RECEIVE:
      case HBN_CLOUD_KIND_NODE_FILTER:
        length = static_cast<int>(*p2);
        break;
      case HBN_CLOUD_KIND_BACKUP:
        length = static_cast<int>(*p3);
        break;
      case HBN_CLOUD_KIND_PVLIST:
        length = static_cast<int>(*p1) * HBN_CLOUD_PVLIST_ENTRY_SIZE;
        break;
      case HBN_CLOUD_KIND_GW_DSK:
      case HBN_CLOUD_KIND_GW_DSK_2:
        length = static_cast<int>(*p1);
        break;
      default:
        break;
    }
    if (data != nullptr && capacity > 0 && length > 0)
      std::memcpy(data, buffer, static_cast<size_t>(length < capacity ? length : capacity));
    release(*kind, buffer);
  }
  if (dataLength != nullptr) *dataLength = length;
  return 0;
}
