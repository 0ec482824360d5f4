#include "cloud_comm.h"

#include <MQTTAsync.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>

#include "cloud_payload.h"
#include "cloud_request.h"
#include "hbn_cloud.h"
#include "hbn_log.h"
#include "hbn_nvm.h"
#include "hbn_path.h"
#include "kv_api.h"
#include "mqtt_session.h"

struct HBN_cloud_comm_t;

namespace {

enum { SERIAL_SIZE = 33, CREDENTIAL_SIZE = 33, SERVER_SIZE = 256, PREFIX_SIZE = 256 };

}  // namespace

void HBN_cloud_commMqttConnectSuccess(HBN_cloud_comm_t* s);
void HBN_cloud_commMqttConnectFailure(HBN_cloud_comm_t* s);
void HBN_cloud_commMqttConnlost(HBN_cloud_comm_t* s);

struct HBN_cloud_comm_t : hbn::SessionEvents {
  HBN_core_interface_t core;
  HBN_buf_t* pool = nullptr;
  HBN_queue_t* queue = nullptr;
  HBN_thread_t* thread = nullptr;
  std::atomic<int> running{0};
  hbn::MqttSession mqtt{this};
  char serial[SERIAL_SIZE] = {0};
  char serviceCode[SERIAL_SIZE] = {0};
  char server[SERVER_SIZE] = {0};
  int port = 0;
  char clientId[2 * SERIAL_SIZE + 2] = {0};
  char uri[SERVER_SIZE + 32] = {0};
  char gwPrefix[PREFIX_SIZE] = {0};
  char spPrefix[PREFIX_SIZE] = {0};
  char reqFilter[PREFIX_SIZE] = {0};
  int reqPrefixLength = 0;
  int tls = 0;
  int auth = 0;
  char user[CREDENTIAL_SIZE] = {0};
  char password[CREDENTIAL_SIZE] = {0};

  // The library's callbacks, on its callback thread. The library holds back every other
  // thread's calls into it while one runs, so nothing in them may wait for a queue: a full
  // queue refuses at once (HBN_queue_setNoWait) and the request is dropped with its log line.
  void connectSuccess(hbn::MqttSession&) override {
    NoWait scope;
    HBN_cloud_commMqttConnectSuccess(this);
  }
  void connectFailure(hbn::MqttSession&) override {
    NoWait scope;
    HBN_cloud_commMqttConnectFailure(this);
  }
  void connectionLost(hbn::MqttSession&) override {
    NoWait scope;
    HBN_cloud_commMqttConnlost(this);
  }
  void messageArrived(hbn::MqttSession&, const char* topic, int topicLength, const void* payload,
                      int length) override {
    NoWait scope;
    HBN_cloud_commMqttMsgarrvd(topic, topicLength, payload, length);
  }

 private:
  struct NoWait {
    int before = HBN_queue_isNoWait();
    NoWait() { HBN_queue_setNoWait(1); }
    ~NoWait() { HBN_queue_setNoWait(before); }
  };
};

namespace {

// The running session. Publishers run on the MQTT thread (joined before the record goes) or
// inside a library callback (the session waits for those before it ends), so the record
// outlives every publish; the lock only guards readers on other threads.
std::atomic<HBN_cloud_comm_t*> gSession{nullptr};
std::mutex gSessionLock;
// Each publishing thread (the MQTT thread and the library's callback thread) builds its
// messages in buffers of its own, so no lock is held while the library is called. They are made
// on a thread's first publish: as thread-local arrays every thread of the process (the core's,
// the library's) would carry and clear 4.5 KiB of them from its start.
struct PublishBuffers {
  char topic[HBN_CLOUD_TOPIC_SIZE];
  char payload[HBN_CLOUD_PAYLOAD_SIZE];
};
thread_local std::unique_ptr<PublishBuffers> tBuffers;

// The calling thread's buffers; nullptr when they could not be made.
PublishBuffers* threadBuffers() {
  if (!tBuffers) tBuffers.reset(new (std::nothrow) PublishBuffers);
  return tBuffers.get();
}
std::mutex gHandlerLock;
KV_api_cloudHandler_t gHandler;
bool gHandlerSet = false;

void notifyState(int state) {
  const KV_api_cloudHandler_t* h = HBN_cloud_commApiHandler();
  if (h && h->stateChange) h->stateChange(state);
}

bool stillRunning(const HBN_cloud_comm_t* s) { return s->running.load() == 1; }

// The thread's one-second pauses, cut short when the session is being stopped.
void pause(const HBN_cloud_comm_t* s) { hbn::sleepWhileRunning(1000, s->running); }

}  // namespace

// ---------------------------------------------------------------- handler table and state

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

int HBN_cloud_isConnected() {
  std::lock_guard<std::mutex> guard(gSessionLock);
  HBN_cloud_comm_t* s = gSession.load();
  return s != nullptr && s->mqtt.isConnected() ? 1 : 0;
}

const HBN_core_interface_t* HBN_cloud_commCoreInterface() {
  HBN_cloud_comm_t* s = gSession.load();
  return s ? &s->core : nullptr;
}

int HBN_cloud_commRequestPrefixLength() {
  HBN_cloud_comm_t* s = gSession.load();
  return s ? s->reqPrefixLength : 0;
}

// ---------------------------------------------------------------- settings

// URI, client identifier, prefixes and subscription filter from the loaded settings.
static void formNames(HBN_cloud_comm_t* s) {
  snprintf(s->uri, sizeof s->uri, s->tls ? "ssl://%s:%d" : "tcp://%s:%d", s->server, s->port);
  snprintf(s->clientId, sizeof s->clientId, "%s:%s", s->serviceCode, s->serial);
  snprintf(s->gwPrefix, sizeof s->gwPrefix, "gw/%s/%s/", s->serviceCode, s->serial);
  snprintf(s->spPrefix, sizeof s->spPrefix, "sp/%s/%s/", s->serviceCode, s->serial);
  snprintf(s->reqFilter, sizeof s->reqFilter, "req/%s/%s/", s->serviceCode, s->serial);
  s->reqPrefixLength = static_cast<int>(strlen(s->reqFilter));
  strncat(s->reqFilter, "#", sizeof s->reqFilter - strlen(s->reqFilter) - 1);
}

void HBN_cloud_commMqttLoadSetting(HBN_cloud_comm_t* s) {
  HBN_LOG(HBN_LOG_DEBUG, "load setting start\n");
  HBN_nvm_getServiceCode(s->serviceCode, sizeof s->serviceCode);
  bool first = true;
  // Waits, once a second, until identity and server are configured; a stop ends the wait.
  while (stillRunning(s)) {
    if (!first) pause(s);
    first = false;
    if (s->serial[0] == '\0') HBN_nvm_getSerial(s->serial, sizeof s->serial);
    if (s->server[0] == '\0' || s->port <= 0) HBN_nvm_getServer(s->server, sizeof s->server, &s->port);
    if (s->serial[0] != '\0' && s->server[0] != '\0' && s->port > 0) break;
  }
  if (!stillRunning(s)) return;
  HBN_LOG(HBN_LOG_DEBUG, "load setting finish\n");
  if (HBN_nvm_getTls(&s->tls) != 0) s->tls = 0;
  if (HBN_nvm_getAuth(&s->auth, s->user, sizeof s->user, s->password, sizeof s->password) != 0) s->auth = 0;
  formNames(s);
  HBN_LOG(HBN_LOG_DEBUG, "serial#=%s,server=%s,port=%d\n", s->serial, s->server, s->port);
  HBN_LOG(HBN_LOG_INFO, "addr  =%s\n", s->uri);
  HBN_LOG(HBN_LOG_INFO, "client=%s\n", s->clientId);
  HBN_LOG(HBN_LOG_INFO, "topic =%s\n", s->gwPrefix);
  HBN_LOG(HBN_LOG_INFO, "topic =%s(%d)\n", s->reqFilter, s->reqPrefixLength);
}

// ---------------------------------------------------------------- callbacks (library thread)

void HBN_cloud_commMqttConnectSuccess(HBN_cloud_comm_t* s) {
  HBN_LOG(HBN_LOG_DEBUG, "MQTT connect success\n");
  s->mqtt.setState(hbn::kConnected);
  s->mqtt.noDelay();
  int rc = s->mqtt.subscribe();
  if (rc != MQTTASYNC_SUCCESS) HBN_LOG(HBN_LOG_WARN, "MQTT subscribe fail(%d)\n", rc);
  HBN_cloud_sendConnected();
  notifyState(0);
}

void HBN_cloud_commMqttConnectFailure(HBN_cloud_comm_t* s) {
  HBN_LOG(HBN_LOG_DEBUG, "MQTT connect fail\n");
  int old = s->mqtt.exchangeState(hbn::kDisconnected);
  HBN_LOG(HBN_LOG_DEBUG, "state=%d->%d\n", old, HBN_CLOUD_STATE_DISCONNECTED);
  if (old != HBN_CLOUD_STATE_DISCONNECTED) notifyState(1);
}

void HBN_cloud_commMqttConnlost(HBN_cloud_comm_t* s) {
  HBN_LOG(HBN_LOG_WARN, "MQTT connection lost\n");
  int old = s->mqtt.exchangeState(hbn::kDisconnected);
  if (old != HBN_CLOUD_STATE_DISCONNECTED) HBN_cloud_commMqttDisconnectNotice();
  notifyState(1);
}

void HBN_cloud_commMqttDisconnectNotice() {
  HBN_cloud_comm_t* s = gSession.load();
  if (s == nullptr || s->queue == nullptr) return;
  if (HBN_queue_send(s->queue, HBN_CLOUD_KIND_DISCONNECT, 0, 0, 0, 0) != 0)
    HBN_LOG(HBN_LOG_WARN, "CLOUD send queue push fail\n");
}

// ---------------------------------------------------------------- MQTT thread

void HBN_cloud_commMqttConnect(HBN_cloud_comm_t* s) {
  int rc = s->mqtt.connect();
  if (rc != MQTTASYNC_SUCCESS && rc != 1) HBN_LOG(HBN_LOG_WARN, "MQTT async connect fail(%d)\n", rc);
}

// A notified mode goes to the adaptation layer before its message is built.
static void dispatch(uint32_t kind, uint32_t p1, uint32_t p2, uint32_t p3, uintptr_t buffer) {
  if (kind == HBN_CLOUD_KIND_MODE && p3 != 0) {
    const KV_api_cloudHandler_t* h = HBN_cloud_commApiHandler();
    if (h && h->recvMode) {
      int rc = h->recvMode(static_cast<int>(p1), -1);
      if (rc != 0)
        HBN_log_printAt(HBN_LOG_WARN, "HBN_cloud_commMqttThread", __LINE__, "Adaption send Mode fail(%d)\n",
                        rc);
    }
  }
  HBN_cloud_payloadDispatch(kind, p1, p2, p3, reinterpret_cast<const void*>(buffer));
}

void HBN_cloud_commMqttThread(HBN_thread_t* self, uintptr_t argument) {
  (void)self;
  HBN_cloud_comm_t* s = reinterpret_cast<HBN_cloud_comm_t*>(argument);
  HBN_LOG(HBN_LOG_DEBUG, "MQTT thread start\n");
  HBN_cloud_commMqttLoadSetting(s);
  if (!stillRunning(s)) {
    HBN_LOG(HBN_LOG_DEBUG, "MQTT thread finish\n");
    return;
  }
  hbn::SessionSettings settings;
  settings.uri = s->uri;
  settings.clientId = s->clientId;
  settings.subscription = s->reqFilter;
  settings.port = s->port;
  settings.login = s->auth != 0;
  settings.user = s->user;
  settings.password = s->password;
  settings.tls = s->tls != 0;
  settings.certificateDir = "/jffs2/mqtt/cloud/";
  // 20 s, run faster under a test time scale; the library takes whole seconds, at least 1.
  settings.keepAliveSeconds = 20;  // the session scales it under a test time scale
  if (s->mqtt.create(__func__, settings) != 0) return;
  HBN_LOG(HBN_LOG_DEBUG, "MQTT thread run\n");
  while (stillRunning(s)) {
    if (!s->mqtt.isConnected()) {
      HBN_cloud_commMqttConnect(s);
      pause(s);
      continue;
    }
    uint32_t kind = 0, p1 = 0, p2 = 0, p3 = 0;
    uintptr_t buffer = 0;
    // A "connected" that found the queue full is published as soon as the queue is empty.
    int rc = HBN_queue_receiveTimeout(s->queue, 1000, &kind, &p1, &p2, &p3, &buffer);
    if (rc < 0) {
      HBN_LOG(HBN_LOG_WARN, "MQTT queue pop fail\n");
      continue;
    }
    if (rc == 1) {
      if (HBN_cloud_takeConnectedDue(0, 0)) dispatch(HBN_CLOUD_KIND_CONNECTED, 0, 0, 0, 0);
      continue;
    }
    if (kind == HBN_CLOUD_KIND_KEEPALIVE) HBN_cloud_keepAliveTaken();
    // One "connected" per due mark, however many elements announced it.
    if (kind != HBN_CLOUD_KIND_CONNECTED)
      dispatch(kind, p1, p2, p3, buffer);
    else if (HBN_cloud_takeConnectedDue(1, p1))
      dispatch(kind, 0, 0, 0, 0);
    if (buffer != 0) {
      // The backup copy is a heap block; everything else comes from the cloud pool.
      if (kind == HBN_CLOUD_KIND_BACKUP)
        free(reinterpret_cast<void*>(buffer));
      else
        HBN_buf_free(s->pool, reinterpret_cast<void*>(buffer));
    }
  }
  HBN_LOG(HBN_LOG_DEBUG, "MQTT thread finish\n");
}

int HBN_cloud_commInit(HBN_buf_t* pool, HBN_queue_t* queue, const HBN_core_interface_t* coreInterface) {
  HBN_cloud_comm_t* s = new (std::nothrow) HBN_cloud_comm_t;
  if (s == nullptr) {
    HBN_LOG(HBN_LOG_ERROR, "MQTT thread memory alloc fail\n");
    return -1;
  }
  s->pool = pool;
  s->queue = queue;
  if (coreInterface) s->core = *coreInterface;
  s->running.store(1);
  gSession = s;
  int rc = HBN_thread_create(&s->thread, "cloud-mqtt", 2048, HBN_cloud_commMqttThread,
                             reinterpret_cast<uintptr_t>(s));
  if (rc != 0) {
    HBN_LOG(HBN_LOG_ERROR, "MQTT thread create fail(%d)\n", rc);
    gSession = nullptr;
    delete s;
    return -1;
  }
  return 0;
}

void HBN_cloud_commFinish() {
  HBN_cloud_comm_t* s = gSession.load();
  if (s == nullptr) return;
  s->running.store(0);
  // The wake-up never waits for room: a full queue (the session away during an outage) means
  // the thread is not blocked in its receive, and it sees the cleared flag within a second.
  if (HBN_queue_sendTimeout(s->queue, 0, HBN_CLOUD_KIND_FINISH, 0, 0, 0, 0) != 0)
    HBN_LOG(HBN_LOG_WARN, "CLOUD send queue push fail\n");
  HBN_thread_stop(s->thread);
  // Callbacks still running finish first; none comes afterwards.
  s->mqtt.destroy();
  {
    std::lock_guard<std::mutex> guard(gSessionLock);
    gSession = nullptr;
  }
  delete s;
}

int HBN_cloud_commTestBegin(const HBN_core_interface_t* coreInterface, const char* serviceCode,
                            const char* serial) {
  if (gSession.load() != nullptr || coreInterface == nullptr) return -1;
  HBN_cloud_comm_t* s = new (std::nothrow) HBN_cloud_comm_t;
  if (s == nullptr) return -1;
  s->core = *coreInterface;
  snprintf(s->serviceCode, sizeof s->serviceCode, "%s", serviceCode ? serviceCode : "");
  snprintf(s->serial, sizeof s->serial, "%s", serial ? serial : "");
  formNames(s);
  gSession = s;
  return 0;
}

void HBN_cloud_commTestEnd() {
  HBN_cloud_comm_t* s = nullptr;
  {
    std::lock_guard<std::mutex> guard(gSessionLock);
    s = gSession.exchange(nullptr);
  }
  delete s;
}

// ---------------------------------------------------------------- publish procedure

HBN_cloud_publish_t::HBN_cloud_publish_t(const char* func, HBN_cloud_prefix_t prefix, const char* suffix)
    : func_(func), payload_(nullptr, 0) {
  HBN_cloud_comm_t* s = gSession.load();
  if (s == nullptr || !s->mqtt.isConnected()) return;
  PublishBuffers* buffers = threadBuffers();
  if (buffers == nullptr) {
    HBN_log_printAt(HBN_LOG_ERROR, func_, __LINE__, "MQTT publish buffer alloc fail:%s\n", suffix);
    return;
  }
  connected_ = true;
  session_ = s;
  snprintf(buffers->topic, sizeof buffers->topic, "%s%s",
           prefix == HBN_CLOUD_PREFIX_SP ? s->spPrefix : s->gwPrefix, suffix);
  topic_ = buffers->topic;
  payload_ = HBN_text_t(buffers->payload, sizeof buffers->payload);
}

void HBN_cloud_publish_t::send() {
  if (!connected_) return;
  if (payload_.overflowed()) {
    HBN_log_printAt(HBN_LOG_ERROR, func_, __LINE__, "MQTT payload too long:%s\n", topic_);
    return;
  }
  sendBytes(payload_.text(), static_cast<int>(payload_.length()));
}

void HBN_cloud_publish_t::sendBytes(const void* data, int length) {
  if (!connected_) return;
  session_->mqtt.publish(func_, topic_, data, length);
}
