#include "cloud_comm.h"

#include <MQTTAsync.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include "cloud_link.h"
#include "cloud_payload_internal.h"
#include "cloud_publish_internal.h"
#include "cloud_request.h"
#include "cloud_restate_internal.h"
#include "cloud_tables_internal.h"
#include "hbn_cloud.h"
#include "hbn_log.h"
#include "kv_api.h"
#include "zwave_store.h"

namespace {

// Serial number and service code: at most 32 characters each.
enum { IDENTITY_SIZE = 33, PREFIX_SIZE = 256 };

// Builds a queued message on the MQTT thread.
void dispatchMessage(const hbn::LinkMessage& m);

}  // namespace

struct HBN_cloud_comm_t;
void HBN_cloud_commMqttConnectSuccess(HBN_cloud_comm_t* s);
void HBN_cloud_commMqttConnectFailure(HBN_cloud_comm_t* s);
void HBN_cloud_commMqttConnlost(HBN_cloud_comm_t* s);
bool HBN_cloud_commMqttLoadSetting(HBN_cloud_comm_t* s);

// The session record: the link, the core's table, and the subscription filter with the length
// of its request prefix.
struct HBN_cloud_comm_t : hbn::LinkAgent {
  explicit HBN_cloud_comm_t(const hbn::LinkSpec& spec) : link(spec, *this) {}
  HBN_core_interface_t core{};
  char reqFilter[PREFIX_SIZE] = {0};
  int reqPrefixLength = 0;
  hbn::CloudLink link;

  bool loadSettings(hbn::CloudLink&) override { return HBN_cloud_commMqttLoadSetting(this); }
  void connectSuccess(hbn::CloudLink&) override { HBN_cloud_commMqttConnectSuccess(this); }
  void connectFailure(hbn::CloudLink&) override { HBN_cloud_commMqttConnectFailure(this); }
  void connectionLost(hbn::CloudLink&) override { HBN_cloud_commMqttConnlost(this); }
  void dispatch(hbn::CloudLink&, const hbn::LinkMessage& m) override {
    // One "connected" per due mark, however many elements announced it.
    if (m.kind == HBN_CLOUD_KIND_KEEPALIVE) HBN_cloud_keepAliveTaken();
    if (m.kind != HBN_CLOUD_KIND_CONNECTED)
      dispatchMessage(m);
    else if (HBN_cloud_takeConnectedDue(1, m.p1))
      dispatchMessage(hbn::LinkMessage{});
  }
  void release(hbn::CloudLink&, const hbn::LinkMessage& m) override {
    if (m.buffer == 0) return;
    // The backup copy is a heap block; everything else comes from the cloud pool.
    if (m.kind == HBN_CLOUD_KIND_BACKUP)
      free(reinterpret_cast<void*>(m.buffer));
    else
      HBN_buf_free(link.pool(), reinterpret_cast<void*>(m.buffer));
  }
  // A "connected" that found the queue full is published as soon as the queue is empty.
  void idle(hbn::CloudLink&) override {
    if (HBN_cloud_takeConnectedDue(0, 0)) dispatchMessage(hbn::LinkMessage{});
  }
};

namespace {

// The running session. Publishers run on the MQTT thread or the request worker (both joined
// before the record goes) or inside a library callback (the session waits for those before it
// ends), so the record outlives every publish; the lock only guards readers on other threads.
std::atomic<HBN_cloud_comm_t*> gSession{nullptr};
std::mutex gSessionLock;

hbn::LinkSpec linkSpec() {
  hbn::LinkSpec spec;
  spec.threadName = "cloud-mqtt";
  spec.reconnectKind = hbn::SessionKind::kZwave;
  spec.workerName = "cloud-req";
  spec.outSize = HBN_CLOUD_PAYLOAD_SIZE;
  spec.answerSize = HBN_CLOUD_PAYLOAD_SIZE;
  spec.incomingSize = HBN_CLOUD_REQUEST_SIZE;
  spec.requestMax = HBN_CLOUD_REQUEST_SIZE - 1;
  // Requests are small here, and the core's queue behind the worker is what refuses a burst.
  spec.requestQueueCount = 64;
  spec.waitMs = 1000;
  spec.finishWaitMs = 0;
  spec.finishKind = HBN_CLOUD_KIND_FINISH;
  spec.routes = HBN_cloud_requestRoutes(&spec.routeCount);
  return spec;
}

void notifyState(int state) {
  const KV_api_cloudHandler_t* h = HBN_cloud_commApiHandler();
  if (h && h->stateChange) h->stateChange(state);
}

// A notified mode goes to the adaptation layer before its message is built.
void dispatchMessage(const hbn::LinkMessage& m) {
  if (m.kind == HBN_CLOUD_KIND_MODE && m.p3 != 0) {
    const KV_api_cloudHandler_t* h = HBN_cloud_commApiHandler();
    if (h && h->recvMode) {
      int rc = h->recvMode(static_cast<int>(m.p1), -1);
      if (rc != 0)
        HBN_log_printAt(HBN_LOG_WARN, "HBN_cloud_commMqttThread", __LINE__, "Adaption send Mode fail(%d)\n",
                        rc);
    }
  }
  HBN_cloud_payloadDispatch(m.kind, m.p1, m.p2, m.p3, reinterpret_cast<const void*>(m.buffer));
}

// The names the session is known by: service code and serial number (cut to 32 characters),
// the URI, the client identifier and the subscription filter.
void formNames(HBN_cloud_comm_t* s) {
  hbn::CloudServer& server = s->link.server();
  server.serial[IDENTITY_SIZE - 1] = '\0';
  server.serviceCode[IDENTITY_SIZE - 1] = '\0';
  snprintf(server.uri, sizeof server.uri, server.tls ? "ssl://%s:%d" : "tcp://%s:%d", server.host,
           server.port);
  snprintf(server.prefix, sizeof server.prefix, "gw/%s/%s/", server.serviceCode, server.serial);
  snprintf(s->reqFilter, sizeof s->reqFilter, "req/%.32s/%.32s/", server.serviceCode, server.serial);
  s->reqPrefixLength = static_cast<int>(strlen(s->reqFilter));
  strncat(s->reqFilter, "#", sizeof s->reqFilter - strlen(s->reqFilter) - 1);
  snprintf(server.subscription, sizeof server.subscription, "%s", s->reqFilter);
}

}  // namespace

// ---------------------------------------------------------------- state

int HBN_cloud_isConnected() {
  std::lock_guard<std::mutex> guard(gSessionLock);
  HBN_cloud_comm_t* s = gSession.load();
  return s != nullptr && s->link.isConnected() ? 1 : 0;
}

// ---------------------------------------------------------------- settings

bool HBN_cloud_commMqttLoadSetting(HBN_cloud_comm_t* s) {
  HBN_LOG(HBN_LOG_DEBUG, "load setting start\n");
  namespace mib = hbn::mib;
  const hbn::CloudServerIds ids{mib::kSerial,       mib::kServiceCode,  mib::kServerHost,
                                hbn::mib::U16Id{0}, mib::kTlsEnable,    mib::kAuthEnable,
                                mib::kAuthUser,     mib::kAuthPassword, mib::kServerPort};
  if (!s->link.loadServer(ids)) return false;
  HBN_LOG(HBN_LOG_DEBUG, "load setting finish\n");
  formNames(s);
  const hbn::CloudServer& server = s->link.server();
  char clientId[2 * IDENTITY_SIZE + 2];
  snprintf(clientId, sizeof clientId, "%.32s:%.32s", server.serviceCode, server.serial);
  hbn::SessionSettings& settings = s->link.settings();
  settings = hbn::sessionSettingsFor(server, clientId, "/jffs2/mqtt/cloud/");
  // 20 s; the session runs it faster under a test time scale.
  settings.keepAliveSeconds = 20;
  HBN_LOG(HBN_LOG_DEBUG, "serial#=%s,server=%s,port=%d\n", server.serial, server.host, server.port);
  HBN_LOG(HBN_LOG_INFO, "addr  =%s\n", server.uri);
  HBN_LOG(HBN_LOG_INFO, "client=%s\n", clientId);
  HBN_LOG(HBN_LOG_INFO, "topic =%s\n", server.prefix);
  HBN_LOG(HBN_LOG_INFO, "topic =%s(%d)\n", s->reqFilter, s->reqPrefixLength);
  return true;
}

// ---------------------------------------------------------------- callbacks (library thread)

void HBN_cloud_commMqttConnectSuccess(HBN_cloud_comm_t* s) {
  HBN_LOG(HBN_LOG_DEBUG, "MQTT connect success\n");
  // "connected" takes its place in the queue before the session thread can see the connection:
  // otherwise it could publish what waited and let a fresh keep-alive in ahead of it.
  HBN_cloud_restateConnected(__func__, s->link.queue());
  s->link.takeConnection(__func__);
  notifyState(0);
}

void HBN_cloud_commMqttConnectFailure(HBN_cloud_comm_t* s) {
  HBN_LOG(HBN_LOG_DEBUG, "MQTT connect fail\n");
  int old = s->link.mqtt().exchangeState(hbn::kDisconnected);
  HBN_LOG(HBN_LOG_DEBUG, "state=%d->%d\n", old, HBN_CLOUD_STATE_DISCONNECTED);
  if (old != HBN_CLOUD_STATE_DISCONNECTED) notifyState(1);
}

void HBN_cloud_commMqttConnlost(HBN_cloud_comm_t* s) {
  HBN_LOG(HBN_LOG_WARN, "MQTT connection lost\n");
  int old = s->link.mqtt().exchangeState(hbn::kDisconnected);
  if (old != HBN_CLOUD_STATE_DISCONNECTED) HBN_cloud_commMqttDisconnectNotice();
  notifyState(1);
}

void HBN_cloud_commMqttDisconnectNotice() {
  HBN_cloud_comm_t* s = gSession.load();
  if (s == nullptr || s->link.queue() == nullptr) return;
  if (HBN_queue_send(s->link.queue(), HBN_CLOUD_KIND_DISCONNECT, 0, 0, 0, 0) != 0)
    HBN_LOG(HBN_LOG_WARN, "CLOUD send queue push fail\n");
}

// ---------------------------------------------------------------- start and stop

int HBN_cloud_commInit(HBN_buf_t* pool, HBN_queue_t* queue, const HBN_core_interface_t* coreInterface) {
  HBN_cloud_comm_t* s = new (std::nothrow) HBN_cloud_comm_t(linkSpec());
  if (s == nullptr) {
    HBN_LOG(HBN_LOG_ERROR, "MQTT thread memory alloc fail\n");
    return -1;
  }
  if (coreInterface) s->core = *coreInterface;
  gSession = s;
  HBN_cloud_commSetSession(&s->link, &s->core);
  // The thread "cloud-mqtt" runs the link's loop: connect while down, then publish what is
  // queued; the request worker runs the requests.
  if (s->link.start(pool, queue) != 0) {
    HBN_cloud_commSetSession(nullptr, nullptr);
    gSession = nullptr;
    delete s;
    return -1;
  }
  return 0;
}

void HBN_cloud_commFinish() {
  HBN_cloud_comm_t* s = gSession.load();
  if (s == nullptr) return;
  // The wake-up never waits for room: a full queue (the session away during an outage) means
  // the thread is not blocked in its receive, and it sees the cleared flag within a second.
  s->link.stop();
  {
    std::lock_guard<std::mutex> guard(gSessionLock);
    HBN_cloud_commSetSession(nullptr, nullptr);
    gSession = nullptr;
  }
  delete s;
}

int HBN_cloud_commTestBegin(const HBN_core_interface_t* coreInterface, const char* serviceCode,
                            const char* serial) {
  if (gSession.load() != nullptr || coreInterface == nullptr) return -1;
  HBN_cloud_comm_t* s = new (std::nothrow) HBN_cloud_comm_t(linkSpec());
  if (s == nullptr || s->link.open() != 0) {
    delete s;
    return -1;
  }
  s->core = *coreInterface;
  hbn::CloudServer& server = s->link.server();
  snprintf(server.serviceCode, sizeof server.serviceCode, "%s", serviceCode ? serviceCode : "");
  snprintf(server.serial, sizeof server.serial, "%s", serial ? serial : "");
  formNames(s);
  gSession = s;
  HBN_cloud_commSetSession(&s->link, &s->core);
  return 0;
}

void HBN_cloud_commTestEnd() {
  HBN_cloud_comm_t* s = nullptr;
  {
    std::lock_guard<std::mutex> guard(gSessionLock);
    HBN_cloud_commSetSession(nullptr, nullptr);
    s = gSession.exchange(nullptr);
  }
  delete s;
}
