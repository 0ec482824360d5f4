// Times the router cloud agent as a whole process between a TLS Mosquitto broker and a test
// client, in one run:
//   floor        publish and receive back through the same broker, without the agent (one pass,
//                and request -> answer through a responder that does no work);
//   version      "version" request -> published version answer;
//   config-user  "upload":"config-user" -> configtool dump -> published "config/user";
//   memory       resident and private memory of the agent after start and after many requests;
//   idle         processor time and wake-ups per thread with the sessions up, nothing asked.
// Run as root, the agent has its two sessions of a dual-WAN box (eth0 type 0, wwan0 type 2),
// each bound to its link of a network namespace; otherwise it runs one session (single WAN).
//
//   bench_router_agent [version requests=1000] [config-user requests=200] [total requests=10000]
//                      [idle seconds=60]
// The agent, configtool and mibctl are taken from the folder of this program.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "e2e_router_fixture.h"
#include "hbn_mqtt_client.h"
#include "hbn_netns.h"

namespace {

using bench::nowMs;
using router::MqttClient;
using router::RouterWorld;

constexpr const char* kSubSerial = "RT0002";

// The namespace and the agent's world of the run; ended before a failed run exits.
std::unique_ptr<RouterWorld> gWorld;
std::unique_ptr<hbntest::NetLab> gLab;

[[noreturn]] void fail(const std::string& what) {
  fprintf(stderr, "ERROR:%s\n", what.c_str());
  gWorld.reset();
  gLab.reset();
  exit(1);
}

}  // namespace

int main(int argc, char** argv) {
  const int versionRequests = argc > 1 ? atoi(argv[1]) : 1000;
  const int dumpRequests = argc > 2 ? atoi(argv[2]) : 200;
  const int totalRequests = argc > 3 ? atoi(argv[3]) : 10000;
  const int idleSeconds = argc > 4 ? atoi(argv[4]) : 60;
  if (versionRequests < 2 || dumpRequests < 2 || totalRequests < 1 || idleSeconds < 1)
    fail("usage: bench_router_agent [versions] [config-user] [total] [idle seconds]");
  bench::useBuildBin();

  const bool dual = geteuid() == 0;
  gWorld.reset(new RouterWorld);
  RouterWorld& world = *gWorld;
  std::vector<std::pair<std::string, std::string>> ids;
  std::vector<std::string> prefix;
  if (dual) {
    // A box with eth0 (preferred default route) and wwan0, both sessions to the eth0 peer.
    gLab.reset(new hbntest::NetLab);
    std::string ns = gLab->addNamespace();
    hbntest::WanLink eth0 = ns.empty() ? hbntest::WanLink{} : gLab->addWan(ns, "eth0", "", 10);
    hbntest::WanLink wwan0 = ns.empty() ? hbntest::WanLink{} : gLab->addWan(ns, "wwan0", "", 20);
    if (eth0.box.ifname.empty() || wwan0.box.ifname.empty()) fail("namespace: " + gLab->error());
    world.broker().listenOn(eth0.peer.address);
    ids = {{"7144", "2"}, {"7155", "1"}, {"7157", "0"}, {"7158", "0"}, {"7132", eth0.peer.address}};
    for (const auto& id : world.wanBlock(2, kSubSerial, eth0.peer.address)) ids.push_back(id);
    prefix = hbntest::NetLab::inNamespace(ns, {});
  }
  std::string seeded = world.seed(ids, false);
  if (!seeded.empty()) fail("seed: " + seeded);
  world.sandbox().mkdirs("/sys/class/net/eth0");
  world.sandbox().mkdirs("/sys/class/net/wwan0");
  std::string started = world.start({"HBN_SCRIPT_QUEUE=" + hbntest::uniqueName("/bench_rt")}, prefix);
  if (!started.empty()) fail("start: " + started + "\n" + world.err());
  MqttClient& client = world.client();
  MqttClient responder(world.broker(), "bench-responder");
  responder.answerOn("bench/answer");
  if (!responder.ok() || !responder.subscribe("bench/request")) fail("responder");
  for (const char* filter : {"bench/echo", "bench/answer"})
    if (!client.subscribe(filter)) fail(std::string("subscribe ") + filter);
  MqttClient::Message m;
  // Each session announces itself, in either order.
  bool mainUp = false, subUp = !dual;
  while (!(mainUp && subUp)) {
    if (!client.nextAny(&m, 15000)) fail("agent never announced:\n" + world.err());
    mainUp = mainUp || m.topic == RouterWorld::gw("connected");
    subUp = subUp || m.topic == RouterWorld::gw("connected", kSubSerial);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const pid_t agent = world.box().agent().pid();
  const bench::Memory atStart = bench::memoryOf(agent);
  long requests = 0;

  std::vector<double> floor, floor2;
  for (int i = 0; i < versionRequests; ++i) {
    std::string payload = "{\"n\":" + std::to_string(i) + "}";
    double t0 = nowMs();
    if (!client.publish("bench/echo", payload)) fail("publish");
    if (!client.next("bench/echo", &m) || m.payload != payload) fail("echo lost");
    floor.push_back(m.at - t0);
    t0 = nowMs();
    if (!client.publish("bench/request", payload)) fail("publish");
    if (!client.next("bench/answer", &m) || m.payload != payload) fail("answer lost");
    floor2.push_back(m.at - t0);
  }

  client.drain();
  std::vector<double> versions;
  const std::string versionTopic = RouterWorld::gw("version");
  for (int i = 0; i < versionRequests; ++i) {
    double t0 = nowMs();
    if (!client.publish(RouterWorld::req("version"), "")) fail("publish");
    if (!client.next(versionTopic, &m)) fail("no version answer for request " + std::to_string(i));
    versions.push_back(m.at - t0);
    ++requests;
  }

  const bench::Memory afterVersions = bench::memoryOf(agent);

  std::vector<double> dumps;
  const std::string userTopic = RouterWorld::gw("config/user");
  size_t dumpLength = 0;
  for (int i = 0; i < dumpRequests; ++i) {
    double t0 = nowMs();
    if (!client.publish(RouterWorld::req("control"), "{\"upload\":\"config-user\"}")) fail("publish");
    if (!client.next(userTopic, &m)) fail("no config/user for request " + std::to_string(i));
    dumps.push_back(m.at - t0);
    dumpLength = m.payload.size();
    ++requests;
  }

  const bench::Memory afterDumps = bench::memoryOf(agent);

  // Up to the total with version requests, 16 in flight, alternating between the sessions.
  client.drain();
  auto fillTo = [&](long target) {
    long answered = requests, sent = requests;
    while (answered < target) {
      while (sent < target && sent - answered < 16) {
        const char* serial = dual && sent % 2 == 1 ? kSubSerial : router::kSerial;
        if (!client.publish(RouterWorld::req("version", serial), "")) fail("publish");
        ++sent;
      }
      if (!client.nextAny(&m)) fail("version answer lost at " + std::to_string(answered));
      if (m.topic.size() > 8 && m.topic.compare(m.topic.size() - 8, 8, "/version") == 0) ++answered;
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
  if (!world.box().agent().running()) fail("agent ended");

  const bench::Stats f = bench::stats(floor), f2 = bench::stats(floor2), v = bench::stats(versions),
                     d = bench::stats(dumps);
  printf(
      "Router cloud agent over TLS, %s (broker on this machine)\n",
      dual ? "two sessions bound to eth0 and wwan0 of a namespace" : "one session (not root: no namespace)");
  bench::printStats("floor: broker echo, one pass", f);
  bench::printStats("floor: broker request->answer", f2);
  bench::printStats("agent: version request->answer", v);
  bench::printStats("agent: config-user request->dump", d);
  printf("version ratio p50: %.2fx the request->answer floor, %.2fx the one-pass echo\n", v.p50 / f2.p50,
         v.p50 / f.p50);
  printf("version ratio p99: %.2fx the request->answer floor, %.2fx the one-pass echo\n", v.p99 / f2.p99,
         v.p99 / f.p99);
  printf("config-user dump: %zu bytes (configtool process per request)\n", dumpLength);
  bench::printMemory("after start", atStart);
  bench::printMemory("after the version round trips", afterVersions);
  bench::printMemory("after the config-user dumps", afterDumps);
  bench::printMemory(("after " + std::to_string(totalRequests) + " requests").c_str(), atTotal);
  bench::printMemory(("after " + std::to_string(2L * totalRequests) + " requests").c_str(), atDouble);
  bench::printIdle(idle);

  const char* sessions = dual ? "two TLS sessions" : "one TLS session";
  bench::target(
      bench::format("Router (%s) private memory after 10,000 requests <= 1.25 MiB", sessions),
      bench::format("%ld KiB (start %ld, after %ld: %ld)", atTotal.privateKb, atStart.privateKb,
                    2L * totalRequests, atDouble.privateKb),
      atTotal.privateKb >= 0 && atTotal.privateKb <= 1280 && atDouble.privateKb <= atTotal.privateKb);
  bench::target("Router idle CPU of its own threads <= 0.05 % of a core",
                bench::format("%.4f %% (bare wake-ups %.4f %%, MQTT library %.4f %%, %.0f s)",
                              idle.ownPercent, idle.floorOwnPercent, idle.libraryPercent, idle.seconds),
                idle.ownPercent <= 0.05);
  gWorld.reset();
  gLab.reset();
  return 0;
}
