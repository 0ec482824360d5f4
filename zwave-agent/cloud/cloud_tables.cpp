#include "cloud_tables_internal.h"

#include <atomic>
#include <mutex>

#include "hbn_cloud.h"
#include "kv_api.h"

namespace {

std::mutex gHandlerLock;
KV_api_cloudHandler_t gHandler;
bool gHandlerSet = false;

std::atomic<hbn::CloudLink*> gLink{nullptr};
std::atomic<const HBN_core_interface_t*> gCore{nullptr};

}  // namespace

void HBN_cloud_setApiHandler(const KV_api_cloudHandler_t* handler) {
  std::lock_guard<std::mutex> guard(gHandlerLock);
  if (handler == nullptr) {
    gHandlerSet = false;
    return;
  }
  gHandler = *handler;
  gHandlerSet = true;
}

const KV_api_cloudHandler_t* HBN_cloud_commApiHandler() {
  std::lock_guard<std::mutex> guard(gHandlerLock);
  return gHandlerSet ? &gHandler : nullptr;
}

const HBN_core_interface_t* HBN_cloud_commCoreInterface() { return gCore.load(); }

hbn::CloudLink* HBN_cloud_commLink() { return gLink.load(); }

void HBN_cloud_commSetSession(hbn::CloudLink* link, const HBN_core_interface_t* core) {
  gCore.store(core);
  gLink.store(link);
}
