// Times the Z-Wave cloud agent as a whole process between a TLS Mosquitto broker and the Z/IP
// gateway simulator, in one run:
//   floor       publish and receive back through the same broker, without the agent;
//   round trip  mode request -> Z/IP packet -> acknowledgement -> published mode answer;
//   node send   sustained node-send requests reaching the gateway pipe, none dropped;
//   memory      resident and private memory of the agent after start and after many requests.
//
//   bench_zwave_agent [mode requests=1000] [node sends=2000] [total requests=10000]
// The agent, the simulator and mibctl are taken from the folder of this program.
#include <MQTTAsync.h>
#include <dirent.h>
#include <limits.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "e2e_cloud_agent_fixture.h"

namespace {

double nowMs() {
  return std::chrono::duration<double, std::milli>(e2e::Clock::now().time_since_epoch()).count();
}

// The broker, simulator and agent of the run; ended before a failed run exits.
std::unique_ptr<e2e::AgentWorld> gWorld;

[[noreturn]] void fail(const std::string& what) {
  fprintf(stderr, "ERROR:%s\n", what.c_str());
  gWorld.reset();
  exit(1);
}

// The MQTT library leaves Nagle's algorithm on, which holds a publish back behind the
// acknowledgement of the previous packet; switch it off on this process's TCP sockets (the
// client's is the only one).
void noDelayOnTcpSockets() {
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
class Client {
 public:
  struct Message {
    std::string topic;
    std::string payload;
    double at;
  };

  Client(const hbntest::Broker& broker, const std::string& id) {
    std::string uri = "ssl://127.0.0.1:" + std::to_string(broker.port());
    if (MQTTAsync_create(&client_, uri.c_str(), id.c_str(), MQTTCLIENT_PERSISTENCE_NONE, nullptr) !=
        MQTTASYNC_SUCCESS)
      fail("client create");
    MQTTAsync_setCallbacks(client_, this, nullptr, &Client::arrived, nullptr);
    ca_ = broker.dir() + "/ca.crt";
    cert_ = broker.dir() + "/client.crt";
    key_ = broker.dir() + "/client.key";
    MQTTAsync_SSLOptions ssl = MQTTAsync_SSLOptions_initializer;
    ssl.trustStore = ca_.c_str();
    ssl.keyStore = cert_.c_str();
    ssl.privateKey = key_.c_str();
    MQTTAsync_connectOptions o = MQTTAsync_connectOptions_initializer;
    o.keepAliveInterval = 60;
    o.cleansession = 1;
    o.ssl = &ssl;
    o.context = this;
    o.onSuccess = [](void* c, MQTTAsync_successData*) { static_cast<Client*>(c)->done(1); };
    o.onFailure = [](void* c, MQTTAsync_failureData*) { static_cast<Client*>(c)->done(-1); };
    if (MQTTAsync_connect(client_, &o) != MQTTASYNC_SUCCESS || wait() != 1) fail("client connect");
    noDelayOnTcpSockets();
  }
  ~Client() {
    MQTTAsync_disconnectOptions d = MQTTAsync_disconnectOptions_initializer;
    MQTTAsync_disconnect(client_, &d);
    MQTTAsync_destroy(&client_);
  }

  void subscribe(const std::string& filter) {
    MQTTAsync_responseOptions r = MQTTAsync_responseOptions_initializer;
    r.context = this;
    r.onSuccess = [](void* c, MQTTAsync_successData*) { static_cast<Client*>(c)->done(1); };
    r.onFailure = [](void* c, MQTTAsync_failureData*) { static_cast<Client*>(c)->done(-1); };
    if (MQTTAsync_subscribe(client_, filter.c_str(), 1, &r) != MQTTASYNC_SUCCESS || wait() != 1)
      fail("subscribe " + filter);
  }
  void publish(const std::string& topic, const std::string& payload) {
    MQTTAsync_message m = MQTTAsync_message_initializer;
    m.payload = const_cast<char*>(payload.data());
    m.payloadlen = static_cast<int>(payload.size());
    m.qos = 1;
    if (MQTTAsync_sendMessage(client_, topic.c_str(), &m, nullptr) != MQTTASYNC_SUCCESS)
      fail("publish " + topic);
  }
  // Next message on `topic` (others are skipped); false after the timeout.
  bool next(const std::string& topic, Message* out, int timeoutMs = 5000) {
    std::unique_lock<std::mutex> g(lock_);
    auto until = e2e::Clock::now() + std::chrono::milliseconds(timeoutMs);
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
  // Answers every message that arrives with the same payload on `topic` (a stand-in for a
  // responder that does no work), instead of keeping it.
  void answerOn(const std::string& topic) { answerTopic_ = topic; }
  void drain() {
    std::lock_guard<std::mutex> g(lock_);
    inbox_.clear();
  }

 private:
  static int arrived(void* c, char* topic, int topicLen, MQTTAsync_message* m) {
    auto* self = static_cast<Client*>(c);
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
  int result_ = 0;
};

struct Stats {
  double p50, p99, max;
};

Stats stats(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  size_t i99 = static_cast<size_t>(std::ceil(static_cast<double>(n) * 0.99)) - 1;
  return {v[n / 2], v[std::min(i99, n - 1)], v.back()};
}

struct Memory {
  long rssKb = -1;
  long privateKb = -1;
};

Memory memoryOf(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/smaps_rollup");
  Memory m;
  long priv = 0;
  bool any = false;
  std::string line;
  while (std::getline(in, line)) {
    char key[64];
    long value = 0;
    if (sscanf(line.c_str(), "%63s %ld kB", key, &value) != 2) continue;
    std::string k = key;
    if (k == "Rss:") m.rssKb = value;
    if (k == "Private_Clean:" || k == "Private_Dirty:") {
      priv += value;
      any = true;
    }
  }
  if (any) m.privateKb = priv;
  return m;
}

// Lines of the simulator log that show node 2 commands reaching the pipe, read incrementally.
class PipeCounter {
 public:
  explicit PipeCounter(std::string path) : path_(std::move(path)) {}
  long count() {
    std::ifstream in(path_);
    in.seekg(offset_);
    std::string line;
    while (std::getline(in, line)) {
      if (in.eof()) break;  // a partial line: read it again next time
      offset_ += static_cast<std::streamoff>(line.size() + 1);
      if (line.compare(0, 5, "RX 02") == 0) ++count_;
    }
    return count_;
  }

 private:
  std::string path_;
  std::streamoff offset_ = 0;
  long count_ = 0;
};

std::string selfDir() {
  char buf[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return ".";
  std::string p(buf, static_cast<size_t>(n));
  return p.substr(0, p.rfind('/'));
}

}  // namespace

int main(int argc, char** argv) {
  const int modeRequests = argc > 1 ? atoi(argv[1]) : 1000;
  const int nodeSends = argc > 2 ? atoi(argv[2]) : 2000;
  const int totalRequests = argc > 3 ? atoi(argv[3]) : 10000;
  if (modeRequests < 2 || nodeSends < 1 || totalRequests < 1)
    fail("usage: bench_zwave_agent [modes] [sends] [total]");
  if (getenv("HBN_BUILD_BIN") == nullptr) setenv("HBN_BUILD_BIN", selfDir().c_str(), 1);
  setenv("HBN_SCRIPT_QUEUE", hbntest::uniqueName("/bench_zw").c_str(), 1);

  gWorld.reset(new e2e::AgentWorld(true, {"--nodes", "2"}));
  e2e::AgentWorld& world = *gWorld;
  std::string seeded = world.seed();
  if (!seeded.empty()) fail("seed: " + seeded);
  if (!world.broker().start()) fail("broker start");
  Client client(world.broker(), "bench");
  client.subscribe(e2e::AgentWorld::gw("#"));
  client.subscribe("bench/echo");
  client.subscribe("bench/answer");
  Client responder(world.broker(), "bench-responder");
  responder.subscribe("bench/request");
  responder.answerOn("bench/answer");
  noDelayOnTcpSockets();
  if (!world.startGateway()) fail("gateway start");
  // Mode stops answered with the gateway's report, so mode 0 ends the inclusion.
  if (!world.gateway().command("stopreport on")) fail("gateway command");
  if (!world.startAgent()) fail("agent start");
  Client::Message m;
  if (!client.next(e2e::AgentWorld::gw("connected"), &m, 10000))
    fail("agent never connected:\n" + world.err());
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const pid_t agent = world.agent().pid();
  Memory atStart = memoryOf(agent);
  long requests = 0;

  // Floors: the same broker and client without the agent. One pass (publish, receive it back)
  // and two passes through a responder that answers at once, as a request and its answer do.
  std::vector<double> floor, floor2;
  for (int i = 0; i < modeRequests; ++i) {
    std::string payload = "{\"mode\":" + std::to_string(i) + "}";
    double t0 = nowMs();
    client.publish("bench/echo", payload);
    if (!client.next("bench/echo", &m) || m.payload != payload) fail("echo lost");
    floor.push_back(m.at - t0);
    t0 = nowMs();
    client.publish("bench/request", payload);
    if (!client.next("bench/answer", &m) || m.payload != payload) fail("answer lost");
    floor2.push_back(m.at - t0);
  }

  // Round trip: mode 1 (inclusion start, acknowledged) and mode 0 (stop, acknowledged, then
  // the gateway's report) in turn, each waiting for its published answer.
  std::vector<double> all, starts, stops;
  const std::string modeTopic = e2e::AgentWorld::gw("mode");
  for (int i = 0; i < modeRequests; ++i) {
    int mode = i % 2 == 0 ? 1 : 0;
    std::string want = "{\"status\":0,\"mode\":" + std::to_string(mode) + "}";
    double t0 = nowMs();
    client.publish(e2e::AgentWorld::req("mode"), "{\"mode\":" + std::to_string(mode) + "}");
    if (!client.next(modeTopic, &m))
      fail("no mode answer for request " + std::to_string(i) + "\n" + world.err());
    if (m.payload != want) fail("mode answer " + m.payload + ", expected " + want);
    double took = m.at - t0;
    all.push_back(took);
    (mode == 1 ? starts : stops).push_back(took);
    ++requests;
  }

  // Node sends: at most `window` requests between broker and pipe (the core's queue holds 12).
  PipeCounter pipe(world.gateway().logPath());
  const long sentBefore = pipe.count();
  const int window = 8;
  const std::string sendTopic = e2e::AgentWorld::req("node/2/send");
  const std::string frame("\x20\x01\xFF", 3);
  double s0 = nowMs();
  long published = 0;
  while (pipe.count() - sentBefore < nodeSends) {
    long arrived = pipe.count() - sentBefore;
    while (published < nodeSends && published - arrived < window) {
      client.publish(sendTopic, frame);
      ++published;
    }
    if (nowMs() - s0 > 60000) fail("node sends stalled at " + std::to_string(arrived));
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  double sendMs = nowMs() - s0;
  requests += nodeSends;
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  long reached = pipe.count() - sentBefore;
  size_t dropped = e2e::countOf(world.err(), "buffer all busy") + e2e::countOf(world.err(), "push fail");

  // Fill up to the total with immediate answers (status), a window of them in flight.
  client.drain();
  auto fillTo = [&](long target) {
    const std::string statusTopic = e2e::AgentWorld::gw("status");
    long answered = requests, sent = requests;
    while (answered < target) {
      while (sent < target && sent - answered < 16) {
        client.publish(e2e::AgentWorld::req("status"), "");
        ++sent;
      }
      if (!client.next(statusTopic, &m)) fail("status answer lost at " + std::to_string(answered));
      ++answered;
    }
    requests = answered;
  };
  fillTo(totalRequests);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  Memory atTotal = memoryOf(agent);
  fillTo(2L * totalRequests);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  Memory atDouble = memoryOf(agent);
  if (!world.agent().running()) fail("agent ended");

  Stats f = stats(floor), f2 = stats(floor2), a = stats(all), s = stats(starts), p = stats(stops);
  auto row = [](const char* name, size_t n, const Stats& x) {
    printf("%-34s n=%-5zu p50 %7.3f ms  p99 %7.3f ms  max %7.3f ms\n", name, n, x.p50, x.p99, x.max);
  };
  printf("Z-Wave cloud agent over TLS (broker and gateway simulator on this machine)\n");
  row("floor: broker echo, one pass", floor.size(), f);
  row("floor: broker request->answer", floor2.size(), f2);
  row("agent: mode request->answer", all.size(), a);
  row("  mode 1 (start, acknowledged)", starts.size(), s);
  row("  mode 0 (stop, gateway report)", stops.size(), p);
  printf("ratio p50: %.2fx the request->answer floor, %.2fx the one-pass echo\n", a.p50 / f2.p50,
         a.p50 / f.p50);
  printf("ratio p99: %.2fx the request->answer floor, %.2fx the one-pass echo\n", a.p99 / f2.p99,
         a.p99 / f.p99);
  printf("node send: %d requests in %.0f ms = %.0f per s; reached the pipe %ld, dropped %zu (window %d)\n",
         nodeSends, sendMs, nodeSends * 1000.0 / sendMs, reached, dropped, window);
  printf("memory after start               rss %6ld KiB  private %6ld KiB\n", atStart.rssKb,
         atStart.privateKb);
  printf("memory after %6d requests      rss %6ld KiB  private %6ld KiB\n", totalRequests, atTotal.rssKb,
         atTotal.privateKb);
  printf("memory after %6ld requests      rss %6ld KiB  private %6ld KiB\n", 2L * totalRequests,
         atDouble.rssKb, atDouble.privateKb);
  printf(
      "targets: p50 <= 3x floor %s, p99 < 10 ms %s, private < 2 MiB %s, not growing %s, nothing dropped %s\n",
      a.p50 <= 3 * f2.p50 ? "met" : "MISSED", a.p99 < 10.0 ? "met" : "MISSED",
      atDouble.privateKb >= 0 && atDouble.privateKb < 2048 ? "met" : "MISSED",
      atDouble.privateKb <= atTotal.privateKb ? "met" : "MISSED",
      reached == nodeSends && dropped == 0 ? "met" : "MISSED");
  gWorld.reset();
  return 0;
}
