// A small MQTT client for the end-to-end tests and the benchmark: connects to the test broker
// (plain or TLS), subscribes, publishes at QoS 1 and keeps what arrives with its arrival time.
#pragma once
#include <MQTTAsync.h>
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "hbn_broker.h"

namespace hbntest {

inline double nowMs() {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// The MQTT library leaves Nagle's algorithm on, which holds a publish back behind the
// acknowledgement of the previous packet; switch it off on this process's TCP sockets (the
// client's is the only one).
inline void noDelayOnTcpSockets() {
  DIR* d = opendir("/proc/self/fd");
  if (d == nullptr) return;
  while (dirent* e = readdir(d)) {
    int fd = atoi(e->d_name);
    int type = 0;
    socklen_t len = sizeof type;
    sockaddr_storage a{};
    socklen_t alen = sizeof a;
    if (fd <= 2 || getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) != 0 || type != SOCK_STREAM) continue;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&a), &alen) != 0) continue;
    if (a.ss_family != AF_INET && a.ss_family != AF_INET6) continue;
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  }
  closedir(d);
}

// A TLS MQTT client on the broker with the test CA and client certificate; arriving messages
// are kept with their arrival time.
class MqttClient {
 public:
  struct Message {
    std::string topic;
    std::string payload;
    double at;
  };

  // Connects (plain or TLS with the broker's client certificate, as the broker runs); ok()
  // tells whether it worked.
  MqttClient(const Broker& broker, const std::string& id)
      : MqttClient("127.0.0.1", broker.port(), broker.tls() ? broker.dir() + "/ca.crt" : "",
                   broker.dir() + "/client.crt", broker.dir() + "/client.key", id) {}
  // A broker given by address and port, TLS with these files unless `ca` is empty. A
  // `reconnecting` client survives the loss of its connection (a clustered broker closes it when
  // a publish meets a queue on a dead node): the library reconnects within 1 to 2 s, the session
  // is kept (clean session off) and the subscriptions are made again; losses() counts the losses.
  MqttClient(const std::string& host, int port, const std::string& ca, const std::string& cert,
             const std::string& key, const std::string& id, bool reconnecting = false) {
    const bool tls = !ca.empty();
    std::string uri = (tls ? "ssl://" : "tcp://") + host + ":" + std::to_string(port);
    if (MQTTAsync_create(&client_, uri.c_str(), id.c_str(), MQTTCLIENT_PERSISTENCE_NONE, nullptr) !=
        MQTTASYNC_SUCCESS) {
      client_ = nullptr;
      return;
    }
    MQTTAsync_setCallbacks(client_, this, reconnecting ? &MqttClient::lost : nullptr, &MqttClient::arrived,
                           nullptr);
    if (reconnecting) MQTTAsync_setConnected(client_, this, &MqttClient::reconnected);
    ca_ = ca;
    cert_ = cert;
    key_ = key;
    MQTTAsync_SSLOptions ssl = MQTTAsync_SSLOptions_initializer;
    ssl.trustStore = ca_.c_str();
    ssl.keyStore = cert_.c_str();
    ssl.privateKey = key_.c_str();
    MQTTAsync_connectOptions o = MQTTAsync_connectOptions_initializer;
    o.keepAliveInterval = 60;
    o.cleansession = 1;
    if (reconnecting) {
      o.cleansession = 0;
      o.MQTTVersion = MQTTVERSION_3_1_1;
      o.automaticReconnect = 1;
      o.minRetryInterval = 1;
      o.maxRetryInterval = 2;
    }
    if (tls) o.ssl = &ssl;
    o.context = this;
    o.onSuccess = [](void* c, MQTTAsync_successData*) { static_cast<MqttClient*>(c)->done(1); };
    o.onFailure = [](void* c, MQTTAsync_failureData*) { static_cast<MqttClient*>(c)->done(-1); };
    connected_ = MQTTAsync_connect(client_, &o) == MQTTASYNC_SUCCESS && wait() == 1;
    if (connected_) noDelayOnTcpSockets();
  }
  ~MqttClient() {
    if (client_ == nullptr) return;
    MQTTAsync_disconnectOptions d = MQTTAsync_disconnectOptions_initializer;
    if (connected_) MQTTAsync_disconnect(client_, &d);
    MQTTAsync_destroy(&client_);
  }
  MqttClient(const MqttClient&) = delete;
  MqttClient& operator=(const MqttClient&) = delete;
  bool ok() const { return connected_; }
  int losses() const { return losses_.load(); }

  bool subscribe(const std::string& filter) {
    {
      std::lock_guard<std::mutex> g(lock_);
      filters_.push_back(filter);
    }
    MQTTAsync_responseOptions r = MQTTAsync_responseOptions_initializer;
    r.context = this;
    r.onSuccess = [](void* c, MQTTAsync_successData*) { static_cast<MqttClient*>(c)->done(1); };
    r.onFailure = [](void* c, MQTTAsync_failureData*) { static_cast<MqttClient*>(c)->done(-1); };
    return MQTTAsync_subscribe(client_, filter.c_str(), 1, &r) == MQTTASYNC_SUCCESS && wait() == 1;
  }
  // QoS 1, not retained; false when the library refused it.
  bool publish(const std::string& topic, const std::string& payload) {
    MQTTAsync_message m = MQTTAsync_message_initializer;
    m.payload = const_cast<char*>(payload.data());
    m.payloadlen = static_cast<int>(payload.size());
    m.qos = 1;
    return MQTTAsync_sendMessage(client_, topic.c_str(), &m, nullptr) == MQTTASYNC_SUCCESS;
  }
  // Next message on `topic` (others are skipped); false after the timeout.
  bool next(const std::string& topic, Message* out, int timeoutMs = 5000) {
    std::unique_lock<std::mutex> g(lock_);
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      while (!inbox_.empty()) {
        Message m = std::move(inbox_.front());
        inbox_.pop_front();
        if (m.topic == topic) {
          *out = std::move(m);
          return true;
        }
      }
      if (cv_.wait_until(g, until) == std::cv_status::timeout && inbox_.empty()) return false;
    }
  }
  // Next message on any topic; false after the timeout.
  bool nextAny(Message* out, int timeoutMs = 5000) {
    std::unique_lock<std::mutex> g(lock_);
    if (!cv_.wait_for(g, std::chrono::milliseconds(timeoutMs), [&] { return !inbox_.empty(); })) return false;
    *out = std::move(inbox_.front());
    inbox_.pop_front();
    return true;
  }
  // Answers every message that arrives with the same payload on `topic` (a stand-in for a
  // responder that does no work), instead of keeping it.
  void answerOn(const std::string& topic) { answerTopic_ = topic; }
  void drain() {
    std::lock_guard<std::mutex> g(lock_);
    inbox_.clear();
  }

 private:
  static void lost(void* c, char*) { static_cast<MqttClient*>(c)->losses_.fetch_add(1); }
  // After an automatic reconnect: the subscriptions again (the broker may have lost them).
  static void reconnected(void* c, char*) {
    auto* self = static_cast<MqttClient*>(c);
    std::vector<std::string> filters;
    {
      std::lock_guard<std::mutex> g(self->lock_);
      filters = self->filters_;
    }
    for (const auto& f : filters) MQTTAsync_subscribe(self->client_, f.c_str(), 1, nullptr);
    noDelayOnTcpSockets();
  }
  static int arrived(void* c, char* topic, int topicLen, MQTTAsync_message* m) {
    auto* self = static_cast<MqttClient*>(c);
    if (!self->answerTopic_.empty()) {
      MQTTAsync_message a = MQTTAsync_message_initializer;
      a.payload = m->payload;
      a.payloadlen = m->payloadlen;
      a.qos = 1;
      MQTTAsync_sendMessage(self->client_, self->answerTopic_.c_str(), &a, nullptr);
      MQTTAsync_freeMessage(&m);
      MQTTAsync_free(topic);
      return 1;
    }
    Message msg{topicLen > 0 ? std::string(topic, static_cast<size_t>(topicLen)) : std::string(topic),
                std::string(static_cast<const char*>(m->payload), static_cast<size_t>(m->payloadlen)),
                nowMs()};
    {
      std::lock_guard<std::mutex> g(self->lock_);
      self->inbox_.push_back(std::move(msg));
    }
    self->cv_.notify_all();
    MQTTAsync_freeMessage(&m);
    MQTTAsync_free(topic);
    return 1;
  }
  void done(int result) {
    {
      std::lock_guard<std::mutex> g(lock_);
      result_ = result;
    }
    cv_.notify_all();
  }
  int wait() {
    std::unique_lock<std::mutex> g(lock_);
    cv_.wait_for(g, std::chrono::seconds(10), [&] { return result_ != 0; });
    int r = result_;
    result_ = 0;
    return r;
  }

  MQTTAsync client_ = nullptr;
  std::string ca_, cert_, key_;
  std::mutex lock_;
  std::condition_variable cv_;
  std::deque<Message> inbox_;
  std::string answerTopic_;
  std::vector<std::string> filters_;
  std::atomic<int> losses_{0};
  int result_ = 0;
  bool connected_ = false;
};

}  // namespace hbntest
