// One cloud session of an agent, whole: the server settings (waited for and read from the
// configuration store), the MQTT session, the session thread with its connection loop, the send
// queue and its pool, the payload buffers, the publish path with its log lines, the power-on
// clock, and request routing with a request worker.
//
// Threads. The session thread connects while the session is down and otherwise takes the send
// queue's messages in order and has the agent build and publish them. The MQTT library's
// callback thread only reports connection changes to the agent and hands each arrived request
// to the link's request worker, which runs every request of the session in arrival order (fast
// ones too, so nothing overtakes an earlier request) through the agent's route table. The
// worker's queue is bounded: a request that finds it full is refused with a log line and
// nothing waits. Neither the callback thread nor the worker ever waits for room in a queue
// (HBN_queue_setNoWait).
//
// Buffers. Each publishing thread has a buffer of its own: the session thread `out`, the worker
// `answer`; the worker also has the incoming copy a request is parsed in.
//
// An agent supplies what differs as data (LinkSpec: names, sizes, its route table) and as hooks
// (LinkAgent: its settings, its connection callbacks, its builders of queued messages, its
// timers). Its spec-named functions stay as thin code over the link.
#pragma once
#include <MQTTAsync.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>

#include "cloud_server.h"
#include "hbn_buf.h"
#include "hbn_os.h"
#include "mqtt_session.h"
#include "reconnect_policy.h"

namespace hbn {

class CloudLink;

// A request handler: `name` is the request name (what follows the third "/" of the topic,
// `nameLength` bytes, not terminated), `payload` the bytes as they arrived. Runs on the worker.
using RequestHandler = void (*)(CloudLink& link, const char* name, size_t nameLength, const void* payload,
                                int length);

// One entry of a route table: the request name whole, or (with `prefix`) its beginning.
struct Route {
  const char* name;
  bool prefix;
  RequestHandler handler;
};

// One message of the send queue.
struct LinkMessage {
  uint32_t kind = 0, p1 = 0, p2 = 0, p3 = 0;
  uintptr_t buffer = 0;
};

// What an agent does in a link. Hooks on the callback thread must not wait.
class LinkAgent {
 public:
  virtual ~LinkAgent() = default;
  // Session thread, first: reads the settings (link.loadServer), names the session (client id,
  // certificate folder, binding: link.settings()). False when stopped before they were complete.
  virtual bool loadSettings(CloudLink& link) = 0;
  // Session thread, each pass while not connected: one connect attempt (default: connectStep()).
  virtual void connect(CloudLink& link);
  // Callback thread: the library's connect result and connection loss (connectFailure also on
  // the session thread, for an attempt the library left without any result).
  virtual void connectSuccess(CloudLink& link) = 0;
  virtual void connectFailure(CloudLink& link) = 0;
  virtual void connectionLost(CloudLink& link) = 0;
  // Callback thread: whether requests are taken at all now (they are dropped silently if not).
  virtual bool takesRequests() { return true; }
  // Session thread: builds and publishes one queued message; then release() gives back what it
  // carried (default: the pool buffer).
  virtual void dispatch(CloudLink& link, const LinkMessage& message) = 0;
  virtual void release(CloudLink& link, const LinkMessage& message);
  // Session thread, connected: before every wait on the queue (timers), and after a wait that
  // ended without a message.
  virtual void tick(CloudLink& link) { (void)link; }
  virtual void idle(CloudLink& link) { (void)link; }
};

struct LinkSpec {
  const char* threadName = "cloud-mqtt";  // the session thread
  const char* workerName = "cloud-req";   // the request worker
  int poolCount = 0;                      // the link's own pool and queue (0: given to start())
  int poolSize = 0;
  size_t outSize = 0;        // the session thread's payload buffer
  size_t answerSize = 0;     // the worker's payload buffer
  size_t incomingSize = 0;   // the worker's copy of a request (with its NUL)
  int waitMs = 1000;         // longest wait on the send queue while connected
  bool waitScaled = false;   // the wait runs on the test time scale (it paces timers)
  int finishWaitMs = 0;      // how long stop() waits for room for its wake-up
  uint32_t finishKind = 0;   // queue kind that only wakes the thread (stop)
  bool markPowerOn = false;  // the session thread keeps the power-on clock
  const Route* routes = nullptr;
  size_t routeCount = 0;
  int requestQueueCount = 16;  // requests waiting for the worker at most
  int requestMax = 0;          // longest payload routed (0: any); longer ones are refused whole
  SessionKind reconnectKind = SessionKind::kZwave;  // the back-off between connect attempts
};

class CloudLink : public SessionEvents {
 public:
  CloudLink(const LinkSpec& spec, LinkAgent& agent);
  ~CloudLink() override;
  CloudLink(const CloudLink&) = delete;
  CloudLink& operator=(const CloudLink&) = delete;

  // Makes the buffers, the pool and queue (or takes `pool` and `queue`), and starts the worker
  // and the session thread. 0, or -1 with what was made undone: "MQTT thread memory alloc
  // fail\n" and "MQTT thread create fail(%d)\n" (error) under "HBN_cloud_commInit".
  int start(HBN_buf_t* pool = nullptr, HBN_queue_t* queue = nullptr);
  // The buffers, pool and queue of start() without its threads: for tests and fuzz harnesses
  // that drive the builders and route() themselves. 0 or -1.
  int open(HBN_buf_t* pool = nullptr, HBN_queue_t* queue = nullptr);
  // Stops the session thread (the finish kind wakes it) and the worker (requests still waiting
  // are dropped), then ends the MQTT session and frees what start() made. Idempotent.
  void stop();

  // ---- settings (session thread, before the client is made)
  // Waits once a second while running until the settings are complete (loadCloudServer).
  bool loadServer(const CloudServerIds& ids);
  CloudServer& server() { return server_; }
  // The agent the link runs for (request handlers reach their agent's record through it).
  LinkAgent& agent() { return agent_; }
  SessionSettings& settings() { return settings_; }
  bool running() const { return running_.load() == 1; }
  const std::atomic<int>& runningFlag() const { return running_; }

  // ---- connection
  MqttSession& mqtt() { return mqtt_; }
  bool isConnected() const { return mqtt_.isConnected(); }
  // The connect step: one attempt when disconnected; a refusal of the library is logged ("MQTT
  // async connect fail(%d)\n", warning, under "HBN_cloud_commMqttConnect").
  void connectStep();
  // The common part of a connect success: connected, Nagle off, the subscription ("MQTT
  // subscribe fail(%d)\n", warning, under `func` when it fails).
  void takeConnection(const char* func);

  // ---- send queue
  HBN_buf_t* pool() const { return pool_; }
  HBN_queue_t* queue() const { return queue_; }
  // Queues a message without waiting; "CLOUD send queue push fail\n" (warning) under `func` when
  // the queue is full. 0 queued, -1 not.
  int send(const char* func, uint32_t kind, uint32_t p1 = 0, uint32_t p2 = 0, uint32_t p3 = 0,
           uintptr_t buffer = 0);

  // ---- buffers
  // The calling thread's payload buffer (session thread, or worker: also a thread inside
  // route()) and its size; null (0) on any other thread.
  char* buffer(size_t* capacity);
  // The worker's copy of the request it runs, and its size (with the NUL).
  char* incoming(size_t* capacity);

  // ---- publishing
  // `length` bytes on `prefix` followed by `name`, at QoS 1 under `func` ("MQTT topic too
  // long:%s\n" when the topic does not fit). `onlyConnected`: skipped silently unless connected.
  int publish(const char* func, const char* prefix, const char* name, const void* payload, size_t length,
              bool onlyConnected = true);

  // ---- requests
  // Routes one request as the worker does (for tests that drive the handlers synchronously):
  // the name after the third "/" ("MQTT topic length under\n" when there is none), a payload over
  // `requestMax` refused ("MQTT payload too long(%d)\n"), then the first route that matches
  // ("MQTT topic unknown\n" for none, and for a name with a NUL inside), all warnings under
  // "HBN_cloud_commMqttMsgarrvd".
  void route(const char* topic, int topicLength, const void* payload, int length);

  // The wall-clock time at which the clock was first found synchronised, shared by every link
  // of the process; 0 while not known.
  static int64_t powerOnTime();

 private:
  struct Request {
    char* topic;
    int topicLength;
    MQTTAsync_message* message;
  };

  // SessionEvents
  void connectSuccess(MqttSession&) override;
  void connectFailure(MqttSession&) override;
  void connectionLost(MqttSession&) override;
  void messageArrived(MqttSession&, const char* topic, int topicLength, const void* payload,
                      int length) override;
  bool keepMessage(MqttSession&, char* topic, int topicLength, MQTTAsync_message* message) override;

  // What the callbacks saw of the connection, handed to the session thread's reconnect policy.
  enum class LinkEvent : uint8_t { kConnected, kFailed, kLost };
  void noteEvent(LinkEvent event);
  // Feeds the noted events to `policy` and sets `nextAttemptMs` (scaled clock) by them.
  void takeEvents(ReconnectPolicy& policy, long long* nextAttemptMs);

  static void sessionThread(HBN_thread_t* self, uintptr_t argument);
  static void workerThread(HBN_thread_t* self, uintptr_t argument);
  void runSession();
  void runWorker();
  void routeHere(const char* topic, int topicLength, const void* payload, int length);
  void releaseAll();

  const LinkSpec spec_;
  LinkAgent& agent_;
  std::atomic<int> running_{0};
  CloudServer server_;
  SessionSettings settings_;
  MqttSession mqtt_{this};

  HBN_buf_t* pool_ = nullptr;
  // Read by other threads' send() (a core thread may start before the link opens).
  std::atomic<HBN_queue_t*> queue_{nullptr};
  bool ownQueue_ = false;
  HBN_thread_t* session_ = nullptr;
  HBN_thread_t* worker_ = nullptr;
  char* out_ = nullptr;
  char* answer_ = nullptr;
  char* incoming_ = nullptr;

  struct NotedEvent {
    LinkEvent event;
    long long atMs;
  };
  static constexpr size_t kEventRoom = 8;
  std::mutex eventLock_;
  NotedEvent events_[kEventRoom] = {};
  size_t eventCount_ = 0;

  std::mutex requestLock_;
  std::condition_variable requestReady_;
  std::deque<Request> requests_;
  size_t queuedBytes_ = 0;
  bool workerStop_ = false;
};

}  // namespace hbn
