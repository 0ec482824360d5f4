// Times the Z-Wave cloud agent as a whole process between a TLS Mosquitto broker and the Z/IP
// gateway simulator, in one run:
//   floor       publish and receive back through the same broker, without the agent;
//   round trip  mode request -> Z/IP packet -> acknowledgement -> published mode answer;
//   node send   sustained node-send requests reaching the gateway pipe, none dropped;
//   memory      resident and private memory of the agent after start and after many requests.
//
//   bench_zwave_agent [mode requests=1000] [node sends=2000] [total requests=10000]
// The agent, the simulator and mibctl are taken from the folder of this program.
#include <limits.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "e2e_cloud_agent_fixture.h"
#include "hbn_mqtt_client.h"

namespace {

using e2e::nowMs;

// The broker, simulator and agent of the run; ended before a failed run exits.
std::unique_ptr<e2e::AgentWorld> gWorld;

[[noreturn]] void fail(const std::string& what) {
  fprintf(stderr, "ERROR:%s\n", what.c_str());
  gWorld.reset();
  exit(1);
}

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
  e2e::MqttClient client(world.broker(), "bench");
  e2e::MqttClient responder(world.broker(), "bench-responder");
  responder.answerOn("bench/answer");
  if (!client.ok() || !responder.ok()) fail("client connect");
  for (const std::string& filter :
       {e2e::AgentWorld::gw("#"), std::string("bench/echo"), std::string("bench/answer")})
    if (!client.subscribe(filter)) fail("subscribe " + filter);
  if (!responder.subscribe("bench/request")) fail("subscribe bench/request");
  if (!world.startGateway()) fail("gateway start");
  // Mode stops answered with the gateway's report, so mode 0 ends the inclusion.
  if (!world.gateway().command("stopreport on")) fail("gateway command");
  if (!world.startAgent()) fail("agent start");
  e2e::MqttClient::Message m;
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
    if (!client.publish("bench/echo", payload)) fail("publish");
    if (!client.next("bench/echo", &m) || m.payload != payload) fail("echo lost");
    floor.push_back(m.at - t0);
    t0 = nowMs();
    if (!client.publish("bench/request", payload)) fail("publish");
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
    if (!client.publish(e2e::AgentWorld::req("mode"), "{\"mode\":" + std::to_string(mode) + "}"))
      fail("publish");
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
      if (!client.publish(sendTopic, frame)) fail("publish");
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

  // For comparison, an open-loop burst: everything published at once. The core's 12 buffers
  // bound what it accepts while it works through the gateway's acknowledgements.
  const int burst = 200;
  const long burstBefore = pipe.count();
  for (int i = 0; i < burst; ++i)
    if (!client.publish(sendTopic, frame)) fail("publish");
  long last = -1;
  while (pipe.count() != last) {
    last = pipe.count();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
  }
  long burstReached = pipe.count() - burstBefore;
  size_t burstDropped =
      e2e::countOf(world.err(), "buffer all busy") + e2e::countOf(world.err(), "push fail") - dropped;
  requests += burst;

  // Fill up to the total with immediate answers (status), a window of them in flight.
  client.drain();
  auto fillTo = [&](long target) {
    const std::string statusTopic = e2e::AgentWorld::gw("status");
    long answered = requests, sent = requests;
    while (answered < target) {
      while (sent < target && sent - answered < 16) {
        if (!client.publish(e2e::AgentWorld::req("status"), "")) fail("publish");
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
  printf("node send burst: %d published at once; reached the pipe %ld, dropped with a warning %zu\n", burst,
         burstReached, burstDropped);
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
