// The router agent's cloud sessions: each one's link with its settings, connection callbacks,
// queued messages and announce and keep-alive timers, and the send API.
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "hbn_log.h"
#include "hbn_path.h"
#include "hbn_platform.h"
#include "mqtt_bind.h"
#include "router_cloud_internal.h"
#include "router_payload.h"
#include "router_store.h"

namespace {

long long nowMs() { return HBN_time_scaledNowMs(); }

RouterFacts factsOf(const RouterCloud& s) { return RouterFacts{s.ifname, s.firmwareVersion}; }

hbn::LinkSpec linkSpec(const RouterCloud& s) {
  hbn::LinkSpec spec;
  spec.threadName = s.threadName;
  spec.reconnectKind = hbn::SessionKind::kRouter;
  spec.workerName = s.workerName;
  spec.poolCount = HBN_ROUTER_BUF_COUNT;
  spec.poolSize = HBN_ROUTER_BUF_SIZE;
  spec.outSize = HBN_ROUTER_PAYLOAD_SIZE;
  spec.answerSize = HBN_ROUTER_PAYLOAD_SIZE;
  spec.incomingSize = HBN_ROUTER_PAYLOAD_SIZE + 1;
  // One second, on the test time scale like the announce and keep-alive timers it paces.
  spec.waitMs = 1000;
  spec.waitScaled = true;
  spec.finishWaitMs = 1000;
  spec.finishKind = HBN_ROUTER_KIND_FINISH;
  spec.markPowerOn = true;
  spec.routes = kRouterRoutes;
  spec.routeCount = kRouterRouteCount;
  return spec;
}

const char* namedThread(char* out, size_t size, const char* base, int type) {
  snprintf(out, size, "%s-%d", base, type);
  return out;
}

}  // namespace

RouterCloud::RouterCloud(int wanType, const char* interfaceName)
    : type(wanType),
      link((namedThread(threadName, sizeof threadName, "cloud-mqtt", wanType),
            namedThread(workerName, sizeof workerName, "cloud-req", wanType), linkSpec(*this)),
           *this) {
  if (interfaceName != nullptr) snprintf(ifname, sizeof ifname, "%s", interfaceName);
  hbn::readFirmwareVersion(firmwareVersion, sizeof firmwareVersion, hbn::kRouterDefaultVersion);
}

int64_t HBN_cloud_powerOnTime() { return hbn::CloudLink::powerOnTime(); }

// ---------------------------------------------------------------- shared helpers

static void routerQueue(const char* func, RouterCloud* cloud, uint32_t kind) {
  if (cloud == nullptr) {
    HBN_log_printAt(HBN_LOG_WARN, func, __LINE__, "CLOUD send queue push fail\n");
    return;
  }
  cloud->link.send(func, kind);
}

void routerNotify(RouterCloud* cloud, int state) {
  if (cloud->active.load() && cloud->callbacks.connection != nullptr)
    cloud->callbacks.connection(state, cloud->context);
}

// ---------------------------------------------------------------- settings

static bool HBN_cloud_commMqttLoadSetting(RouterCloud* s) {
  HBN_LOG(HBN_LOG_DEBUG, "load setting start\n");
  const hbn::mib::WanBlock block = hbn::mib::wanBlock(s->type);
  const hbn::CloudServerIds ids{block.serial,    block.serviceCode, block.host, block.port,
                                block.tlsEnable, block.loginEnable, block.user, block.password};
  if (!s->link.loadServer(ids)) return false;
  HBN_LOG(HBN_LOG_DEBUG, "load setting finish\n");
  s->keepAlive = hbn::mib::get(block.keepAliveEnable) > 0 ? hbn::mib::get(block.keepAliveSeconds) : -1;
  HBN_LOG(HBN_LOG_DEBUG, "keepAlive=%d\n", s->keepAlive);
  const hbn::CloudServer& server = s->link.server();
  char clientId[2 * hbn::kCloudTextSize + 16];
  snprintf(clientId, sizeof clientId, "%s:%s:%d", server.serviceCode, server.serial, s->type);
  hbn::SessionSettings& settings = s->link.settings();
  settings = hbn::sessionSettingsFor(server, clientId, "/jffs2/mqtt/cloud/");
  settings.ifname = s->ifname;
  settings.boundConnect = MQTTAsync_connect2;
  HBN_LOG(HBN_LOG_DEBUG, "serial#=%s,server=%s,port=%d\n", server.serial, server.host, server.port);
  HBN_LOG(HBN_LOG_INFO, "addr  =%s\n", server.uri);
  HBN_LOG(HBN_LOG_INFO, "client=%s\n", clientId);
  HBN_LOG(HBN_LOG_INFO, "topic =%s\n", server.prefix);
  HBN_LOG(HBN_LOG_INFO, "topic =%s\n", server.subscription);

  // Random delays of the first announce and of the first keep-alive.
  unsigned seed = static_cast<unsigned>(nowMs() / 1000);
  int announceMax = hbn::mib::get(hbn::mib::kAnnounceDelayMax);
  int jitterMax = hbn::mib::get(hbn::mib::kInfoDelayMax);
  s->announceDelayMs = (announceMax > 0 ? rand_r(&seed) % announceMax : 0) * 1000LL;
  s->jitterMs = (jitterMax > 0 ? rand_r(&seed) % jitterMax : 0) * 1000LL;
  s->startMs = nowMs();
  s->keepAliveRefMs = -1;
  return true;
}

bool RouterCloud::loadSettings(hbn::CloudLink&) { return HBN_cloud_commMqttLoadSetting(this); }

// ---------------------------------------------------------------- connection (session thread)

static void HBN_cloud_commMqttConnect(RouterCloud* s) {
  if (s->link.mqtt().state() != hbn::kDisconnected) return;
  if (s->ifname[0] != '\0' && !hbn::platform().interfaceExists(s->ifname)) {
    HBN_LOG(HBN_LOG_WARN, "Network I/F not found(%s)\n", s->ifname);
    return;
  }
  HBN_LOG(HBN_LOG_DEBUG, "MQTT Network I/F name=%s\n", s->ifname);
  s->link.connectStep();
}

void RouterCloud::connect(hbn::CloudLink&) { HBN_cloud_commMqttConnect(this); }

// ---------------------------------------------------------------- callbacks (library thread)

static void HBN_cloud_commMqttConnectSuccess(RouterCloud* s) {
  HBN_LOG(HBN_LOG_DEBUG, "MQTT connect success(%s)\n", s->ifname);
  s->link.takeConnection(__func__);
  if (s->announced.load()) {
    routerQueue(__func__, s, HBN_ROUTER_KIND_CONNECTED);
    const RouterFacts facts = factsOf(*s);
    HBN_cloud_commMqttSendConnectedVer(s->link, facts);
    HBN_cloud_commMqttSendConnectedTls(s->link);
    HBN_cloud_commMqttSendConnectedWan(s->link, facts);
  }
  routerNotify(s, 0);
}

static void HBN_cloud_commMqttConnectFailure(RouterCloud* s) {
  HBN_LOG(HBN_LOG_DEBUG, "MQTT connect fail(%s)\n", s->ifname);
  int old = s->link.mqtt().exchangeState(hbn::kDisconnected);
  HBN_LOG(HBN_LOG_DEBUG, "state=%d->%d\n", old, static_cast<int>(hbn::kDisconnected));
  if (old != hbn::kDisconnected) routerNotify(s, 1);
}

static void HBN_cloud_commMqttConnlost(RouterCloud* s) {
  HBN_LOG(HBN_LOG_WARN, "MQTT connection lost\n");
  int old = s->link.mqtt().exchangeState(hbn::kDisconnected);
  if (old != hbn::kDisconnected) routerQueue(__func__, s, HBN_ROUTER_KIND_LOST);
  routerNotify(s, 1);
}

void RouterCloud::connectSuccess(hbn::CloudLink&) { HBN_cloud_commMqttConnectSuccess(this); }
void RouterCloud::connectFailure(hbn::CloudLink&) { HBN_cloud_commMqttConnectFailure(this); }
void RouterCloud::connectionLost(hbn::CloudLink&) { HBN_cloud_commMqttConnlost(this); }

// ---------------------------------------------------------------- what the shared handlers need

char* RouterCloud::incoming(size_t* capacity) { return link.incoming(capacity); }

void RouterCloud::queueUpload(hbn::ConfigDump which) {
  switch (which) {
    case hbn::kDumpInfo:
      HBN_cloud_sendConfigInfo(this);
      break;
    case hbn::kDumpServer:
      HBN_cloud_sendConfigServer(this);
      break;
    case hbn::kDumpUser:
      HBN_cloud_sendConfigUser(this);
      break;
  }
}

void RouterCloud::resetMqtt() { link.mqtt().disconnect(); }

int RouterCloud::firmwareUpdate(const char* url, const char* checksumUrl) {
  return active.load() && callbacks.firmwareUpdate != nullptr ? callbacks.firmwareUpdate(url, checksumUrl)
                                                              : 0;
}

int RouterCloud::certUpdate(const char* url, const char* checksumUrl) {
  return active.load() && callbacks.certUpdate != nullptr ? callbacks.certUpdate(url, checksumUrl) : 0;
}

void RouterCloud::publishConfigError(const char* name, const char* text, size_t length) {
  HBN_cloud_commMqttSendConfigError(link, name, text, length);
}

void RouterCloud::publishNetInfo(const char* name) { HBN_cloud_commMqttSendNetInfo(link, name); }

bool RouterCloud::takesRequests() { return hbn::mib::anyCloudEnabled(); }

// ---------------------------------------------------------------- session thread

void RouterCloud::dispatch(hbn::CloudLink&, const hbn::LinkMessage& m) {
  const RouterFacts facts = factsOf(*this);
  switch (m.kind) {
    case HBN_ROUTER_KIND_CONNECTED:
      HBN_cloud_commMqttSendConnected(link, facts);
      break;
    case HBN_ROUTER_KIND_VERSION:
      HBN_cloud_commMqttSendVersion(link, facts);
      break;
    case HBN_ROUTER_KIND_KEEPALIVE:
      HBN_cloud_commMqttSendKeepAlive(link);
      break;
    case HBN_ROUTER_KIND_CONFIG_INFO:
      HBN_cloud_commMqttSendConfigInfo(link);
      break;
    case HBN_ROUTER_KIND_CONFIG_SERVER:
      HBN_cloud_commMqttSendConfigServer(link);
      break;
    case HBN_ROUTER_KIND_CONFIG_USER:
      HBN_cloud_commMqttSendConfigUser(link);
      break;
    default:  // connection lost and finish only wake the thread
      break;
  }
}

void RouterCloud::tick(hbn::CloudLink&) {
  // Before each wait: the first announce, once the clock is synchronised and the random delay
  // has passed, and the keep-alive at its period (the first one later by the random jitter).
  if (keepAliveRefMs < 0) keepAliveRefMs = nowMs();
  if (!announced.load() && hbn::CloudLink::powerOnTime() != 0 && nowMs() - startMs >= announceDelayMs) {
    const RouterFacts facts = factsOf(*this);
    HBN_cloud_commMqttSendConnected(link, facts);
    HBN_cloud_commMqttSendConnectedVer(link, facts);
    HBN_cloud_commMqttSendConnectedTls(link);
    HBN_cloud_commMqttSendConnectedWan(link, facts);
    announced.store(1);
  }
  if (keepAlive >= 1 && nowMs() - keepAliveRefMs >= keepAlive * 1000LL + jitterMs) {
    HBN_cloud_commMqttSendKeepAlive(link);
    keepAliveRefMs = nowMs();
    jitterMs = 0;
  }
}

// ---------------------------------------------------------------- start and stop

// Buffers, pool, queue, the request worker and the session thread "cloud-mqtt-<type>", whose
// loop is the link's (connect while down, then publish what is queued and keep the timers).
static int HBN_cloud_commInit(RouterCloud* s) { return s->link.start(); }

static void HBN_cloud_commFinish(RouterCloud* s) { s->link.stop(); }

RouterCloud* HBN_cloud_initialize(int type, const char* ifname) {
  HBN_LOG(HBN_LOG_DEBUG, "BUF count=%d,size=%d\n", HBN_ROUTER_BUF_COUNT, HBN_ROUTER_BUF_SIZE);
  RouterCloud* s = new (std::nothrow) RouterCloud(type, ifname);
  if (s == nullptr) {
    HBN_log_printAt(HBN_LOG_ERROR, "HBN_cloud_commInit", __LINE__, "MQTT thread memory alloc fail\n");
    return nullptr;
  }
  if (HBN_cloud_commInit(s) != 0) {
    delete s;
    return nullptr;
  }
  return s;
}

void HBN_cloud_finalize(RouterCloud* cloud) {
  if (cloud == nullptr) return;
  HBN_cloud_commFinish(cloud);
  delete cloud;
}

void HBN_cloud_setCallbacks(RouterCloud* cloud, const HBN_cloud_callbacks_t* callbacks, void* context) {
  if (cloud == nullptr || callbacks == nullptr) return;
  cloud->active.store(false);
  cloud->callbacks = *callbacks;
  cloud->context = context;
  cloud->active.store(true);
}

int HBN_cloud_isConnected(RouterCloud* cloud) {
  return cloud != nullptr && cloud->link.isConnected() ? 1 : 0;
}

void HBN_cloud_sendConnected(RouterCloud* cloud) { routerQueue(__func__, cloud, HBN_ROUTER_KIND_CONNECTED); }
void HBN_cloud_sendVersion(RouterCloud* cloud) { routerQueue(__func__, cloud, HBN_ROUTER_KIND_VERSION); }
void HBN_cloud_sendKeepAlive(RouterCloud* cloud) { routerQueue(__func__, cloud, HBN_ROUTER_KIND_KEEPALIVE); }
void HBN_cloud_sendConfigInfo(RouterCloud* cloud) {
  routerQueue(__func__, cloud, HBN_ROUTER_KIND_CONFIG_INFO);
}
void HBN_cloud_sendConfigServer(RouterCloud* cloud) {
  routerQueue(__func__, cloud, HBN_ROUTER_KIND_CONFIG_SERVER);
}
void HBN_cloud_sendConfigUser(RouterCloud* cloud) {
  routerQueue(__func__, cloud, HBN_ROUTER_KIND_CONFIG_USER);
}
