// One MQTT session of an agent: a Paho asynchronous client with its connection state
// (2 disconnected, 1 connecting, 0 connected), the connect options every agent uses (keep-alive,
// clean session, a bounded connect time-out, login, TLS from a certificate folder, an optional
// binding to a network interface), the subscription after each connect, and publishing with
// the send log lines written under the calling builder's name.
//
// A session holds no process-wide state, so one process may run several (the router agent runs
// one per WAN). The agent keeps its own thread, queue and named functions; the session reports
// the library's callbacks to the agent through `hbn::SessionEvents`, on the library's callback
// thread.
#pragma once
#include <MQTTAsync.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

namespace hbn {

enum SessionState : int { kConnected = 0, kConnecting = 1, kDisconnected = 2 };

// The interface-bound connect of the platform's MQTT library (client, options, interface name).
using BoundConnect = int (*)(MQTTAsync client, const MQTTAsync_connectOptions* options, const char* ifname);

struct SessionSettings {
  std::string uri;  // "ssl://host:port" or "tcp://host:port"
  std::string clientId;
  std::string subscription;  // subscribed at QoS 1 after every connect ("" none)
  int port = 0;              // the broker's port (to find the session's socket)
  bool login = false;
  std::string user, password;
  bool tls = false;
  std::string certificateDir;           // unrooted, with a trailing "/": ca.crt, client.crt, client.key
  std::string ifname;                   // "" for no binding
  BoundConnect boundConnect = nullptr;  // used when `ifname` is set
  int keepAliveSeconds = 20;            // divided by the test time scale like the time-out (at least 1)
  // Seconds a connect attempt may take before it counts as failed. A server that accepts TCP
  // and then stays silent must not hold the session in "connecting" for ever.
  int connectTimeoutSeconds = 30;
};

class MqttSession;

// The library's callbacks, forwarded on its callback thread while the session lives. Each
// handler may publish, subscribe and change the state; none may wait on anything unbounded.
class SessionEvents {
 public:
  virtual ~SessionEvents() = default;
  virtual void connectSuccess(MqttSession& session) = 0;
  virtual void connectFailure(MqttSession& session) = 0;
  virtual void connectionLost(MqttSession& session) = 0;
  // `topic` holds `topicLength` bytes (not terminated); `payload` `length` bytes. The message is
  // released by the session afterwards.
  virtual void messageArrived(MqttSession& session, const char* topic, int topicLength, const void* payload,
                              int length) = 0;
  // Asked first for every arriving message: true takes the library's memory of it (the topic and
  // the message, released later with releaseMessage()), so it can be handled on another thread;
  // false (the default) has messageArrived() called and the message released at once.
  virtual bool keepMessage(MqttSession& session, char* topic, int topicLength, MQTTAsync_message* message) {
    (void)session;
    (void)topic;
    (void)topicLength;
    (void)message;
    return false;
  }
};

// Releases an arrived message that keepMessage() took.
void releaseMessage(char* topic, MQTTAsync_message* message);

class MqttSession {
 public:
  explicit MqttSession(SessionEvents* events);
  // Destroys the client (see destroy()).
  ~MqttSession();
  MqttSession(const MqttSession&) = delete;
  MqttSession& operator=(const MqttSession&) = delete;

  // Creates the client for `settings` (no persistence). 0, or the library's result after
  // logging "MQTT async create fail(%d)\n" (error) under `func`.
  int create(const char* func, const SessionSettings& settings);
  bool created() const { return client_ != nullptr; }
  const SessionSettings& settings() const { return settings_; }

  int state() const { return state_.load(); }
  bool isConnected() const { return state_.load() == kConnected; }
  void setState(int state) { state_.store(state); }
  // Sets `state` and returns the state before.
  int exchangeState(int state) { return state_.exchange(state); }

  // The connect step: only when disconnected, moves to connecting and issues the connect with
  // the session's options (bound connect when an interface is named). Returns 1 when no connect
  // was due, 0 when issued, else the library's result with the state back at disconnected (the
  // caller logs it).
  int connect();
  // Subscribes to the subscription filter at QoS 1; the library's result. A filter with a
  // wildcard inside a level (a stored text holding one) is refused with a log line.
  int subscribe();
  // Switches Nagle's algorithm off on the session's socket to the broker, so answers do not wait
  // for the broker's delayed acknowledgement.
  void noDelay() const;
  // Disconnects (MQTT reset); the state becomes disconnected and a later connect() reconnects.
  void disconnect();
  // Ends the session: callbacks already running finish, no further one reaches the events,
  // then the client is disconnected and destroyed. Idempotent.
  void destroy();

  // Publishes `length` bytes on `topic` at QoS 1, not retained. With `onlyConnected` nothing
  // happens (result 1, no log line) unless connected. A topic with a wildcard is refused
  // ("MQTT topic refused (wildcard):%s\n", error). Otherwise the library's result is logged
  // under `func`: "MQTT send:%s\n" (debug) or "MQTT send fail(%d)\n" (error). 0 when handed over.
  int publish(const char* func, const char* topic, const void* payload, int length,
              bool onlyConnected = true);

 private:
  friend struct SessionCallbacks;
  SessionEvents* events_;
  SessionSettings settings_;
  std::string trustStore_, keyStore_, privateKey_;
  MQTTAsync client_ = nullptr;
  std::atomic<int> state_{kDisconnected};
  int slot_ = -1;  // callback routing slot, see mqtt_session.cpp
};

// A topic that may be published on: not empty, no "+" or "#" anywhere.
bool validTopicName(const char* topic);
// A subscription filter whose wildcards each stand alone in a level ("#" only in the last).
bool validFilter(const char* filter);

// Sleeps up to `milliseconds` in short steps while `running` stays 1.
void sleepWhileRunning(int milliseconds, const std::atomic<int>& running);

}  // namespace hbn
