#include "cloud_restate_internal.h"

#include <atomic>

#include "hbn_cloud.h"
#include "hbn_log.h"

namespace {

std::atomic<bool> gConnectedDue{false};
std::atomic<uint32_t> gConnectedNumber{0};  // of the latest "connected"; older elements are stale
std::atomic<bool> gKeepAliveQueued{false};

}  // namespace

void HBN_cloud_restateReset() {
  gConnectedDue.store(false);
  gKeepAliveQueued.store(false);
}

void HBN_cloud_restateConnected(const char* func, HBN_queue_t* queue) {
  // The due mark is the message; the element only tells the MQTT thread where it stands in
  // order. Without room the mark stays and the message follows everything already queued.
  // An element of an earlier connect that never went out is stale: the latest one stands after
  // everything queued before it.
  uint32_t number = gConnectedNumber.fetch_add(1) + 1;
  gConnectedDue.store(true);
  if (queue == nullptr) {
    HBN_log_printAt(HBN_LOG_WARN, func, __LINE__, "CLOUD send queue push fail\n");
    return;
  }
  if (HBN_queue_sendTimeout(queue, 0, HBN_CLOUD_KIND_CONNECTED, number, 0, 0, 0) != 0)
    HBN_log_printAt(HBN_LOG_INFO, func, __LINE__,
                    "CLOUD queue full, connected follows the queued messages\n");
}

int HBN_cloud_takeConnectedDue(int fromQueue, uint32_t number) {
  if (fromQueue && number != gConnectedNumber.load()) return 0;
  return gConnectedDue.exchange(false) ? 1 : 0;
}

bool HBN_cloud_keepAliveClaim() { return !gKeepAliveQueued.exchange(true); }

void HBN_cloud_keepAliveTaken() { gKeepAliveQueued.store(false); }
