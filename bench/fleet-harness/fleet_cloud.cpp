// The cloud side of the fleet benchmark, one MQTT client (TLS when a certificate folder is given):
//
//   bench_fleet_cloud floor HOST PORT CERTDIR COUNT
//       The broker's own floor: COUNT publishes, one at a time, on a topic this client is
//       subscribed to; prints "FLOOR n p50_ms p99_ms".
//   bench_fleet_cloud steady HOST PORT CERTDIR BOXES RATE SECONDS GRACE [WATCH_FILE]
//       Requests to random boxes at RATE per second for SECONDS (open loop: each goes out at its
//       time whether earlier ones were answered or not), then waits up to GRACE seconds for the
//       answers still out. Prints "STEADY sent answered lost p50_ms p99_ms max_ms" and, per
//       request that came back only after more than a second, "LATE at_ms answer_ms". With
//       WATCH_FILE, every message that arrives is written there as "epoch_ms topic kind" (kind
//       "ota" for a version document of an OTA agent, else "-").
//
// CERTDIR "-" connects without TLS. The boxes are numbered 1..BOXES: Z-Wave agent serial
// ZW<n>, router serial RT<n>, service code "fleet"; the OTA agent shares the Z-Wave serial and
// takes requests under the service code "ota". A request goes to one agent of the box, picked
// at random: Z-Wave "version", router "version", OTA "lteinfo".
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <condition_variable>
#include <atomic>
#include <ctime>
#include <deque>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <unistd.h>

#include "bench_support.h"
#include "hbn_mqtt_client.h"

namespace {

double wallMs() {
  timespec t{};
  clock_gettime(CLOCK_REALTIME, &t);
  return static_cast<double>(t.tv_sec) * 1000.0 + static_cast<double>(t.tv_nsec) / 1e6;
}

std::string serial(const char* kind, int box) {
  char s[32];
  std::snprintf(s, sizeof s, "%s%04d", kind, box);
  return s;
}

// The OTA agent's version document (its announcement, and its answer to "version"): on a Z-Wave
// serial, with the LTE version. The Z-Wave agent's version answer has none; the router's has one
// but is on its own serial.
// The cloud's client: hbntest::MqttClient's interface, but it survives the loss of its broker
// connection (a clustered broker closes it when a publish meets a queue on a dead node): the
// library reconnects within 1 to 2 s, the session is kept (clean session off) and the
// subscriptions are made again, so what the boxes publish meanwhile is not lost for the watch.
class CloudClient {
 public:
  using Message = hbntest::MqttClient::Message;

  CloudClient(const std::string& host, int port, const std::string& certDir, const std::string& id) {
    const bool tls = certDir != "-";
    const std::string uri = (tls ? "ssl://" : "tcp://") + host + ":" + std::to_string(port);
    if (MQTTAsync_create(&client_, uri.c_str(), id.c_str(), MQTTCLIENT_PERSISTENCE_NONE, nullptr) !=
        MQTTASYNC_SUCCESS) {
      client_ = nullptr;
      return;
    }
    MQTTAsync_setCallbacks(client_, this, &CloudClient::lost, &CloudClient::arrived, nullptr);
    MQTTAsync_setConnected(client_, this, &CloudClient::reconnected);
    ca_ = certDir + "/ca.crt";
    cert_ = certDir + "/client.crt";
    key_ = certDir + "/client.key";
    MQTTAsync_SSLOptions ssl = MQTTAsync_SSLOptions_initializer;
    ssl.trustStore = ca_.c_str();
    ssl.keyStore = cert_.c_str();
    ssl.privateKey = key_.c_str();
    MQTTAsync_connectOptions o = MQTTAsync_connectOptions_initializer;
    o.keepAliveInterval = 60;
    o.cleansession = 0;
    o.MQTTVersion = MQTTVERSION_3_1_1;
    o.automaticReconnect = 1;
    o.minRetryInterval = 1;
    o.maxRetryInterval = 2;
    if (tls) o.ssl = &ssl;
    o.context = this;
    o.onSuccess = [](void* c, MQTTAsync_successData*) { static_cast<CloudClient*>(c)->done(1); };
    o.onFailure = [](void* c, MQTTAsync_failureData*) { static_cast<CloudClient*>(c)->done(-1); };
    connected_ = MQTTAsync_connect(client_, &o) == MQTTASYNC_SUCCESS && wait() == 1;
    if (connected_) hbntest::noDelayOnTcpSockets();
  }
  ~CloudClient() {
    if (client_ == nullptr) return;
    MQTTAsync_disconnectOptions d = MQTTAsync_disconnectOptions_initializer;
    if (connected_) MQTTAsync_disconnect(client_, &d);
    MQTTAsync_destroy(&client_);
  }
  CloudClient(const CloudClient&) = delete;
  CloudClient& operator=(const CloudClient&) = delete;
  bool ok() const { return connected_; }
  int losses() const { return losses_.load(); }

  bool subscribe(const std::string& filter) {
    {
      std::lock_guard<std::mutex> g(lock_);
      filters_.push_back(filter);
    }
    MQTTAsync_responseOptions r = MQTTAsync_responseOptions_initializer;
    r.context = this;
    r.onSuccess = [](void* c, MQTTAsync_successData*) { static_cast<CloudClient*>(c)->done(1); };
    r.onFailure = [](void* c, MQTTAsync_failureData*) { static_cast<CloudClient*>(c)->done(-1); };
    return MQTTAsync_subscribe(client_, filter.c_str(), 1, &r) == MQTTASYNC_SUCCESS && wait() == 1;
  }
  // QoS 1, not retained; false when the library refused it (e.g. while reconnecting).
  bool publish(const std::string& topic, const std::string& payload) {
    MQTTAsync_message m = MQTTAsync_message_initializer;
    m.payload = const_cast<char*>(payload.data());
    m.payloadlen = static_cast<int>(payload.size());
    m.qos = 1;
    return MQTTAsync_sendMessage(client_, topic.c_str(), &m, nullptr) == MQTTASYNC_SUCCESS;
  }
  bool next(const std::string& topic, Message* out, int timeoutMs) {
    const double until = hbntest::nowMs() + timeoutMs;
    for (;;) {
      const double left = until - hbntest::nowMs();
      if (left <= 0 || !nextAny(out, static_cast<int>(left) + 1)) return false;
      if (out->topic == topic) return true;
    }
  }
  bool nextAny(Message* out, int timeoutMs) {
    std::unique_lock<std::mutex> g(lock_);
    if (!cv_.wait_for(g, std::chrono::milliseconds(timeoutMs), [&] { return !inbox_.empty(); })) return false;
    *out = std::move(inbox_.front());
    inbox_.pop_front();
    return true;
  }

 private:
  static void lost(void* c, char*) { static_cast<CloudClient*>(c)->losses_.fetch_add(1); }
  // After an automatic reconnect: the subscriptions again (the broker may have lost them).
  static void reconnected(void* c, char*) {
    auto* self = static_cast<CloudClient*>(c);
    std::vector<std::string> filters;
    {
      std::lock_guard<std::mutex> g(self->lock_);
      filters = self->filters_;
    }
    for (const auto& f : filters) MQTTAsync_subscribe(self->client_, f.c_str(), 1, nullptr);
    hbntest::noDelayOnTcpSockets();
  }
  static int arrived(void* c, char* topic, int topicLen, MQTTAsync_message* m) {
    auto* self = static_cast<CloudClient*>(c);
    Message msg{topicLen > 0 ? std::string(topic, static_cast<size_t>(topicLen)) : std::string(topic),
                std::string(static_cast<const char*>(m->payload), static_cast<size_t>(m->payloadlen)),
                hbntest::nowMs()};
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
  std::vector<std::string> filters_;
  std::atomic<int> losses_{0};
  int result_ = 0;
  bool connected_ = false;
};

bool isOtaVersion(const CloudClient::Message& m) {
  return m.topic.compare(0, 11, "gw/fleet/ZW") == 0 && m.payload.find("fw_version_lte") != std::string::npos;
}

std::unique_ptr<CloudClient> connect(const std::string& host, int port, const std::string& certDir,
                                     const std::string& id) {
  // The broker may be starting: a few attempts.
  for (int attempt = 0; attempt < 20; ++attempt) {
    auto c = std::make_unique<CloudClient>(host, port, certDir, id);
    if (c->ok()) return c;
    struct timespec pause = {0, 250 * 1000 * 1000};
    nanosleep(&pause, nullptr);
  }
  return nullptr;
}

int floorRun(CloudClient& c, int count) {
  const std::string topic = "fleet/floor/" + std::to_string(getpid());
  if (!c.subscribe(topic)) return 1;
  std::vector<double> rtt;
  for (int i = 0; i < count; ++i) {
    const double t0 = hbntest::nowMs();
    if (!c.publish(topic, std::to_string(i))) return 1;
    CloudClient::Message m;
    if (!c.next(topic, &m, 5000)) return 1;
    rtt.push_back(m.at - t0);
  }
  const bench::Stats s = bench::stats(rtt);
  std::printf("FLOOR %zu %.3f %.3f\n", s.n, s.p50, s.p99);
  return 0;
}

int steadyRun(CloudClient& c, int boxes, double rate, double seconds, double grace, const char* watchFile) {
  FILE* watch = watchFile != nullptr ? std::fopen(watchFile, "w") : nullptr;
  if (watchFile != nullptr && watch == nullptr) return 1;
  // Line by line: the file is read while the run goes on.
  if (watch != nullptr) setvbuf(watch, nullptr, _IOLBF, 0);
  if (!c.subscribe("gw/#")) return 1;
  // Answers come in order per topic; what is out per answer topic, oldest first. The key holds
  // "ota:" for an OTA version document, since the Z-Wave answer shares its topic.
  std::map<std::string, std::deque<double>> out;
  std::vector<double> rtt;
  std::vector<std::pair<double, double>> late;
  std::mt19937 rng(12345);
  std::uniform_int_distribution<int> pickBox(1, boxes);
  std::uniform_int_distribution<int> pickAgent(0, 2);
  const double start = hbntest::nowMs();
  const double wallStart = wallMs();
  const double endSend = start + seconds * 1000.0;
  const double interval = 1000.0 / rate;
  double nextSend = start;
  long sent = 0, answered = 0, outstanding = 0;
  for (;;) {
    const double now = hbntest::nowMs();
    if (now >= endSend + grace * 1000.0) break;
    if (now >= endSend && outstanding == 0) break;
    if (now >= nextSend && now < endSend) {
      const int box = pickBox(rng);
      std::string request, answer;
      switch (pickAgent(rng)) {
        case 0:
          request = "req/fleet/" + serial("ZW", box) + "/version";
          answer = "gw/fleet/" + serial("ZW", box) + "/version";
          break;
        case 1:
          request = "req/fleet/" + serial("RT", box) + "/version";
          answer = "gw/fleet/" + serial("RT", box) + "/version";
          break;
        default:
          request = "req/ota/" + serial("ZW", box) + "/lteinfo";
          answer = "gw/fleet/" + serial("ZW", box) + "/lteinfo";
          break;
      }
      if (c.publish(request, "")) {
        out[answer].push_back(now);
        ++sent;
        ++outstanding;
      }
      nextSend += interval;
      continue;
    }
    const double until = now < endSend ? nextSend : endSend + grace * 1000.0;
    CloudClient::Message m;
    if (!c.nextAny(&m, static_cast<int>(until - now) + 1)) continue;
    const bool ota = isOtaVersion(m);
    if (watch != nullptr)
      std::fprintf(watch, "%.1f %s %s\n", wallStart + (m.at - start), m.topic.c_str(), ota ? "ota" : "-");
    // The OTA agent's version document is its announcement, not a Z-Wave answer.
    if (ota) continue;
    auto it = out.find(m.topic);
    if (it == out.end() || it->second.empty()) continue;
    const double sentAt = it->second.front();
    it->second.pop_front();
    --outstanding;
    ++answered;
    rtt.push_back(m.at - sentAt);
    if (m.at - sentAt > 1000.0) late.emplace_back(wallStart + (sentAt - start), m.at - sentAt);
  }
  if (watch != nullptr) std::fclose(watch);
  const bench::Stats s = bench::stats(rtt);
  std::printf("STEADY %ld %ld %ld %.3f %.3f %.3f %d\n", sent, answered, sent - answered, s.p50, s.p99, s.max,
              c.losses());
  for (const auto& [at, ms] : late) std::printf("LATE %.1f %.1f\n", at, ms);
  return 0;
}

int usage() {
  std::fprintf(stderr,
               "usage: bench_fleet_cloud floor HOST PORT CERTDIR COUNT\n"
               "       bench_fleet_cloud steady HOST PORT CERTDIR BOXES RATE SECONDS GRACE [WATCH_FILE]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 6) return usage();
  const std::string mode = argv[1], host = argv[2], certDir = argv[4];
  const int port = std::atoi(argv[3]);
  auto client = connect(host, port, certDir, "fleet-cloud-" + mode + "-" + std::to_string(getpid()));
  if (client == nullptr) {
    std::fprintf(stderr, "bench_fleet_cloud: cannot connect to %s:%d\n", host.c_str(), port);
    return 1;
  }
  if (mode == "floor") return floorRun(*client, std::atoi(argv[5]));
  if (mode == "steady" && argc >= 9)
    return steadyRun(*client, std::atoi(argv[5]), std::atof(argv[6]), std::atof(argv[7]), std::atof(argv[8]),
                     argc > 9 ? argv[9] : nullptr);
  return usage();
}
