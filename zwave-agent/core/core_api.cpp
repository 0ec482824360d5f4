// Core request API: turns requests into elements of the core message queue, answers the three
// queries from the shared state, and starts and stops the core and the cloud module.
#include <atomic>
#include <cstring>
#include <mutex>

#include "hbn_cloud.h"
#include "hbn_core.h"
#include "hbn_core_thread.h"
#include "hbn_log.h"

namespace {

struct CoreRecord {
  std::mutex lifecycle;  // serialises initialise / finalise
  bool initialized = false;
  std::atomic<HBN_buf_t*> pool{nullptr};
  std::atomic<HBN_queue_t*> queue{nullptr};
};

CoreRecord g_core;
HBN_core_state_t g_state;

constexpr int kMaxPvEntries = HBN_CORE_BUF_SIZE / HBN_CORE_PVLIST_ENTRY_SIZE;  // 256

void resetState() {
  g_state.mode.store(HBN_CORE_MODE_STARTING);
  std::lock_guard<std::mutex> guard(g_state.mutex);
  g_state.homeId = 0;
  g_state.gwNodeId = 0;
  std::memset(g_state.nodeList, 0, sizeof g_state.nodeList);
}

// One element onto the core queue. On a failed write the buffer goes back to the pool, so a
// dropped request does not cost a buffer. `func` is the requesting operation, logged as such.
int push(const char* func, uint32_t kind, uint32_t first, uint32_t second, uint32_t third, void* buffer) {
  HBN_queue_t* queue = g_core.queue.load();
  int result = queue != nullptr
                   ? HBN_queue_send(queue, kind, first, second, third, reinterpret_cast<uintptr_t>(buffer))
                   : -1;
  if (result != 0) {
    HBN_log_printAt(HBN_LOG_WARN, func, __LINE__, "CORE send queue push fail\n");
    if (buffer != nullptr) HBN_buf_free(g_core.pool.load(), buffer);
    return -1;
  }
  return 0;
}

// A core pool buffer, or nullptr (logged under `func`).
void* takeBuffer(const char* func) {
  HBN_buf_t* pool = g_core.pool.load();
  void* buffer = pool != nullptr ? HBN_buf_alloc(pool) : nullptr;
  if (buffer == nullptr) HBN_log_printAt(HBN_LOG_WARN, func, __LINE__, "CLOUD buffer all busy fail\n");
  return buffer;
}

void giveBack(void* buffer) {
  if (buffer != nullptr) HBN_buf_free(g_core.pool.load(), buffer);
}

// Fills a pool buffer with `length` bytes of `data`; nullptr when none is free.
void* bufferWith(const char* func, const void* data, size_t length) {
  void* buffer = takeBuffer(func);
  if (buffer != nullptr && length > 0) std::memcpy(buffer, data, length);
  return buffer;
}

bool validPvList(int count, const uint8_t* entries) {
  return count >= 0 && count <= kMaxPvEntries && (count == 0 || entries != nullptr);
}

const HBN_core_interface_t kInterface = {
    HBN_core_recvMode,      HBN_core_recvNodeUpdate,      HBN_core_recvNodeRemove,
    HBN_core_recvNodeSend,  HBN_core_recvNodeNopInterval, HBN_core_recvNodeFwUpdate,
    HBN_core_recvNodeKeyZW, HBN_core_recvNodeTestFrame,   HBN_core_recvBackup,
    HBN_core_recvRestore,   HBN_core_recvReset,           HBN_core_getMode,
    HBN_core_getGwID,       HBN_core_recvGwDSK,           HBN_core_getNodeList,
    HBN_core_recvSetPvList, HBN_core_recvGetPvList,       HBN_core_recvGetRssi,
};

int createPoolAndQueue(const char* func) {
  HBN_log_printAt(HBN_LOG_DEBUG, func, __LINE__, "BUF count=%d,size=%d\n", HBN_CORE_BUF_COUNT,
                  HBN_CORE_BUF_SIZE);
  HBN_buf_t* pool = nullptr;
  if (HBN_buf_create(HBN_CORE_BUF_COUNT, HBN_CORE_BUF_SIZE, &pool) != 0) return -1;
  HBN_queue_t* queue = nullptr;
  if (HBN_queue_create(&queue) != 0) {
    HBN_buf_destroy(pool);
    return -1;
  }
  g_core.pool.store(pool);
  g_core.queue.store(queue);
  return 0;
}

void deletePoolAndQueue() {
  HBN_queue_t* queue = g_core.queue.exchange(nullptr);
  HBN_buf_t* pool = g_core.pool.exchange(nullptr);
  if (queue != nullptr) HBN_queue_delete(queue);
  if (pool != nullptr) HBN_buf_destroy(pool);
}

}  // namespace

HBN_core_state_t* HBN_core_getState() { return &g_state; }

int HBN_core_initialize() {
  std::lock_guard<std::mutex> lock(g_core.lifecycle);
  if (g_core.initialized) return 0;
  resetState();
  if (createPoolAndQueue(__func__) != 0) return -1;
  if (HBN_core_threadInit(g_core.pool.load(), g_core.queue.load(), &g_state) != 0) {
    deletePoolAndQueue();
    return -1;
  }
  int result = HBN_cloud_initialize(&kInterface);
  if (result != 0) {
    // Leave nothing running behind a failed start, so that a later start begins clean.
    HBN_core_threadFinish();
    deletePoolAndQueue();
    return result;
  }
  g_core.initialized = true;
  g_state.mode.store(0);
  return 0;
}

void HBN_core_finalize() {
  std::lock_guard<std::mutex> lock(g_core.lifecycle);
  if (!g_core.initialized) return;
  // The core threads send to the cloud queue, and the cloud's request path sends to the core
  // queue: stop the threads first, then the cloud, and delete the core queue last, so no
  // thread ever sends into a queue or pool that is already gone.
  HBN_core_threadFinish();
  HBN_cloud_finalize();
  deletePoolAndQueue();
  g_core.initialized = false;
}

int HBN_core_changeNormal() {
  HBN_LOG(HBN_LOG_INFO, "change mode[Norm]\n");
  return push(__func__, HBN_CORE_KIND_MODE, 0, 0, 0, nullptr);
}

int HBN_core_changeInclusion() {
  HBN_LOG(HBN_LOG_INFO, "change mode[In]\n");
  return push(__func__, HBN_CORE_KIND_MODE, 1, 0, 0, nullptr);
}

int HBN_core_changeExclusion() {
  HBN_LOG(HBN_LOG_INFO, "change mode[Ex]\n");
  return push(__func__, HBN_CORE_KIND_MODE, 2, 0, 0, nullptr);
}

int HBN_core_recvMode(int mode, int nodeId) {
  HBN_LOG(HBN_LOG_INFO, "change mode[%d]\n", mode);
  if (static_cast<unsigned>(mode) >= HBN_CORE_MODE_STARTING) return 0;
  return push(__func__, HBN_CORE_KIND_MODE, static_cast<uint32_t>(mode), static_cast<uint32_t>(nodeId), 0,
              nullptr);
}

int HBN_core_recvNodeUpdate(int nodeId, int pairingStatus) {
  return push(__func__, HBN_CORE_KIND_NODE_UPDATE, static_cast<uint32_t>(nodeId),
              static_cast<uint32_t>(pairingStatus), 0, nullptr);
}

int HBN_core_recvNodeRemove(int nodeId, int force) {
  return push(__func__, HBN_CORE_KIND_NODE_REMOVE, static_cast<uint32_t>(nodeId),
              static_cast<uint32_t>(force), 0, nullptr);
}

int HBN_core_recvNodeSend(int nodeId, const uint8_t* data, int length) {
  if (length < 0 || length > HBN_CORE_BUF_SIZE || (length > 0 && data == nullptr)) {
    HBN_LOG(HBN_LOG_ERROR, "CORE send data size error(%d)\n", length);
    return -1;
  }
  void* buffer = bufferWith(__func__, data, static_cast<size_t>(length));
  if (buffer == nullptr) return -1;
  return push(__func__, HBN_CORE_KIND_NODE_SEND, static_cast<uint32_t>(nodeId), static_cast<uint32_t>(length),
              0, buffer);
}

int HBN_core_recvNodeNopInterval(int nodeId, int seconds) {
  return push(__func__, HBN_CORE_KIND_NOP_INTERVAL, static_cast<uint32_t>(nodeId),
              static_cast<uint32_t>(seconds), 0, nullptr);
}

int HBN_core_recvNodeFwUpdate(int nodeId, const uint8_t* data, int length) {
  (void)nodeId;
  (void)data;
  (void)length;
  return 0;
}

int HBN_core_recvNodeKeyZW(int nodeId, int kind, int key) {
  return push(__func__, HBN_CORE_KIND_NODE_KEY, static_cast<uint32_t>(nodeId), static_cast<uint32_t>(kind),
              static_cast<uint32_t>(key), nullptr);
}

int HBN_core_recvNodeTestFrame(int nodeId, int frameCount) {
  return push(__func__, HBN_CORE_KIND_TEST_FRAME, static_cast<uint32_t>(nodeId),
              static_cast<uint32_t>(frameCount), 0, nullptr);
}

int HBN_core_recvBackup(int subject) {
  if (subject != 0 && subject != 1) return 0;
  return push(__func__, HBN_CORE_KIND_BACKUP, subject == 1 ? 1 : 0, 0, 0, nullptr);
}

int HBN_core_recvRestore(int subject, const char* path) {
  if (subject != 0 && subject != 1) return 0;
  size_t length = path != nullptr ? strnlen(path, HBN_CORE_BUF_SIZE) : size_t{HBN_CORE_BUF_SIZE};
  if (length >= HBN_CORE_BUF_SIZE) {
    HBN_LOG(HBN_LOG_ERROR, "CORE restore path error\n");
    return -1;
  }
  void* buffer = bufferWith(__func__, path, length + 1);
  if (buffer == nullptr) return -1;
  return push(__func__, HBN_CORE_KIND_RESTORE, subject == 1 ? 1 : 0, 0, 0, buffer);
}

int HBN_core_recvReset(int subject) {
  if (subject != 1) {
    HBN_LOG(HBN_LOG_INFO, "CORE remove all provisioning list\n");
    if (push(__func__, HBN_CORE_KIND_PVLIST_REMOVE, static_cast<uint32_t>(-1), 0, 0, nullptr) != 0) return -1;
  }
  uint32_t kind = subject == 1 ? 2 : (subject == 2 ? 3 : 0);
  return push(__func__, HBN_CORE_KIND_RESET, kind, 0, 0, nullptr);
}

int HBN_core_getMode(int* mode) {
  if (mode == nullptr) return -1;
  int current = g_state.mode.load();
  *mode = (current >= 0 && current < HBN_CORE_MODE_STARTING) ? current : 0;
  return 0;
}

int HBN_core_getGwID(int* nodeId, uint32_t* homeId) {
  HBN_LOG(HBN_LOG_INFO, "CORE get node info\n");
  if (nodeId == nullptr || homeId == nullptr) return -1;
  std::lock_guard<std::mutex> guard(g_state.mutex);
  *nodeId = static_cast<int>(g_state.gwNodeId);
  *homeId = g_state.homeId;
  return 0;
}

int HBN_core_recvGwDSK() { return push(__func__, HBN_CORE_KIND_GW_DSK, 0, 0, 0, nullptr); }

int HBN_core_getNodeList(int* length, uint8_t* bitmap) {
  HBN_LOG(HBN_LOG_INFO, "CORE get node list\n");
  if (length == nullptr || bitmap == nullptr) return -1;
  std::lock_guard<std::mutex> guard(g_state.mutex);
  *length = HBN_CORE_NODELIST_SIZE;
  std::memcpy(bitmap, g_state.nodeList, HBN_CORE_NODELIST_SIZE);
  return 0;
}

int HBN_core_recvSetPvList(int addCount, const uint8_t* addEntries, int removeCount,
                           const uint8_t* removeEntries) {
  HBN_LOG(HBN_LOG_INFO, "CORE update provisioning list[%d,%d]\n", addCount, removeCount);
  if (!validPvList(addCount, addEntries) || !validPvList(removeCount, removeEntries)) {
    HBN_LOG(HBN_LOG_ERROR, "CORE provisioning list size error\n");
    return -1;
  }
  void* addBuffer =
      bufferWith(__func__, addEntries, static_cast<size_t>(addCount) * HBN_CORE_PVLIST_ENTRY_SIZE);
  if (addBuffer == nullptr) return -1;
  void* removeBuffer =
      bufferWith(__func__, removeEntries, static_cast<size_t>(removeCount) * HBN_CORE_PVLIST_ENTRY_SIZE);
  if (removeBuffer == nullptr) {
    giveBack(addBuffer);
    return -1;
  }
  HBN_LOG(HBN_LOG_INFO, "CORE remove provisioning list\n");
  if (push(__func__, HBN_CORE_KIND_PVLIST_REMOVE, static_cast<uint32_t>(removeCount), 0, 0, removeBuffer) !=
      0) {
    giveBack(addBuffer);
    return -1;
  }
  HBN_LOG(HBN_LOG_INFO, "CORE add provisioning list\n");
  return push(__func__, HBN_CORE_KIND_PVLIST_ADD, static_cast<uint32_t>(addCount), 0, 0, addBuffer);
}

int HBN_core_recvGetPvList() {
  HBN_LOG(HBN_LOG_INFO, "CORE get provisioning list\n");
  return push(__func__, HBN_CORE_KIND_PVLIST_GET, 255, 0, 0, nullptr);
}

int HBN_core_recvGetRssi(int nodeId) {
  HBN_LOG(HBN_LOG_INFO, "CORE get RSSI\n");
  return push(__func__, HBN_CORE_KIND_GET_RSSI, static_cast<uint32_t>(nodeId), 0, 0, nullptr);
}

HBN_queue_t* HBN_core_testQueue() { return g_core.queue.load(); }

int HBN_core_testSetup() {
  std::lock_guard<std::mutex> lock(g_core.lifecycle);
  if (g_core.initialized || g_core.queue.load() != nullptr) return -1;
  resetState();
  return createPoolAndQueue(__func__);
}

void HBN_core_testTeardown() {
  std::lock_guard<std::mutex> lock(g_core.lifecycle);
  if (!g_core.initialized) deletePoolAndQueue();
}

int HBN_core_testReceive(int timeoutMs, uint32_t* kind, uint32_t* first, uint32_t* second, uint32_t* third,
                         bool* hasBuffer, uint8_t* data, int capacity) {
  HBN_queue_t* queue = g_core.queue.load();
  if (queue == nullptr || kind == nullptr || first == nullptr || second == nullptr || third == nullptr)
    return -1;
  uintptr_t buffer = 0;
  int result = HBN_queue_receiveTimeout(queue, timeoutMs, kind, first, second, third, &buffer);
  if (result != 0) return result;
  if (hasBuffer != nullptr) *hasBuffer = buffer != 0;
  if (buffer != 0) {
    void* payload = reinterpret_cast<void*>(buffer);
    if (data != nullptr && capacity > 0)
      std::memcpy(data, payload,
                  static_cast<size_t>(capacity < HBN_CORE_BUF_SIZE ? capacity : HBN_CORE_BUF_SIZE));
    HBN_buf_free(g_core.pool.load(), payload);
  }
  return 0;
}
