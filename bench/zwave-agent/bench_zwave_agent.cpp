// Times the Z-Wave cloud agent as a whole process between a TLS Mosquitto broker and the Z/IP
// gateway simulator, in one run:
//   floors      without the agent, through the same broker: one pass (publish, receive it
//               back) and request -> answer (a responder that answers at once); and the
//               simulator's own echo (a packet to a second simulator, its acknowledgement),
//               added to the request -> answer floor;
//   round trip  mode request -> Z/IP packet -> acknowledgement -> published mode answer.
//               Each round is one of every floor and one request, so a busy machine weighs on
//               floors and agent alike;
//   node send   sustained node-send requests reaching the gateway pipe, none dropped;
//   memory      resident and private memory of the agent after start and after many requests;
//   idle        processor time and wake-ups per thread with the session up, nothing asked.
//
//   bench_zwave_agent [mode requests=2000] [node sends=2000] [total requests=10000] [idle s=60]
// The agent, the simulator and mibctl are taken from the folder of this program.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "e2e_cloud_agent_fixture.h"
#include "hbn_mqtt_client.h"

namespace {

using bench::nowMs;

// The broker, simulators and agent of the run; ended before a failed run exits.
std::unique_ptr<e2e::AgentWorld> gWorld;
std::unique_ptr<hbntest::Sandbox> gEchoBox;
std::unique_ptr<zipgwsim::Client> gEchoSim;

[[noreturn]] void fail(const std::string& what) {
  fprintf(stderr, "ERROR:%s\n", what.c_str());
  gWorld.reset();
  gEchoSim.reset();
  gEchoBox.reset();
  exit(1);
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

// The agent's side of a second simulator's pipes: one packet asking for an acknowledgement,
// timed until the acknowledgement is read back. What the gateway itself adds to a round trip.
class SimEcho {
 public:
  bool open(const hbntest::Sandbox& box, zipgwsim::Client& sim) {
    fromSim_ = ::open(box.path("/tmp/zipgww").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    toSim_ = ::open(box.path("/tmp/zipgwr").c_str(), O_RDWR | O_CLOEXEC);
    return fromSim_ >= 0 && toSim_ >= 0 && sim.waitConnected();
  }
  ~SimEcho() {
    if (fromSim_ >= 0) close(fromSim_);
    if (toSim_ >= 0) close(toSim_);
  }
  // Milliseconds from the write to the whole acknowledgement, -1 on a failure.
  double once() {
    const uint8_t seq = ++seq_;
    const uint8_t packet[] = {8, 0, 0x01, 0x23, 0x02, 0x80, 0x00, seq, 0x00, 0x00};
    double t0 = nowMs();
    if (write(toSim_, packet, sizeof packet) != static_cast<ssize_t>(sizeof packet)) return -1;
    uint8_t answer[64];
    size_t have = 0;
    while (have < 10) {
      pollfd p = {fromSim_, POLLIN, 0};
      if (poll(&p, 1, 2000) <= 0) return -1;
      ssize_t r = read(fromSim_, answer + have, sizeof answer - have);
      if (r <= 0) return -1;
      have += static_cast<size_t>(r);
    }
    return answer[5] == 0x40 && answer[7] == seq ? nowMs() - t0 : -1;
  }

 private:
  int fromSim_ = -1, toSim_ = -1;
  uint8_t seq_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  const int modeRequests = argc > 1 ? atoi(argv[1]) : 2000;
  const int nodeSends = argc > 2 ? atoi(argv[2]) : 2000;
  const int totalRequests = argc > 3 ? atoi(argv[3]) : 10000;
  const int idleSeconds = argc > 4 ? atoi(argv[4]) : 60;
  if (modeRequests < 2 || nodeSends < 1 || totalRequests < 1 || idleSeconds < 1)
    fail("usage: bench_zwave_agent [modes] [sends] [total] [idle seconds]");
  bench::useBuildBin();
  setenv("HBN_SCRIPT_QUEUE", hbntest::uniqueName("/bench_zw").c_str(), 1);

  gWorld.reset(new e2e::AgentWorld(true, {"--nodes", "2"}));
  e2e::AgentWorld& world = *gWorld;
  std::string seeded = world.seed();
  if (!seeded.empty()) fail("seed: " + seeded);
  // The switch at rest: the agent reads it ten times a second and has nothing to report.
  world.sandbox().write("/proc/kv_pushsw", "I00000000\n");
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
  gEchoBox.reset(new hbntest::Sandbox);
  gEchoBox->mkdirs("/tmp");
  gEchoSim.reset(new zipgwsim::Client(gEchoBox->root()));
  SimEcho simEcho;
  if (!gEchoSim->start() || !simEcho.open(*gEchoBox, *gEchoSim)) fail("echo simulator start");
  if (!world.startAgent()) fail("agent start");
  e2e::MqttClient::Message m;
  if (!client.next(e2e::AgentWorld::gw("connected"), &m, 10000))
    fail("agent never connected:\n" + world.err());
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const pid_t agent = world.agent().pid();
  const bench::Memory atStart = bench::memoryOf(agent);
  long requests = 0;

  // Rounds: one-pass echo, request -> answer, the simulator's echo, then the agent's mode 1
  // (inclusion start, acknowledged) or mode 0 (stop, acknowledged, then the gateway's report),
  // each waiting for its published answer.
  std::vector<double> floor, floor2, sim, floorSim, all, starts, stops;
  const std::string modeTopic = e2e::AgentWorld::gw("mode");
  for (int i = 0; i < modeRequests; ++i) {
    std::string payload = "{\"n\":" + std::to_string(i) + "}";
    double t0 = nowMs();
    if (!client.publish("bench/echo", payload)) fail("publish");
    if (!client.next("bench/echo", &m) || m.payload != payload) fail("echo lost");
    floor.push_back(m.at - t0);
    t0 = nowMs();
    if (!client.publish("bench/request", payload)) fail("publish");
    if (!client.next("bench/answer", &m) || m.payload != payload) fail("answer lost");
    floor2.push_back(m.at - t0);
    double echo = simEcho.once();
    if (echo < 0) fail("simulator echo lost");
    sim.push_back(echo);
    floorSim.push_back(floor2.back() + echo);

    int mode = i % 2 == 0 ? 1 : 0;
    std::string want = "{\"status\":0,\"mode\":" + std::to_string(mode) + "}";
    t0 = nowMs();
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
  const bench::Memory atTotal = bench::memoryOf(agent);
  fillTo(2L * totalRequests);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const bench::Memory atDouble = bench::memoryOf(agent);

  client.drain();
  const bench::Idle idle = bench::measureIdle(agent, idleSeconds);
  if (!world.agent().running()) fail("agent ended");

  const bench::Stats f = bench::stats(floor), f2 = bench::stats(floor2), fs = bench::stats(floorSim),
                     e = bench::stats(sim), a = bench::stats(all);
  printf("Z-Wave cloud agent over TLS (broker and gateway simulator on this machine)\n");
  bench::printStats("floor: broker echo, one pass", f);
  bench::printStats("floor: broker request->answer", f2);
  bench::printStats("floor: simulator packet->ack", e);
  bench::printStats("floor: request->answer + simulator", fs);
  bench::printStats("agent: mode request->answer", a);
  bench::printStats("  mode 1 (start, acknowledged)", bench::stats(starts));
  bench::printStats("  mode 0 (stop, gateway report)", bench::stats(stops));
  printf("ratio p50: %.2fx the request->answer floor, %.2fx with the simulator, %.2fx the one-pass echo\n",
         a.p50 / f2.p50, a.p50 / fs.p50, a.p50 / f.p50);
  printf("ratio p99: %.2fx the request->answer floor, %.2fx with the simulator, %.2fx the one-pass echo\n",
         a.p99 / f2.p99, a.p99 / fs.p99, a.p99 / f.p99);
  printf("agent's own share at p50: %.3f ms (round trip less the floor with the simulator)\n",
         a.p50 - fs.p50);
  printf("node send: %d requests in %.0f ms = %.0f per s; reached the pipe %ld, dropped %zu (window %d)\n",
         nodeSends, sendMs, nodeSends * 1000.0 / sendMs, reached, dropped, window);
  printf("node send burst: %d published at once; reached the pipe %ld, dropped with a warning %zu\n", burst,
         burstReached, burstDropped);
  bench::printMemory("after start", atStart);
  bench::printMemory(("after " + std::to_string(totalRequests) + " requests").c_str(), atTotal);
  bench::printMemory(("after " + std::to_string(2L * totalRequests) + " requests").c_str(), atDouble);
  bench::printIdle(idle);

  bench::target("Z-Wave mode request->answer p50 <= 2x floor",
                bench::format("%.3f ms = %.2fx %.3f ms", a.p50, a.p50 / f2.p50, f2.p50), a.p50 <= 2 * f2.p50);
  bench::target("Z-Wave mode request->answer p99 <= 3x floor",
                bench::format("%.3f ms = %.2fx %.3f ms", a.p99, a.p99 / f2.p99, f2.p99), a.p99 <= 3 * f2.p99);
  bench::target("Z-Wave node sends, nothing dropped",
                bench::format("%.0f per s, %ld of %d reached, %zu dropped", nodeSends * 1000.0 / sendMs,
                              reached, nodeSends, dropped),
                reached == nodeSends && dropped == 0);
  bench::target(
      "Z-Wave private memory after 10,000 requests <= 1.25 MiB",
      bench::format("%ld KiB (start %ld, after %ld: %ld)", atTotal.privateKb, atStart.privateKb,
                    2L * totalRequests, atDouble.privateKb),
      atTotal.privateKb >= 0 && atTotal.privateKb <= 1280 && atDouble.privateKb <= atTotal.privateKb);
  bench::target("Z-Wave idle CPU of its own threads <= 0.05 % of a core",
                bench::format("%.4f %% (bare wake-ups %.4f %%, MQTT library %.4f %%, %.0f s)",
                              idle.ownPercent, idle.floorOwnPercent, idle.libraryPercent, idle.seconds),
                idle.ownPercent <= 0.05);
  gWorld.reset();
  gEchoSim.reset();
  gEchoBox.reset();
  return 0;
}
