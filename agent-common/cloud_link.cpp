#include "cloud_link.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>

#include "device_info.h"
#include "hbn_log.h"
#include "hbn_path.h"
#include "hbn_platform.h"
#include "mqtt_request.h"

namespace hbn {

namespace {

// The wall-clock time at which the clock was first found synchronised.
std::atomic<int64_t> gPowerOn{0};

void markPowerOn() {
  if (gPowerOn.load() != 0 || !clockSynchronised()) return;
  int64_t expected = 0;
  gPowerOn.compare_exchange_strong(expected, static_cast<int64_t>(time(nullptr)));
}

// The link whose session thread, or whose requests, the calling thread runs (buffer() picks the
// thread's payload buffer by them). A test or harness that routes requests itself counts as the
// worker while it does.
thread_local CloudLink* tSessionOf = nullptr;
thread_local CloudLink* tWorkerOf = nullptr;

// Between the end of one connect attempt (or of a connection) and the next at least a second
// passes, on top of the reconnect policy's draw: never more often than a fixed one-second retry,
// and no attempt right on the heels of a loss while the library still winds the old one down.
constexpr long long kLeastWaitMs = 1000;

// Room a request's topic and payload take in the worker's queue.
size_t sizeOf(int topicLength, const MQTTAsync_message* message) {
  return static_cast<size_t>(topicLength) +
         (message != nullptr ? static_cast<size_t>(message->payloadlen) : 0);
}

}  // namespace

void LinkAgent::connect(CloudLink& link) { link.connectStep(); }

void LinkAgent::release(CloudLink& link, const LinkMessage& message) {
  if (message.buffer != 0 && link.pool() != nullptr)
    HBN_buf_free(link.pool(), reinterpret_cast<void*>(message.buffer));
}

int64_t CloudLink::powerOnTime() { return gPowerOn.load(); }

CloudLink::CloudLink(const LinkSpec& spec, LinkAgent& agent) : spec_(spec), agent_(agent) {}

CloudLink::~CloudLink() { stop(); }

int CloudLink::start(HBN_buf_t* pool, HBN_queue_t* queue) {
  if (open(pool, queue) != 0) return -1;
  running_.store(1);
  workerStop_ = false;
  int rc =
      HBN_thread_create(&worker_, spec_.workerName, 2048, workerThread, reinterpret_cast<uintptr_t>(this));
  if (rc == 0)
    rc = HBN_thread_create(&session_, spec_.threadName, 2048, sessionThread,
                           reinterpret_cast<uintptr_t>(this));
  if (rc != 0) {
    HBN_log_printAt(HBN_LOG_ERROR, "HBN_cloud_commInit", __LINE__, "MQTT thread create fail(%d)\n", rc);
    stop();
    return -1;
  }
  return 0;
}

int CloudLink::open(HBN_buf_t* pool, HBN_queue_t* queue) {
  out_ = spec_.outSize > 0 ? new (std::nothrow) char[spec_.outSize] : nullptr;
  answer_ = spec_.answerSize > 0 ? new (std::nothrow) char[spec_.answerSize] : nullptr;
  incoming_ = spec_.incomingSize > 0 ? new (std::nothrow) char[spec_.incomingSize] : nullptr;
  if ((spec_.outSize > 0 && out_ == nullptr) || (spec_.answerSize > 0 && answer_ == nullptr) ||
      (spec_.incomingSize > 0 && incoming_ == nullptr)) {
    HBN_log_printAt(HBN_LOG_ERROR, "HBN_cloud_commInit", __LINE__, "MQTT thread memory alloc fail\n");
    releaseAll();
    return -1;
  }
  if (queue != nullptr) {
    pool_ = pool;
    queue_ = queue;
  } else {
    ownQueue_ = true;
    HBN_queue_t* created = nullptr;
    if ((spec_.poolCount > 0 && HBN_buf_create(spec_.poolCount, spec_.poolSize, &pool_) != 0) ||
        HBN_queue_create(&created) != 0) {
      releaseAll();
      return -1;
    }
    queue_.store(created);
  }
  return 0;
}

void CloudLink::stop() {
  running_.store(0);
  if (session_ != nullptr) {
    // The wake-up waits a bounded time for room: with the session away the queue may be full,
    // and then the thread is not blocked in its receive and sees the cleared flag in a moment.
    if (HBN_queue_sendTimeout(queue_, spec_.finishWaitMs, spec_.finishKind, 0, 0, 0, 0) != 0)
      HBN_log_printAt(HBN_LOG_WARN, "HBN_cloud_commFinish", __LINE__, "CLOUD send queue push fail\n");
    HBN_thread_stop(session_);
    session_ = nullptr;
  }
  if (worker_ != nullptr) {
    {
      std::lock_guard<std::mutex> guard(requestLock_);
      workerStop_ = true;
    }
    requestReady_.notify_all();
    HBN_thread_stop(worker_);
    worker_ = nullptr;
  }
  // Callbacks still running finish first; none comes afterwards (nor a request to the worker).
  mqtt_.destroy();
  releaseAll();
}

void CloudLink::releaseAll() {
  {
    std::lock_guard<std::mutex> guard(requestLock_);
    for (Request& r : requests_) releaseMessage(r.topic, r.message);
    requests_.clear();
    queuedBytes_ = 0;
  }
  if (ownQueue_) {
    if (HBN_queue_t* q = queue_.exchange(nullptr)) HBN_queue_delete(q);
    if (pool_ != nullptr) HBN_buf_destroy(pool_);
    ownQueue_ = false;
  }
  queue_ = nullptr;
  pool_ = nullptr;
  delete[] out_;
  delete[] answer_;
  delete[] incoming_;
  out_ = answer_ = incoming_ = nullptr;
}

// ---------------------------------------------------------------- settings and connection

bool CloudLink::loadServer(const CloudServerIds& ids) { return loadCloudServer(ids, running_, &server_); }

void CloudLink::connectStep() {
  int rc = mqtt_.connect();
  if (rc != MQTTASYNC_SUCCESS && rc != 1)
    HBN_log_printAt(HBN_LOG_WARN, "HBN_cloud_commMqttConnect", __LINE__, "MQTT async connect fail(%d)\n", rc);
}

void CloudLink::takeConnection(const char* func) {
  mqtt_.setState(kConnected);
  mqtt_.noDelay();
  int rc = mqtt_.subscribe();
  if (rc != MQTTASYNC_SUCCESS) HBN_log_printAt(HBN_LOG_WARN, func, __LINE__, "MQTT subscribe fail(%d)\n", rc);
}

void CloudLink::connectSuccess(MqttSession&) {
  noteEvent(LinkEvent::kConnected);
  agent_.connectSuccess(*this);
}

void CloudLink::connectFailure(MqttSession&) {
  noteEvent(LinkEvent::kFailed);
  agent_.connectFailure(*this);
}

void CloudLink::connectionLost(MqttSession&) {
  noteEvent(LinkEvent::kLost);
  agent_.connectionLost(*this);
}

void CloudLink::noteEvent(LinkEvent event) {
  // Callback thread: a short lock, never a wait. With no room the oldest event goes; the session
  // thread drains them at least once a second, and one attempt is outstanding at a time.
  std::lock_guard<std::mutex> guard(eventLock_);
  if (eventCount_ == kEventRoom) {
    for (size_t i = 1; i < kEventRoom; ++i) events_[i - 1] = events_[i];
    --eventCount_;
  }
  events_[eventCount_++] = NotedEvent{event, HBN_time_scaledNowMs()};
}

void CloudLink::takeEvents(ReconnectPolicy& policy, long long* nextAttemptMs) {
  NotedEvent taken[kEventRoom];
  size_t count = 0;
  {
    std::lock_guard<std::mutex> guard(eventLock_);
    count = eventCount_;
    for (size_t i = 0; i < count; ++i) taken[i] = events_[i];
    eventCount_ = 0;
  }
  for (size_t i = 0; i < count; ++i) {
    const long long at = taken[i].atMs;
    switch (taken[i].event) {
      case LinkEvent::kConnected:
        // A session this side ends (a requested reset) connects again without a draw, but not
        // sooner than a second after it was made.
        policy.connected(at);
        *nextAttemptMs = at + kLeastWaitMs;
        break;
      case LinkEvent::kFailed:
        *nextAttemptMs = at + kLeastWaitMs + policy.failed(at);
        break;
      case LinkEvent::kLost:
        *nextAttemptMs = at + kLeastWaitMs + policy.lost(at);
        break;
    }
  }
}

// ---------------------------------------------------------------- send queue and publishing

int CloudLink::send(const char* func, uint32_t kind, uint32_t p1, uint32_t p2, uint32_t p3,
                    uintptr_t buffer) {
  HBN_queue_t* queue = queue_.load();
  if (queue == nullptr || HBN_queue_sendTimeout(queue, 0, kind, p1, p2, p3, buffer) != 0) {
    HBN_log_printAt(HBN_LOG_WARN, func, __LINE__, "CLOUD send queue push fail\n");
    return -1;
  }
  return 0;
}

char* CloudLink::buffer(size_t* capacity) {
  if (tSessionOf == this) {
    *capacity = spec_.outSize;
    return out_;
  }
  if (tWorkerOf == this) {
    *capacity = spec_.answerSize;
    return answer_;
  }
  *capacity = 0;
  return nullptr;
}

char* CloudLink::incoming(size_t* capacity) {
  *capacity = spec_.incomingSize;
  return incoming_;
}

int CloudLink::publish(const char* func, const char* prefix, const char* name, const void* payload,
                       size_t length, bool onlyConnected) {
  char topic[1024];
  int n = snprintf(topic, sizeof topic, "%s%s", prefix, name);
  if (n < 0 || static_cast<size_t>(n) >= sizeof topic) {
    HBN_log_printAt(HBN_LOG_ERROR, func, __LINE__, "MQTT topic too long:%s\n", name);
    return -1;
  }
  return mqtt_.publish(func, topic, payload, static_cast<int>(length), onlyConnected);
}

// ---------------------------------------------------------------- requests

bool CloudLink::keepMessage(MqttSession&, char* topic, int topicLength, MQTTAsync_message* message) {
  // The callback thread only hands the request over; the worker runs it.
  if (!agent_.takesRequests()) return false;
  const size_t size = sizeOf(topicLength, message);
  {
    std::lock_guard<std::mutex> guard(requestLock_);
    // At most `requestQueueCount` requests, holding at most as many bytes as four requests of
    // the largest size the agent takes.
    const size_t bytesLimit = 4 * (spec_.incomingSize + 1024);
    if (!workerStop_ && requests_.size() < static_cast<size_t>(spec_.requestQueueCount) &&
        queuedBytes_ + size <= bytesLimit) {
      requests_.push_back(Request{topic, topicLength, message});
      queuedBytes_ += size;
      requestReady_.notify_one();
      return true;
    }
  }
  HBN_log_printAt(HBN_LOG_WARN, "HBN_cloud_commMqttMsgarrvd", __LINE__, "MQTT request queue full:%.*s\n",
                  topicLength, topic);
  releaseMessage(topic, message);
  return true;
}

void CloudLink::messageArrived(MqttSession&, const char*, int, const void*, int) {
  // Reached only for requests that takesRequests() turned away: they are dropped silently.
}

void CloudLink::route(const char* topic, int topicLength, const void* payload, int length) {
  CloudLink* before = tWorkerOf;
  tWorkerOf = this;
  routeHere(topic, topicLength, payload, length);
  tWorkerOf = before;
}

void CloudLink::routeHere(const char* topic, int topicLength, const void* payload, int length) {
  dumpTopic(topic, topicLength);
  const char* name = nullptr;
  size_t n = 0;
  if (!requestName(topic, topicLength, &name, &n)) {
    HBN_log_printAt(HBN_LOG_WARN, "HBN_cloud_commMqttMsgarrvd", __LINE__, "MQTT topic length under\n");
    return;
  }
  if (payload == nullptr) length = 0;
  if (spec_.requestMax > 0 && length > spec_.requestMax) {
    HBN_log_printAt(HBN_LOG_WARN, "HBN_cloud_commMqttMsgarrvd", __LINE__, "MQTT payload too long(%d)\n",
                    length);
    return;
  }
  // A NUL inside the name would cut it short wherever it is used as text.
  if (memchr(name, '\0', n) != nullptr) {
    HBN_log_printAt(HBN_LOG_WARN, "HBN_cloud_commMqttMsgarrvd", __LINE__, "MQTT topic unknown\n");
    return;
  }
  for (size_t i = 0; i < spec_.routeCount; ++i) {
    const Route& r = spec_.routes[i];
    if (nameIs(name, n, r.name, r.prefix)) {
      r.handler(*this, name, n, payload, length);
      return;
    }
  }
  HBN_log_printAt(HBN_LOG_WARN, "HBN_cloud_commMqttMsgarrvd", __LINE__, "MQTT topic unknown\n");
}

// ---------------------------------------------------------------- threads

void CloudLink::workerThread(HBN_thread_t*, uintptr_t argument) {
  reinterpret_cast<CloudLink*>(argument)->runWorker();
}

void CloudLink::runWorker() {
  tWorkerOf = this;
  // Like the callback thread, the worker never waits for room in a queue: a request the core
  // cannot take now is refused with its log line.
  HBN_queue_setNoWait(1);
  for (;;) {
    Request r{};
    {
      std::unique_lock<std::mutex> lock(requestLock_);
      requestReady_.wait(lock, [this] { return workerStop_ || !requests_.empty(); });
      if (workerStop_) return;
      r = requests_.front();
      requests_.pop_front();
      queuedBytes_ -= sizeOf(r.topicLength, r.message);
    }
    route(r.topic, r.topicLength, r.message != nullptr ? r.message->payload : nullptr,
          r.message != nullptr ? r.message->payloadlen : 0);
    releaseMessage(r.topic, r.message);
  }
}

void CloudLink::sessionThread(HBN_thread_t*, uintptr_t argument) {
  reinterpret_cast<CloudLink*>(argument)->runSession();
}

void CloudLink::runSession() {
  tSessionOf = this;
  const char* const kFunc = "HBN_cloud_commMqttThread";
  HBN_log_printAt(HBN_LOG_DEBUG, kFunc, __LINE__, "MQTT thread start\n");
  if (!agent_.loadSettings(*this) || !running()) {
    HBN_log_printAt(HBN_LOG_DEBUG, kFunc, __LINE__, "MQTT thread finish\n");
    return;
  }
  if (mqtt_.create(kFunc, settings_) != 0) return;
  HBN_log_printAt(HBN_LOG_DEBUG, kFunc, __LINE__, "MQTT thread run\n");
  // Connect attempts follow the reconnect policy (on the scaled clock): the first one at once,
  // then a random wait after a loss or a failed attempt, so boxes that lost one broker together
  // do not come back in lockstep.
  SeededRandom random;
  ReconnectPolicy policy(reconnectParamsFor(spec_.reconnectKind), &random);
  long long nextAttemptMs = HBN_time_scaledNowMs();
  // When the attempt now out was issued (the platform's monotonic clock, unscaled like the
  // library's connect time-out), -1 with none out. An attempt may stay without any result (seen
  // with several clients in one process after a broker restart, and through a balancer whose
  // backend died) and would hold the session in "connecting" for good: past the time-out and a
  // margin it is given up, the client made anew and the attempt counted as failed. The library
  // may still be in its MQTT 3.1 try after a timed out 3.1.1 one; ending that costs nothing.
  long long attemptAtMs = -1;
  const long long connectTimeoutMs = HBN_time_scaledSecondsMs(settings_.connectTimeoutSeconds);
  const long long resultLateMs = std::max(connectTimeoutMs, 1000LL) + 10000;
  while (running()) {
    if (spec_.markPowerOn) markPowerOn();
    takeEvents(policy, &nextAttemptMs);
    if (!mqtt_.isConnected()) {
      long long now = HBN_time_scaledNowMs();
      if (mqtt_.state() != kConnecting) {
        attemptAtMs = -1;
      } else if (attemptAtMs >= 0 && platform().monotonicMs() - attemptAtMs > resultLateMs) {
        HBN_log_printAt(HBN_LOG_WARN, kFunc, __LINE__, "MQTT connect without result, client made anew\n");
        agent_.connectFailure(*this);  // the agent sees a failed attempt, as from the library
        mqtt_.destroy();
        if (mqtt_.create(kFunc, settings_) != 0) return;
        attemptAtMs = -1;
        nextAttemptMs = now + kLeastWaitMs + policy.failed(now);
      }
      if (now >= nextAttemptMs && mqtt_.state() == kDisconnected) {
        agent_.connect(*this);
        if (mqtt_.state() == kDisconnected) {
          // Not issued (no interface, the library refused): it waits like a failed attempt.
          nextAttemptMs = now + kLeastWaitMs + policy.failed(now);
        } else {
          // Its result sets the next time; this one stands if the attempt ends without one (a
          // reset while it is out).
          nextAttemptMs = now + policy.params().capMs;
          attemptAtMs = platform().monotonicMs();
        }
      }
      // While an attempt is out, a look every 100 ms for its result; while waiting, until the
      // attempt is due (at most a second, at least 100 ms, so a zero draw never spins).
      long long waitMs = 100;
      if (mqtt_.state() == kDisconnected) {
        const long long remaining = std::min(nextAttemptMs - HBN_time_scaledNowMs(), 1000000LL);
        waitMs = std::clamp(remaining > 0 ? HBN_time_scaled(static_cast<long>(remaining)) : 0L, 100L, 1000L);
      }
      sleepWhileRunning(static_cast<int>(waitMs), running_);
      continue;
    }
    agent_.tick(*this);
    LinkMessage m;
    const int waitMs = spec_.waitScaled ? static_cast<int>(HBN_time_scaled(spec_.waitMs)) : spec_.waitMs;
    int rc = HBN_queue_receiveTimeout(queue_, waitMs, &m.kind, &m.p1, &m.p2, &m.p3, &m.buffer);
    if (rc < 0) {
      HBN_log_printAt(HBN_LOG_WARN, kFunc, __LINE__, "MQTT queue pop fail\n");
    } else if (rc == 1) {
      agent_.idle(*this);
    } else {
      if (running()) agent_.dispatch(*this, m);
      agent_.release(*this, m);
    }
  }
  HBN_log_printAt(HBN_LOG_DEBUG, kFunc, __LINE__, "MQTT thread finish\n");
}

}  // namespace hbn
