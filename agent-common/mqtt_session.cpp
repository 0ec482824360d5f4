#include "mqtt_session.h"

#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <openssl/ssl.h>

#include <cstdlib>
#include <cstring>
#include <mutex>

#include "hbn_log.h"
#include "hbn_os.h"
#include "hbn_path.h"

namespace hbn {

// The library calls back with the context pointer it was given at connect time, possibly while
// the session is being destroyed on another thread. So the context is not the session's
// address but a slot number with a generation: a callback takes its slot's lock, finds the
// session it was meant for (or none any more) and runs with the lock held, and destroy() waits
// on that lock before the client goes. Slots live as long as the process.
namespace {

enum { kSlotCount = 8, kSlotBits = 3 };

struct Slot {
  std::mutex lock;
  MqttSession* session = nullptr;
  uintptr_t generation = 0;
  bool used = false;
};

std::mutex gSlotsLock;
Slot gSlots[kSlotCount];

int takeSlot(MqttSession* session) {
  std::lock_guard<std::mutex> guard(gSlotsLock);
  for (int i = 0; i < kSlotCount; ++i) {
    if (gSlots[i].used) continue;
    std::lock_guard<std::mutex> slotGuard(gSlots[i].lock);
    gSlots[i].used = true;
    gSlots[i].session = session;
    ++gSlots[i].generation;
    return i;
  }
  return -1;
}

void* contextOf(int slot) {
  std::lock_guard<std::mutex> guard(gSlots[slot].lock);
  return reinterpret_cast<void*>((gSlots[slot].generation << kSlotBits) | static_cast<uintptr_t>(slot));
}

// Runs `body` with the session `context` names, holding its slot's lock; false when the
// session is gone.
template <typename Body>
bool withSession(void* context, Body body) {
  // This is the library's callback thread: a queue write here must never wait for room.
  if (HBN_queue_isNoWait() == 0) HBN_queue_setNoWait(1);
  uintptr_t value = reinterpret_cast<uintptr_t>(context);
  Slot& slot = gSlots[value & ((1u << kSlotBits) - 1)];
  std::lock_guard<std::mutex> guard(slot.lock);
  if (!slot.used || slot.session == nullptr || slot.generation != (value >> kSlotBits)) return false;
  body(*slot.session);
  return true;
}

// Whole seconds handed to the library (connect time-out, keep-alive) under the test time scale,
// never below one.
long scaledSeconds(int seconds) {
  long scaled = HBN_time_scaledSecondsMs(seconds) / 1000;
  return scaled < 1 ? 1 : scaled;
}

// Initialises OpenSSL for the library once, before its first client, without the tables of
// error texts: nothing here prints OpenSSL's error strings, and loaded they stay on the heap for
// the life of the agent. The system's OpenSSL configuration is still read (its TLS policy holds).
// The library's own trace ring (about 120 KiB, filled as packets pass) is only kept when a
// person debugging asks for it through the library's tracing variables.
void initLibraryOnce() {
  static std::once_flag once;
  std::call_once(once, [] {
    OPENSSL_init_ssl(OPENSSL_INIT_NO_LOAD_SSL_STRINGS | OPENSSL_INIT_NO_LOAD_CRYPTO_STRINGS, nullptr);
    MQTTAsync_init_options options = MQTTAsync_init_options_initializer;
    options.do_openssl_init = 0;
    MQTTAsync_global_init(&options);
    if (getenv("MQTT_C_CLIENT_TRACE") == nullptr && getenv("MQTT_C_CLIENT_TRACE_LEVEL") == nullptr)
      MQTTAsync_setTraceLevel(MQTTASYNC_TRACE_ERROR);
  });
}

}  // namespace

struct SessionCallbacks {
  static void onSuccess(void* context, MQTTAsync_successData*) {
    withSession(context, [](MqttSession& s) { s.events_->connectSuccess(s); });
  }
  static void onFailure(void* context, MQTTAsync_failureData*) {
    withSession(context, [](MqttSession& s) { s.events_->connectFailure(s); });
  }
  static void onLost(void* context, char* cause) {
    (void)cause;
    withSession(context, [](MqttSession& s) { s.events_->connectionLost(s); });
  }
  static int onMessage(void* context, char* topic, int topicLength, MQTTAsync_message* message) {
    int length = topicLength > 0 ? topicLength : static_cast<int>(strlen(topic));
    bool kept = false;
    withSession(context, [&](MqttSession& s) {
      kept = s.events_->keepMessage(s, topic, length, message);
      if (!kept)
        s.events_->messageArrived(s, topic, length, message ? message->payload : nullptr,
                                  message ? message->payloadlen : 0);
    });
    if (!kept) releaseMessage(topic, message);
    return 1;
  }
};

MqttSession::MqttSession(SessionEvents* events) : events_(events) {}

MqttSession::~MqttSession() { destroy(); }

int MqttSession::create(const char* func, const SessionSettings& settings) {
  settings_ = settings;
  initLibraryOnce();
  if (slot_ < 0) slot_ = takeSlot(this);
  int rc = slot_ < 0 ? MQTTASYNC_FAILURE
                     : MQTTAsync_create(&client_, settings_.uri.c_str(), settings_.clientId.c_str(),
                                        MQTTCLIENT_PERSISTENCE_NONE, nullptr);
  if (rc != MQTTASYNC_SUCCESS) {
    HBN_log_printAt(HBN_LOG_ERROR, func, __LINE__, "MQTT async create fail(%d)\n", rc);
    client_ = nullptr;
    return rc;
  }
  if (settings_.tls) {
    trustStore_ = HBN_path((settings_.certificateDir + "ca.crt").c_str());
    keyStore_ = HBN_path((settings_.certificateDir + "client.crt").c_str());
    privateKey_ = HBN_path((settings_.certificateDir + "client.key").c_str());
  }
  return 0;
}

int MqttSession::connect() {
  int expected = kDisconnected;
  if (client_ == nullptr || !state_.compare_exchange_strong(expected, kConnecting)) return 1;
  void* context = contextOf(slot_);
  MQTTAsync_connectOptions options = MQTTAsync_connectOptions_initializer;
  MQTTAsync_SSLOptions ssl = MQTTAsync_SSLOptions_initializer;
  // Under a test time scale a cut link is noticed as much sooner as the other timers run.
  options.keepAliveInterval = static_cast<int>(scaledSeconds(settings_.keepAliveSeconds));
  options.cleansession = 1;
  options.connectTimeout = static_cast<int>(scaledSeconds(settings_.connectTimeoutSeconds));
  options.onSuccess = SessionCallbacks::onSuccess;
  options.onFailure = SessionCallbacks::onFailure;
  options.context = context;
  if (settings_.login) {
    options.username = settings_.user.c_str();
    options.password = settings_.password.c_str();
  }
  if (settings_.tls) {
    ssl.trustStore = trustStore_.c_str();
    ssl.keyStore = keyStore_.c_str();
    ssl.privateKey = privateKey_.c_str();
    options.ssl = &ssl;
  }
  MQTTAsync_setCallbacks(client_, context, SessionCallbacks::onLost, SessionCallbacks::onMessage, nullptr);
  int rc = !settings_.ifname.empty() && settings_.boundConnect != nullptr
               ? settings_.boundConnect(client_, &options, settings_.ifname.c_str())
               : MQTTAsync_connect(client_, &options);
  if (rc != MQTTASYNC_SUCCESS) state_.store(kDisconnected);
  return rc;
}

int MqttSession::subscribe() {
  if (client_ == nullptr || settings_.subscription.empty()) return MQTTASYNC_FAILURE;
  if (!validFilter(settings_.subscription.c_str())) {
    HBN_log_print(HBN_LOG_ERROR, "MQTT subscribe refused (wildcard inside a level):%s\n",
                  settings_.subscription.c_str());
    return MQTTASYNC_BAD_UTF8_STRING;
  }
  return MQTTAsync_subscribe(client_, settings_.subscription.c_str(), 1, nullptr);
}

void MqttSession::noDelay() const {
  // The library does not hand out its socket: find the TCP sockets connected to the broker's
  // port among this process's descriptors.
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
    if (peerPort != settings_.port) continue;
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  }
  closedir(dir);
}

void MqttSession::disconnect() {
  state_.store(kDisconnected);
  if (client_ == nullptr) return;
  MQTTAsync_disconnectOptions options = MQTTAsync_disconnectOptions_initializer;
  MQTTAsync_disconnect(client_, &options);
}

void MqttSession::destroy() {
  if (slot_ >= 0) {
    // Waits for a callback in progress; later ones find no session.
    std::lock_guard<std::mutex> guard(gSlots[slot_].lock);
    gSlots[slot_].session = nullptr;
  }
  if (client_ != nullptr) {
    MQTTAsync_disconnectOptions options = MQTTAsync_disconnectOptions_initializer;
    MQTTAsync_disconnect(client_, &options);
    MQTTAsync_destroy(&client_);
    client_ = nullptr;
  }
  if (slot_ >= 0) {
    std::lock_guard<std::mutex> guard(gSlotsLock);
    gSlots[slot_].used = false;
    slot_ = -1;
  }
  state_.store(kDisconnected);
}

int MqttSession::publish(const char* func, const char* topic, const void* payload, int length,
                         bool onlyConnected) {
  if (onlyConnected && state_.load() != kConnected) return 1;
  if (client_ == nullptr) return 1;
  // A wildcard in a published topic is a protocol violation for which the broker drops the
  // whole session; such a message (a stored text with one) is skipped instead.
  if (!validTopicName(topic)) {
    HBN_log_printAt(HBN_LOG_ERROR, func, __LINE__, "MQTT topic refused (wildcard):%s\n", topic);
    return MQTTASYNC_BAD_UTF8_STRING;
  }
  MQTTAsync_message message = MQTTAsync_message_initializer;
  message.payload = const_cast<void*>(payload);
  message.payloadlen = length;
  message.qos = 1;
  message.retained = 0;
  int rc = MQTTAsync_sendMessage(client_, topic, &message, nullptr);
  if (rc != MQTTASYNC_SUCCESS)
    HBN_log_printAt(HBN_LOG_ERROR, func, __LINE__, "MQTT send fail(%d)\n", rc);
  else
    HBN_log_printAt(HBN_LOG_DEBUG, func, __LINE__, "MQTT send:%s\n", topic);
  return rc;
}

bool validTopicName(const char* topic) { return topic[0] != '\0' && strpbrk(topic, "+#") == nullptr; }

bool validFilter(const char* filter) {
  if (filter[0] == '\0') return false;
  for (const char* level = filter;;) {
    const char* end = strchr(level, '/');
    size_t length = end != nullptr ? static_cast<size_t>(end - level) : strlen(level);
    bool wildcard = memchr(level, '+', length) != nullptr || memchr(level, '#', length) != nullptr;
    // A wildcard stands alone in its level, and "#" only in the last one.
    if (wildcard && (length != 1 || (*level == '#' && end != nullptr))) return false;
    if (end == nullptr) return true;
    level = end + 1;
  }
}

void releaseMessage(char* topic, MQTTAsync_message* message) {
  if (message != nullptr) MQTTAsync_freeMessage(&message);
  if (topic != nullptr) MQTTAsync_free(topic);
}

void sleepWhileRunning(int milliseconds, const std::atomic<int>& running) {
  for (int slept = 0; slept < milliseconds && running.load() == 1; slept += 100)
    HBN_thread_sleep(milliseconds - slept < 100 ? milliseconds - slept : 100);
}

}  // namespace hbn
