#include "cloud_comm.h"

#include <MQTTAsync.h>
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>

#include "cloud_payload.h"
#include "hbn_cloud.h"
#include "hbn_log.h"
#include "hbn_nvm.h"
#include "hbn_path.h"
#include "kv_api.h"

struct HBN_cloud_comm_t;

namespace {

enum { SERIAL_SIZE = 33, CREDENTIAL_SIZE = 33, SERVER_SIZE = 256, PREFIX_SIZE = 256 };

}  // namespace

struct HBN_cloud_comm_t {
  HBN_core_interface_t core;
  HBN_buf_t* pool = nullptr;
  HBN_queue_t* queue = nullptr;
  HBN_thread_t* thread = nullptr;
  std::atomic<int> running{0};
  MQTTAsync client = nullptr;
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
  std::string trustStore, keyStore, privateKey;
  // Held by publishers on the library's callback thread, so the record outlives their send.
  std::mutex lifeLock;
};

namespace {

std::atomic<HBN_cloud_comm_t*> gSession{nullptr};
// Each publishing thread (the MQTT thread and the library's callback thread) builds its
// messages in buffers of its own, so no lock is held while the library is called.
thread_local char tTopic[HBN_CLOUD_TOPIC_SIZE];
thread_local char tPayload[HBN_CLOUD_PAYLOAD_SIZE];
thread_local bool tMqttThread = false;
// Connection state; outlives the session so HBN_cloud_isConnected answers at any time.
std::atomic<int> gState{HBN_CLOUD_STATE_DISCONNECTED};
std::mutex gHandlerLock;
KV_api_cloudHandler_t gHandler;
bool gHandlerSet = false;

void notifyState(int state) {
  const KV_api_cloudHandler_t* h = HBN_cloud_commApiHandler();
  if (h && h->stateChange) h->stateChange(state);
}

bool stillRunning(const HBN_cloud_comm_t* s) { return s->running.load() == 1; }

// The thread's one-second pauses, cut short when the session is being stopped.
void pause(const HBN_cloud_comm_t* s) {
  for (int i = 0; i < 10 && stillRunning(s); ++i) HBN_thread_sleep(100);
}

// The MQTT library leaves Nagle's algorithm on its socket, so an answer published right after
// the library acknowledged a request waits for the broker's delayed TCP acknowledgement (tens
// of milliseconds). The library does not hand out its socket: find the TCP socket connected
// to the broker's port among this process's descriptors and switch the delay off.
void noDelayToBroker(int port) {
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return;
  while (dirent* entry = readdir(dir)) {
    int fd = atoi(entry->d_name);
    int type = 0;
    socklen_t typeLength = sizeof type;
    if (fd <= 2 || getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &typeLength) != 0 || type != SOCK_STREAM)
      continue;
    sockaddr_storage peer{};
    socklen_t peerLength = sizeof peer;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLength) != 0) continue;
    int peerPort = -1;
    if (peer.ss_family == AF_INET) peerPort = ntohs(reinterpret_cast<sockaddr_in*>(&peer)->sin_port);
    if (peer.ss_family == AF_INET6) peerPort = ntohs(reinterpret_cast<sockaddr_in6*>(&peer)->sin6_port);
    if (peerPort != port) continue;
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  }
  closedir(dir);
}

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

int HBN_cloud_isConnected() { return gState.load() == HBN_CLOUD_STATE_CONNECTED ? 1 : 0; }

const HBN_core_interface_t* HBN_cloud_commCoreInterface() {
  HBN_cloud_comm_t* s = gSession.load();
  return s ? &s->core : nullptr;
}

int HBN_cloud_commRequestPrefixLength() {
  HBN_cloud_comm_t* s = gSession.load();
  return s ? s->reqPrefixLength : 0;
}

// ---------------------------------------------------------------- settings

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
  snprintf(s->uri, sizeof s->uri, s->tls ? "ssl://%s:%d" : "tcp://%s:%d", s->server, s->port);
  snprintf(s->clientId, sizeof s->clientId, "%s:%s", s->serviceCode, s->serial);
  snprintf(s->gwPrefix, sizeof s->gwPrefix, "gw/%s/%s/", s->serviceCode, s->serial);
  snprintf(s->spPrefix, sizeof s->spPrefix, "sp/%s/%s/", s->serviceCode, s->serial);
  snprintf(s->reqFilter, sizeof s->reqFilter, "req/%s/%s/", s->serviceCode, s->serial);
  s->reqPrefixLength = static_cast<int>(strlen(s->reqFilter));
  strncat(s->reqFilter, "#", sizeof s->reqFilter - strlen(s->reqFilter) - 1);
  HBN_LOG(HBN_LOG_DEBUG, "serial#=%s,server=%s,port=%d\n", s->serial, s->server, s->port);
  HBN_LOG(HBN_LOG_INFO, "addr  =%s\n", s->uri);
  HBN_LOG(HBN_LOG_INFO, "client=%s\n", s->clientId);
  HBN_LOG(HBN_LOG_INFO, "topic =%s\n", s->gwPrefix);
  HBN_LOG(HBN_LOG_INFO, "topic =%s(%d)\n", s->reqFilter, s->reqPrefixLength);
}

// ---------------------------------------------------------------- callbacks (library thread)

void HBN_cloud_commMqttConnectSuccess(void* context, MQTTAsync_successData* response) {
  (void)context;
  (void)response;
  HBN_LOG(HBN_LOG_DEBUG, "MQTT connect success\n");
  gState.store(HBN_CLOUD_STATE_CONNECTED);
  HBN_cloud_comm_t* s = gSession.load();
  if (s != nullptr && s->client != nullptr) {
    noDelayToBroker(s->port);
    int rc = MQTTAsync_subscribe(s->client, s->reqFilter, 1, nullptr);
    if (rc != MQTTASYNC_SUCCESS) HBN_LOG(HBN_LOG_WARN, "MQTT subscribe fail(%d)\n", rc);
  }
  HBN_cloud_sendConnected();
  notifyState(0);
}

void HBN_cloud_commMqttConnectFailure(void* context, MQTTAsync_failureData* response) {
  (void)context;
  (void)response;
  HBN_LOG(HBN_LOG_DEBUG, "MQTT connect fail\n");
  int old = gState.exchange(HBN_CLOUD_STATE_DISCONNECTED);
  HBN_LOG(HBN_LOG_DEBUG, "state=%d->%d\n", old, HBN_CLOUD_STATE_DISCONNECTED);
  if (old != HBN_CLOUD_STATE_DISCONNECTED) notifyState(1);
}

void HBN_cloud_commMqttConnlost(void* context, char* cause) {
  (void)context;
  (void)cause;
  HBN_LOG(HBN_LOG_WARN, "MQTT connection lost\n");
  int old = gState.exchange(HBN_CLOUD_STATE_DISCONNECTED);
  if (old != HBN_CLOUD_STATE_DISCONNECTED) HBN_cloud_commMqttDisconnectNotice();
  notifyState(1);
}

int HBN_cloud_commMqttMsgarrvd(void* context, char* topicName, int topicLen, MQTTAsync_message* message);

void HBN_cloud_commMqttDisconnectNotice() {
  HBN_cloud_comm_t* s = gSession.load();
  if (s == nullptr || s->queue == nullptr) return;
  if (HBN_queue_send(s->queue, HBN_CLOUD_KIND_DISCONNECT, 0, 0, 0, 0) != 0)
    HBN_LOG(HBN_LOG_WARN, "CLOUD send queue push fail\n");
}

// ---------------------------------------------------------------- MQTT thread

void HBN_cloud_commMqttConnect(HBN_cloud_comm_t* s) {
  int expected = HBN_CLOUD_STATE_DISCONNECTED;
  if (!gState.compare_exchange_strong(expected, HBN_CLOUD_STATE_CONNECTING)) return;
  MQTTAsync_connectOptions options = MQTTAsync_connectOptions_initializer;
  MQTTAsync_SSLOptions ssl = MQTTAsync_SSLOptions_initializer;
  options.keepAliveInterval = 20;
  options.cleansession = 1;
  options.connectTimeout = 2147483647;
  options.onSuccess = HBN_cloud_commMqttConnectSuccess;
  options.onFailure = HBN_cloud_commMqttConnectFailure;
  options.context = nullptr;
  if (s->auth) {
    options.username = s->user;
    options.password = s->password;
  }
  if (s->tls) {
    s->trustStore = HBN_path("/jffs2/mqtt/cloud/ca.crt");
    s->keyStore = HBN_path("/jffs2/mqtt/cloud/client.crt");
    s->privateKey = HBN_path("/jffs2/mqtt/cloud/client.key");
    ssl.trustStore = s->trustStore.c_str();
    ssl.keyStore = s->keyStore.c_str();
    ssl.privateKey = s->privateKey.c_str();
    options.ssl = &ssl;
  }
  MQTTAsync_setCallbacks(s->client, nullptr, HBN_cloud_commMqttConnlost, HBN_cloud_commMqttMsgarrvd, nullptr);
  int rc = MQTTAsync_connect(s->client, &options);
  if (rc != MQTTASYNC_SUCCESS) {
    gState.store(HBN_CLOUD_STATE_DISCONNECTED);
    HBN_LOG(HBN_LOG_WARN, "MQTT async connect fail(%d)\n", rc);
  }
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
  tMqttThread = true;
  HBN_LOG(HBN_LOG_DEBUG, "MQTT thread start\n");
  HBN_cloud_commMqttLoadSetting(s);
  if (!stillRunning(s)) {
    HBN_LOG(HBN_LOG_DEBUG, "MQTT thread finish\n");
    return;
  }
  int rc = MQTTAsync_create(&s->client, s->uri, s->clientId, MQTTCLIENT_PERSISTENCE_NONE, nullptr);
  if (rc != MQTTASYNC_SUCCESS) {
    HBN_LOG(HBN_LOG_ERROR, "MQTT async create fail(%d)\n", rc);
    s->client = nullptr;
    return;
  }
  HBN_LOG(HBN_LOG_DEBUG, "MQTT thread run\n");
  while (stillRunning(s)) {
    if (gState.load() != HBN_CLOUD_STATE_CONNECTED) {
      HBN_cloud_commMqttConnect(s);
      pause(s);
      continue;
    }
    uint32_t kind = 0, p1 = 0, p2 = 0, p3 = 0;
    uintptr_t buffer = 0;
    if (HBN_queue_receive(s->queue, &kind, &p1, &p2, &p3, &buffer) < 0) {
      HBN_LOG(HBN_LOG_WARN, "MQTT queue pop fail\n");
      continue;
    }
    dispatch(kind, p1, p2, p3, buffer);
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
  gState.store(HBN_CLOUD_STATE_DISCONNECTED);
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
  if (HBN_queue_send(s->queue, HBN_CLOUD_KIND_FINISH, 0, 0, 0, 0) != 0)
    HBN_LOG(HBN_LOG_WARN, "CLOUD send queue push fail\n");
  HBN_thread_stop(s->thread);
  if (s->client != nullptr) {
    MQTTAsync_disconnectOptions options = MQTTAsync_disconnectOptions_initializer;
    MQTTAsync_disconnect(s->client, &options);
    MQTTAsync_destroy(&s->client);
  }
  {
    // Publishers on the callback thread finish before the record goes.
    std::lock_guard<std::mutex> guard(s->lifeLock);
    gSession = nullptr;
  }
  gState.store(HBN_CLOUD_STATE_DISCONNECTED);
  delete s;
}

// ---------------------------------------------------------------- publish procedure

HBN_cloud_publish_t::HBN_cloud_publish_t(const char* func, HBN_cloud_prefix_t prefix, const char* suffix)
    : func_(func), payload_(nullptr, 0) {
  HBN_cloud_comm_t* s = gSession.load();
  if (s == nullptr) return;
  // The MQTT thread owns the session (it is joined before the record is freed); any other
  // thread holds the record's life lock while it publishes.
  if (!tMqttThread) {
    s->lifeLock.lock();
    locked_ = true;
  }
  if (gSession.load() != s || gState.load() != HBN_CLOUD_STATE_CONNECTED || s->client == nullptr) {
    if (locked_) s->lifeLock.unlock();
    locked_ = false;
    return;
  }
  connected_ = true;
  session_ = s;
  snprintf(tTopic, sizeof tTopic, "%s%s", prefix == HBN_CLOUD_PREFIX_SP ? s->spPrefix : s->gwPrefix, suffix);
  payload_ = HBN_text_t(tPayload, sizeof tPayload);
}

HBN_cloud_publish_t::~HBN_cloud_publish_t() {
  if (locked_) session_->lifeLock.unlock();
}

void HBN_cloud_publish_t::send() {
  if (!connected_) return;
  if (payload_.overflowed()) {
    HBN_log_printAt(HBN_LOG_ERROR, func_, __LINE__, "MQTT payload too long:%s\n", tTopic);
    return;
  }
  sendBytes(payload_.text(), static_cast<int>(payload_.length()));
}

void HBN_cloud_publish_t::sendBytes(const void* data, int length) {
  if (!connected_) return;
  HBN_cloud_comm_t* s = session_;
  MQTTAsync_message message = MQTTAsync_message_initializer;
  message.payload = const_cast<void*>(data);
  message.payloadlen = length;
  message.qos = 1;
  message.retained = 0;
  int rc = MQTTAsync_sendMessage(s->client, tTopic, &message, nullptr);
  if (rc != MQTTASYNC_SUCCESS)
    HBN_log_printAt(HBN_LOG_ERROR, func_, __LINE__, "MQTT send fail(%d)\n", rc);
  else
    HBN_log_printAt(HBN_LOG_DEBUG, func_, __LINE__, "MQTT send:%s\n", tTopic);
}

void HBN_cloud_commDumpHex(const void* data, int length) {
  // One write, so lines of the two publishing threads never interleave.
  static const char digits[] = "0123456789ABCDEF";
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  std::string line = "DUMP-payload=";
  line.reserve(line.size() + 2 * static_cast<size_t>(length > 0 ? length : 0) + 1);
  for (int i = 0; i < length; ++i) {
    line += digits[bytes[i] >> 4];
    line += digits[bytes[i] & 15];
  }
  line += '\n';
  fputs(line.c_str(), stderr);
}
