// Core message thread ("core-msg"): executes the core message queue one element at a time
// against the Z/IP gateway, owns the version and keep-alive timers, and starts and stops both
// core threads together with the Z/IP transport and the IR handler.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "hbn_cloud.h"
#include "hbn_core.h"
#include "hbn_core_thread.h"
#include "hbn_ir.h"
#include "hbn_log.h"
#include "hbn_nvm.h"
#include "hbn_os.h"
#include "hbn_path.h"
#include "hbn_zip.h"

namespace {

constexpr long kVersionIntervalMs = 86400L * 1000L;
constexpr int kPopLimitMs = 1000;
constexpr int kForceFailingPauseMs = 5000;
constexpr uint32_t kWakeKind = 0xFFFFFFFFu;  // not a request kind: only wakes the thread
constexpr int kThreadStack = 64 * 1024;

// The elements are executed on behalf of the thread body, whose name their log lines carry.
#define MSG_LOG(level, ...) HBN_log_printAt((level), "HBN_core_threadMsg", __LINE__, __VA_ARGS__)

HBN_core_threadShared_t g_shared;

HBN_thread_t* g_msgThread = nullptr;
HBN_thread_t* g_cmdThread = nullptr;
bool g_started = false;  // touched only by the thread that runs init and finish

// A start command being confirmed (message thread) and an end of that operation reported by
// the gateway meanwhile (command thread). Held only for these few words, never across a wait.
std::mutex g_startMutex;
int g_startInFlight = -1;
bool g_endDeferred = false;
int g_endNotify = 0;

// Monotonic milliseconds in 64 bits: a 32-bit long would wrap after 24 days of uptime.
int64_t nowMs() {
  return static_cast<int64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                  std::chrono::steady_clock::now().time_since_epoch())
                                  .count());
}

uint8_t gatewayId() {
  HBN_core_state_t* state = g_shared.state;
  if (!state) return 0;
  std::lock_guard<std::mutex> guard(state->mutex);
  return static_cast<uint8_t>(state->gwNodeId);
}

int currentMode() { return g_shared.state ? g_shared.state->mode.load() : 0; }

void setMode(int mode) {
  if (g_shared.state) g_shared.state->mode.store(mode);
}

void startBegin(int mode) {
  std::lock_guard<std::mutex> lock(g_startMutex);
  g_startInFlight = mode;
  g_endDeferred = false;
}

// Stop command for the mode the gateway is in; 0 when nothing needs stopping.
int stopMode(int mode, uint8_t gw) {
  switch (mode) {
    case HBN_CORE_MODE_INCLUSION:
      return HBN_core_zipCmdInclusionStop(gw);
    case HBN_CORE_MODE_EXCLUSION:
      return HBN_core_zipCmdExclusionStop(gw);
    case HBN_CORE_MODE_REPLACE:
      return HBN_core_zipCmdReplaceStop(gw);
    case HBN_CORE_MODE_LEARN_CLASSIC:
    case HBN_CORE_MODE_LEARN_NWI:
      return HBN_core_zipCmdLearnStop(gw);
    default:
      return 0;
  }
}

// The keep-alive period in scaled milliseconds, without overflowing a 32-bit long for long
// intervals (the scale divides first when the product would not fit).
int64_t keepAliveMillis(int seconds) {
  constexpr long kMaxSecondsInLong = 2000000;  // 2e9 ms
  if (seconds <= kMaxSecondsInLong) return HBN_time_scaled(seconds * 1000L);
  return static_cast<int64_t>(HBN_time_scaled(seconds)) * 1000;
}

// A gateway that already runs a network of its own with nodes in it may not join another.
bool deviceIncluded() {
  HBN_core_state_t* state = g_shared.state;
  if (!state) return false;
  bool included = false;
  {
    std::lock_guard<std::mutex> guard(state->mutex);
    if (state->gwNodeId == 1) {
      for (uint8_t byte : state->nodeList) included = included || byte != 0;
    }
  }
  return included;
}

void executeSend(uint32_t nodeId, uint32_t length, uint8_t* data) {
  if (!data || length == 0 || length > HBN_CORE_BUF_SIZE) {
    MSG_LOG(HBN_LOG_WARN, "param len=%d\n", static_cast<int>(length));
    return;
  }
  int secure = HBN_nvm_isSecureClass(static_cast<int>(nodeId), data[0]) ? 1 : 0;
  MSG_LOG(HBN_LOG_DEBUG, "CMDCLS     =0x%X(%d)\n", data[0], data[0]);
  MSG_LOG(HBN_LOG_DEBUG, "Send secure=%d\n", secure);
  MSG_LOG(HBN_LOG_DEBUG, "param len=%d\n", static_cast<int>(length));
  if (HBN_core_expandCmdSend(static_cast<uint8_t>(nodeId), data, static_cast<int>(length), secure)) return;
  HBN_core_zipCmdSend(static_cast<uint8_t>(nodeId), data, static_cast<int>(length), secure);
}

// Provisioning entries of kinds 11 and 12; the count is bounded by what one buffer holds.
int entryCount(int32_t count, const uint8_t* data) {
  constexpr int kMax = HBN_CORE_BUF_SIZE / HBN_CORE_PVLIST_ENTRY_SIZE;
  if (count <= 0 || !data) return 0;
  if (count > kMax) {
    MSG_LOG(HBN_LOG_WARN, "provisioning entries cut to %d\n", kMax);
    return kMax;
  }
  return count;
}

void execute(uint32_t kind, uint32_t first, uint32_t second, uint32_t third, uint8_t* data) {
  uint8_t gw = gatewayId();
  uint8_t node = static_cast<uint8_t>(first);
  switch (kind) {
    case HBN_CORE_KIND_MODE:
      HBN_core_threadModeChange(static_cast<int>(first), static_cast<int>(second));
      break;
    case HBN_CORE_KIND_NODE_UPDATE:
      HBN_core_zipCmdGetNodeInfo(gw, node);
      break;
    case HBN_CORE_KIND_NODE_REMOVE:
      if (second) {
        HBN_core_zipCmdForceFailing(node);
        HBN_thread_sleep(static_cast<int>(HBN_time_scaled(kForceFailingPauseMs)));
      }
      HBN_core_zipCmdRemoveFailed(gw, node);
      break;
    case HBN_CORE_KIND_NODE_SEND:
      executeSend(first, second, data);
      break;
    case HBN_CORE_KIND_NODE_KEY:
      MSG_LOG(HBN_LOG_DEBUG, "kind=%X\n", second);
      MSG_LOG(HBN_LOG_DEBUG, "key =%d\n", static_cast<int>(third));
      g_shared.pendingKey.store(static_cast<int>(third));
      HBN_core_zipCmdSetKeys(gw, static_cast<uint8_t>(second));
      break;
    case HBN_CORE_KIND_TEST_FRAME:
      HBN_core_zipCmdTestFrame(node, static_cast<int>(second));
      break;
    case HBN_CORE_KIND_RESET:
      MSG_LOG(HBN_LOG_DEBUG, "kind=%X\n", first);
      HBN_core_zipCmdReset(gw);
      break;
    case HBN_CORE_KIND_GW_DSK:
      HBN_core_zipCmdGetGwDSK(gw);
      break;
    case HBN_CORE_KIND_PVLIST_ADD: {
      int count = entryCount(static_cast<int32_t>(first), data);
      for (int i = 0; i < count; ++i) HBN_core_zipCmdPvSet(gw, data + i * HBN_CORE_PVLIST_ENTRY_SIZE);
      break;
    }
    case HBN_CORE_KIND_PVLIST_REMOVE:
      if (static_cast<int32_t>(first) == -1) {
        HBN_core_zipCmdPvDelete(gw, nullptr);
      } else {
        int count = entryCount(static_cast<int32_t>(first), data);
        for (int i = 0; i < count; ++i) HBN_core_zipCmdPvDelete(gw, data + i * HBN_CORE_PVLIST_ENTRY_SIZE);
      }
      break;
    case HBN_CORE_KIND_PVLIST_GET:
      if (first == 255) g_shared.pvCount.store(0);
      HBN_core_zipCmdPvGet(gw, static_cast<uint8_t>(first & 0xFF));
      break;
    case HBN_CORE_KIND_GET_RSSI:
      HBN_core_zipCmdGetRssi(gw, node);
      break;
    default:  // NOP interval, backup, restore, the wake-up and unknown kinds: dropped
      break;
  }
}

// Blocks the starter until the command thread has stored the first node list.
void signalGive() {
  std::lock_guard<std::mutex> lock(g_shared.firstListMutex);
  g_shared.firstListAvailable = true;
  g_shared.firstListCond.notify_all();
}

bool signalTake(long timeoutMs) {
  std::unique_lock<std::mutex> lock(g_shared.firstListMutex);
  bool ok = g_shared.firstListCond.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                            [] { return g_shared.firstListAvailable; });
  if (ok) g_shared.firstListAvailable = false;
  return ok;
}

void stopThreads() {
  // The message thread goes first: it finishes the element in hand while the command thread
  // still receives the acknowledgements it waits for. When the command thread has already
  // ended (the gateway hung up), nobody would answer, so the transport is closed first, which
  // ends any wait at once.
  if (g_msgThread) {
    g_shared.msgRun.store(false);
    // No wait for room: a full queue means the thread is not blocked in its receive, and it
    // stops at its next turn; a stopped thread never makes room again.
    if (g_shared.queue) HBN_queue_sendTimeout(g_shared.queue, 0, kWakeKind, 0, 0, 0, 0);
    if (!g_shared.cmdRun.load()) HBN_core_zipCmdFinish();
    HBN_thread_stop(g_msgThread);
    g_msgThread = nullptr;
  }
  if (g_cmdThread) {
    g_shared.cmdRun.store(false);
    if (g_shared.wakeFd[1] >= 0) {
      char byte = 1;
      ssize_t written = write(g_shared.wakeFd[1], &byte, 1);
      (void)written;
    }
    HBN_thread_stop(g_cmdThread);
    g_cmdThread = nullptr;
  }
}

void closeWakePipe() {
  for (int& fd : g_shared.wakeFd) {
    if (fd >= 0) close(fd);
    fd = -1;
  }
}

}  // namespace

HBN_core_threadShared_t& HBN_core_threadShared() { return g_shared; }

void HBN_core_threadFirstListGive() { signalGive(); }

void HBN_core_threadBind(HBN_buf_t* pool, HBN_queue_t* queue, HBN_core_state_t* state) {
  g_shared.pool = pool;
  g_shared.queue = queue;
  g_shared.state = state;
  g_shared.pendingKey.store(0);
  g_shared.sendConnectedAfterList.store(false);
  g_shared.pvCount.store(0);
  std::lock_guard<std::mutex> lock(g_shared.firstListMutex);
  g_shared.firstListAvailable = true;
}

int HBN_core_isZipDown() { return g_shared.zipDown.load() ? 1 : 0; }

int HBN_core_threadInit(HBN_buf_t* pool, HBN_queue_t* queue, HBN_core_state_t* state) {
  if (g_started) return 0;
  HBN_core_threadBind(pool, queue, state);
  g_shared.keepAliveSeconds.store(HBN_nvm_getKeepAlive());
  g_shared.zipDown.store(false);

  if (HBN_core_zipCmdInit() != 0) return -1;
  if (HBN_core_expandCmdInit() != 0) {
    HBN_core_zipCmdFinish();
    return -1;
  }
  if (pipe2(g_shared.wakeFd, O_CLOEXEC | O_NONBLOCK) != 0) {
    HBN_LOG(HBN_LOG_ERROR, "CORE cmd thread create fail(%d)\n", errno);
    HBN_core_expandCmdFinish();
    HBN_core_zipCmdFinish();
    return -1;
  }

  g_shared.msgRun.store(true);
  int result = HBN_thread_create(&g_msgThread, "core-msg", kThreadStack, HBN_core_threadMsg, 0);
  if (result != 0) {
    HBN_LOG(HBN_LOG_ERROR, "CORE msg thread create fail(%d)\n", result);
    g_shared.msgRun.store(false);
    g_msgThread = nullptr;
    closeWakePipe();
    HBN_core_expandCmdFinish();
    HBN_core_zipCmdFinish();
    return -1;
  }
  g_shared.cmdRun.store(true);
  result = HBN_thread_create(&g_cmdThread, "core-cmd", kThreadStack, HBN_core_threadCmd, 0);
  if (result != 0) {
    HBN_LOG(HBN_LOG_ERROR, "CORE cmd thread create fail(%d)\n", result);
    g_shared.cmdRun.store(false);
    g_cmdThread = nullptr;
    stopThreads();
    closeWakePipe();
    HBN_core_expandCmdFinish();
    HBN_core_zipCmdFinish();
    return -1;
  }
  g_started = true;

  // First node list: take the signal, ask, then wait (bounded) until the command thread has
  // stored the answer and given the signal back.
  long limit = HBN_time_scaled(HBN_CORE_FIRST_NODE_LIST_MS);
  signalTake(limit);
  result = HBN_core_zipCmdGetNodeList(1);
  if (result == 0 && !signalTake(limit)) result = -2;
  if (result != 0) {
    HBN_LOG(HBN_LOG_ERROR, "CORE thread create fail(%d)\n", result);
    HBN_core_threadFinish();
    return -1;
  }
  return 0;
}

void HBN_core_threadFinish() {
  if (!g_started) return;
  stopThreads();
  HBN_core_zipCmdFinish();
  HBN_core_expandCmdFinish();  // both threads used the IR context; both have ended
  closeWakePipe();
  g_started = false;
}

void HBN_core_threadMsg(HBN_thread_t* self, uintptr_t argument) {
  (void)self;
  (void)argument;
  HBN_LOG(HBN_LOG_INFO, "CORE msg thread start\n");
  HBN_LOG(HBN_LOG_INFO, "CORE msg thread run\n");
  int64_t lastVersion = nowMs();
  int64_t lastKeepAlive = lastVersion;
  while (g_shared.msgRun.load()) {
    // Wait no longer than the next timer needs, and never more than the pop limit.
    int64_t versionMs = HBN_time_scaled(kVersionIntervalMs);
    int keepAliveSeconds = g_shared.keepAliveSeconds.load();
    int64_t keepAliveMs = keepAliveSeconds > 0 ? keepAliveMillis(keepAliveSeconds) : 0;
    int64_t now = nowMs();
    int64_t wait = kPopLimitMs;
    if (versionMs - (now - lastVersion) < wait) wait = versionMs - (now - lastVersion);
    if (keepAliveSeconds > 0 && keepAliveMs - (now - lastKeepAlive) < wait) {
      wait = keepAliveMs - (now - lastKeepAlive);
    }
    if (wait < 1) wait = 1;

    uint32_t kind = 0, first = 0, second = 0, third = 0;
    uintptr_t buffer = 0;
    int result = HBN_queue_receiveTimeout(g_shared.queue, static_cast<int>(wait), &kind, &first, &second,
                                          &third, &buffer);
    if (result < 0) {
      HBN_LOG(HBN_LOG_WARN, "MQTT queue pop fail\n");
    } else if (result == 0) {
      execute(kind, first, second, third, reinterpret_cast<uint8_t*>(buffer));
      if (buffer) HBN_buf_free(g_shared.pool, reinterpret_cast<void*>(buffer));
    }

    now = nowMs();
    if (now - lastVersion >= versionMs) {
      HBN_cloud_sendVersion();
      lastVersion = now;
    }
    if (keepAliveSeconds <= 0 || now - lastKeepAlive >= keepAliveMs) {
      if (keepAliveSeconds > 0) HBN_cloud_sendKeepAlive();
      lastKeepAlive = now;
    }
    if (result < 0)
      HBN_thread_sleep(static_cast<int>(HBN_time_scaled(kPopLimitMs)));  // no spin on a broken queue
  }
  HBN_LOG(HBN_LOG_INFO, "CORE msg thread finish\n");
}

int HBN_core_threadModeChange(int mode, int nodeID) {
  int current = currentMode();
  HBN_LOG(HBN_LOG_INFO, "execute change mode %d->%d\n", current, mode);
  if (mode == current || mode < 0 || mode >= HBN_CORE_MODE_STARTING) return 0;
  uint8_t gw = gatewayId();

  int result = 0;
  switch (mode) {
    case HBN_CORE_MODE_NORMAL:
      stopMode(current, gw);
      return 0;  // the gateway's end-of-operation report sets the mode
    case HBN_CORE_MODE_INCLUSION:
      stopMode(current, gw);
      startBegin(mode);
      result = HBN_core_zipCmdInclusionStart(gw);
      break;
    case HBN_CORE_MODE_EXCLUSION:
      stopMode(current, gw);
      startBegin(mode);
      result = HBN_core_zipCmdExclusionStart(gw);
      break;
    case HBN_CORE_MODE_REPLACE:
      stopMode(current, gw);
      return HBN_core_zipCmdReplaceStart(gw, static_cast<uint8_t>(nodeID));
    case HBN_CORE_MODE_LEARN_CLASSIC:
      if (deviceIncluded()) {
        HBN_LOG(HBN_LOG_WARN, "mode change learn[classic] device include\n");
        result = -1;
        break;
      }
      result = stopMode(current, gw);
      HBN_core_zipCmdGetDSK(gw);
      if (result == 0) {
        startBegin(mode);
        result = HBN_core_zipCmdLearnStart(gw, HBN_ZIP_LEARN_CLASSIC);
      }
      break;
    case HBN_CORE_MODE_LEARN_NWI:
      if (deviceIncluded()) {
        HBN_LOG(HBN_LOG_WARN, "mode change learn[NWI] device include\n");
        result = -1;
        break;
      }
      stopMode(current, gw);
      startBegin(mode);
      result = HBN_core_zipCmdLearnStart(gw, HBN_ZIP_LEARN_NWI);
      break;
    default:
      return 0;
  }

  // The gateway may already have reported the end of the operation while its start was being
  // confirmed; that end is reported after the start, so the cloud sees them in order.
  int endNotify = -1;
  {
    std::lock_guard<std::mutex> lock(g_startMutex);
    g_startInFlight = -1;
    if (g_endDeferred) endNotify = g_endNotify;
    g_endDeferred = false;
    if (result == 0 && endNotify < 0) setMode(mode);
  }
  if (result == 0) {
    HBN_cloud_sendMode(mode, 0, 0, nullptr);
  } else {
    HBN_cloud_sendMode(mode, 0, 1, "Internal Error");
  }
  if (endNotify >= 0) HBN_cloud_sendMode(HBN_CORE_MODE_NORMAL, endNotify, 0, nullptr);
  return result == 0 ? 0 : -1;
}

bool HBN_core_threadModeEnded(int modeA, int modeB, int notify) {
  std::lock_guard<std::mutex> lock(g_startMutex);
  if (g_startInFlight < 0 || (g_startInFlight != modeA && g_startInFlight != modeB)) return true;
  g_endDeferred = true;
  g_endNotify = notify;
  setMode(HBN_CORE_MODE_NORMAL);
  return false;
}
