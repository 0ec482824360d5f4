#include "ota_core.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>

#include "device_info.h"
#include "handoff.h"
#include "hbn_buf.h"
#include "hbn_log.h"
#include "hbn_os.h"
#include "hbn_path.h"
#include "ota_cloud.h"

namespace {

// The first line of each identity file, cut at 255 characters: both together always fit the
// cloud buffer.
constexpr size_t kIdentitySize = 256;
constexpr int kWaitMs = 1000;
// Queue kind that only wakes "core-msg" for its exit.
constexpr uint32_t kKindFinish = 0;

struct Core {
  bool initialized = false;
  HBN_buf_t* pool = nullptr;
  HBN_queue_t* queue = nullptr;
  HBN_thread_t* thread = nullptr;
  std::atomic<int> running{0};
};
Core gCore;

}  // namespace

static void HBN_core_threadMsg(HBN_thread_t* self, uintptr_t argument) {
  (void)self;
  (void)argument;
  HBN_LOG(HBN_LOG_DEBUG, "CORE msg thread start\n");
  HBN_LOG(HBN_LOG_DEBUG, "CORE msg thread run\n");
  long long mark = HBN_time_scaledNowMs();
  while (gCore.running.load() == 1) {
    uint32_t kind = 0, p1 = 0, p2 = 0, p3 = 0;
    uintptr_t buffer = 0;
    int rc = HBN_queue_receiveTimeout(gCore.queue, kWaitMs, &kind, &p1, &p2, &p3, &buffer);
    if (rc < 0) HBN_LOG(HBN_LOG_WARN, "MQTT queue pop fail\n");
    if (rc == 0 && buffer != 0) HBN_buf_free(gCore.pool, reinterpret_cast<void*>(buffer));
    long long now = HBN_time_scaledNowMs();
    if (now - mark >= HBN_OTA_VERSION_PERIOD_S * 1000LL) {
      HBN_cloud_sendVersion();
      mark = now;
    }
  }
  HBN_LOG(HBN_LOG_DEBUG, "CORE msg thread finish\n");
}

static int HBN_core_threadInit() {
  gCore.running.store(1);
  int rc = HBN_thread_create(&gCore.thread, "core-msg", 2048, HBN_core_threadMsg, 0);
  if (rc != 0) {
    HBN_LOG(HBN_LOG_ERROR, "CORE msg thread create fail(%d)\n", rc);
    gCore.running.store(0);
    gCore.thread = nullptr;
    return -1;
  }
  return 0;
}

static void HBN_core_threadFinish() {
  gCore.running.store(0);
  if (gCore.thread == nullptr) return;
  if (HBN_queue_sendTimeout(gCore.queue, 1000, kKindFinish, 0, 0, 0, 0) != 0)
    HBN_LOG(HBN_LOG_WARN, "CORE send queue push fail\n");
  HBN_thread_stop(gCore.thread);
  gCore.thread = nullptr;
}

static void releaseCore() {
  if (gCore.queue != nullptr) HBN_queue_delete(gCore.queue);
  if (gCore.pool != nullptr) HBN_buf_destroy(gCore.pool);
  gCore.queue = nullptr;
  gCore.pool = nullptr;
}

int HBN_core_initialize() {
  if (gCore.initialized) return 0;
  HBN_LOG(HBN_LOG_DEBUG, "BUF count=%d,size=%d\n", HBN_OTA_CORE_BUF_COUNT, HBN_OTA_CORE_BUF_SIZE);
  if (HBN_buf_create(HBN_OTA_CORE_BUF_COUNT, HBN_OTA_CORE_BUF_SIZE, &gCore.pool) != 0 ||
      HBN_queue_create(&gCore.queue) != 0) {
    releaseCore();
    return -1;
  }
  // The cloud side first: the core thread's daily version report goes through its queue, so the
  // thread starts once that queue exists (and stops before it goes).
  static const HBN_core_interface_t table = {HBN_core_recvFwUpdate, HBN_core_recvCertUpdate,
                                             HBN_core_recvLteInfo};
  if (HBN_cloud_initialize(&table) != 0) {
    releaseCore();
    return -1;
  }
  if (HBN_core_threadInit() != 0) {
    HBN_cloud_finalize();
    releaseCore();
    return -1;
  }
  gCore.initialized = true;
  return 0;
}

void HBN_core_finalize() {
  if (!gCore.initialized) return;
  HBN_core_threadFinish();
  HBN_cloud_finalize();
  releaseCore();
  gCore.initialized = false;
}

int HBN_core_recvFwUpdate(const char* url, const char* checksumUrl) {
  HBN_LOG(HBN_LOG_DEBUG, "CORE recv F/W update\n");
  return hbn::writeUpdateHandoff(__func__, url, checksumUrl, hbn::kFirmwareHandoff);
}

int HBN_core_recvCertUpdate(const char* url, const char* checksumUrl) {
  HBN_LOG(HBN_LOG_DEBUG, "CORE recv CERT update\n");
  return hbn::writeUpdateHandoff(__func__, url, checksumUrl, hbn::kCertificateHandoff);
}

void HBN_core_recvLteInfo() {
  HBN_LOG(HBN_LOG_DEBUG, "CORE recv LTE info\n");
  char imei[kIdentitySize];
  char serial[kIdentitySize];
  hbn::readLteImei(imei, sizeof imei);
  hbn::readLteSerial(serial, sizeof serial);
  HBN_cloud_sendLteInfo(imei, serial);
}
