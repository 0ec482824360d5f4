#include "kv_vento_api.h"

#include <atomic>
#include <cstring>

#include "apmib.h"
#include "device_info.h"
#include "hbn_log.h"
#include "hbn_os.h"
#include "router_cloud.h"
#include "router_store.h"
#include "wan_link.h"

namespace {

KV_VENTO_api_interface_t gCallbacks{};
std::atomic<RouterCloud*> gMain{nullptr};
std::atomic<RouterCloud*> gSub{nullptr};
char gVersion[hbn::kFirmwareVersionSize] = {0};

// Sessions report 0 for connected and 1 for not; the platform callback takes 1 and 0.
void connectionNotice(int sessionState, void* context) {
  if (gCallbacks.cloudConnectNotice != nullptr)
    gCallbacks.cloudConnectNotice(sessionState == 0 ? 1 : 0, static_cast<WanLinkState*>(context));
}

RouterCloud* startCloud(int type, const char* ifname, WanLinkState* link) {
  RouterCloud* cloud = HBN_cloud_initialize(type, ifname);
  if (cloud == nullptr) return nullptr;
  HBN_cloud_callbacks_t table{};
  table.connection = connectionNotice;
  table.firmwareUpdate = gCallbacks.firmwareUpdate;
  table.certUpdate = gCallbacks.certUpdate;
  table.execScript = gCallbacks.execScript;
  table.lteInfo = gCallbacks.lteInfo;
  HBN_cloud_setCallbacks(cloud, &table, link);
  return cloud;
}

}  // namespace

int KV_VENTO_api_initialize(const KV_VENTO_api_interface_t* callbacks) {
  // Debug lines of this agent go to standard error only.
  HBN_log_setDebugToSyslog(false);
  HBN_LOG(HBN_LOG_INFO, "HBN start\n");
  if (callbacks != nullptr) gCallbacks = *callbacks;
  const bool framework = HBN_os_initialize() == 0;
  // apmib_init gives 1 when the store is ready, 0 when not.
  const bool store = apmib_init() != 0;
  if (!framework || !store) HBN_LOG(HBN_LOG_ERROR, "adaptation initialize fail\n");
  hbn::readFirmwareVersion(gVersion, sizeof gVersion, hbn::kRouterDefaultVersion);
  return 0;
}

void KV_VENTO_api_startCloudMain(int type, const char* ifname, WanLinkState* link) {
  HBN_LOG(HBN_LOG_ERROR, "cloud start (%d:%s) !!!\n", type, ifname ? ifname : "");
  RouterCloud* cloud = startCloud(type, ifname, link);
  if (cloud == nullptr) {
    HBN_LOG(HBN_LOG_ERROR, "cloud start (%d:%s) fail\n", type, ifname ? ifname : "");
    return;
  }
  gMain.store(cloud);
}

void KV_VENTO_api_startCloudSub(int type, const char* ifname, WanLinkState* link) {
  RouterCloud* cloud = startCloud(type, ifname, link);
  if (cloud == nullptr) {
    HBN_LOG(HBN_LOG_ERROR, "cloud start (%d:%s) fail\n", type, ifname ? ifname : "");
    return;
  }
  gSub.store(cloud);
}

void KV_VENTO_api_finalize() {
  HBN_cloud_finalize(gSub.exchange(nullptr));
  HBN_cloud_finalize(gMain.exchange(nullptr));
  HBN_LOG(HBN_LOG_ERROR, "HBN finish\n");
  HBN_os_finalize();
}

int KV_VENTO_api_isCloudConnectMain() {
  HBN_LOG(HBN_LOG_DEBUG, "get internet connect(main)\n");
  return HBN_cloud_isConnected(gMain.load());
}

int KV_VENTO_api_isCloudConnectSub() {
  HBN_LOG(HBN_LOG_DEBUG, "get internet connect(sub)\n");
  return HBN_cloud_isConnected(gSub.load());
}

const char* KV_VENTO_api_getVersion() { return gVersion; }
