// Times the router cloud agent as a whole process between a TLS Mosquitto broker and a test
// client, in one run:
//   floor        publish and receive back through the same broker, without the agent (one pass,
//                and request -> answer through a responder that does no work);
//   version      "version" request -> published version answer;
//   config-user  "upload":"config-user" -> configtool dump -> published "config/user";
//   memory       resident and private memory of the agent after start and after many requests.
// Run as root, the agent has its two sessions of a dual-WAN box (eth0 type 0, wwan0 type 2),
// each bound to its link of a network namespace; otherwise it runs one session (single WAN).
//
//   bench_router_agent [version requests=1000] [config-user requests=200] [total requests=10000]
// The agent, configtool and mibctl are taken from the folder of this program.
#include <limits.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "e2e_router_fixture.h"
#include "hbn_mqtt_client.h"
#include "hbn_netns.h"

namespace {

using hbntest::nowMs;
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

std::string selfDir() {
  char buf[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return ".";
  std::string p(buf, static_cast<size_t>(n));
  return p.substr(0, p.rfind('/'));
}

}  // namespace

int main(int argc, char** argv) {
  const int versionRequests = argc > 1 ? atoi(argv[1]) : 1000;
  const int dumpRequests = argc > 2 ? atoi(argv[2]) : 200;
  const int totalRequests = argc > 3 ? atoi(argv[3]) : 10000;
  if (versionRequests < 2 || dumpRequests < 2 || totalRequests < 1)
    fail("usage: bench_router_agent [versions] [config-user] [total]");
  if (getenv("HBN_BUILD_BIN") == nullptr) setenv("HBN_BUILD_BIN", selfDir().c_str(), 1);

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
  Memory atStart = memoryOf(agent);
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

  Memory afterVersions = memoryOf(agent);

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

  Memory afterDumps = memoryOf(agent);

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
  Memory atTotal = memoryOf(agent);
  fillTo(2L * totalRequests);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  Memory atDouble = memoryOf(agent);
  if (!world.box().agent().running()) fail("agent ended");

  Stats f = stats(floor), f2 = stats(floor2), v = stats(versions), d = stats(dumps);
  auto row = [](const char* name, size_t n, const Stats& x) {
    printf("%-34s n=%-5zu p50 %7.3f ms  p99 %7.3f ms  max %7.3f ms\n", name, n, x.p50, x.p99, x.max);
  };
  printf(
      "Router cloud agent over TLS, %s (broker on this machine)\n",
      dual ? "two sessions bound to eth0 and wwan0 of a namespace" : "one session (not root: no namespace)");
  row("floor: broker echo, one pass", floor.size(), f);
  row("floor: broker request->answer", floor2.size(), f2);
  row("agent: version request->answer", versions.size(), v);
  row("agent: config-user request->dump", dumps.size(), d);
  printf("version ratio p50: %.2fx the request->answer floor, %.2fx the one-pass echo\n", v.p50 / f2.p50,
         v.p50 / f.p50);
  printf("version ratio p99: %.2fx the request->answer floor, %.2fx the one-pass echo\n", v.p99 / f2.p99,
         v.p99 / f.p99);
  printf("config-user dump: %zu bytes (configtool process per request)\n", dumpLength);
  printf("memory after start               rss %6ld KiB  private %6ld KiB\n", atStart.rssKb,
         atStart.privateKb);
  printf("memory after the version round trips  rss %6ld KiB  private %6ld KiB\n", afterVersions.rssKb,
         afterVersions.privateKb);
  printf("memory after the config-user dumps    rss %6ld KiB  private %6ld KiB\n", afterDumps.rssKb,
         afterDumps.privateKb);
  printf("memory after %6d requests      rss %6ld KiB  private %6ld KiB\n", totalRequests, atTotal.rssKb,
         atTotal.privateKb);
  printf("memory after %6ld requests      rss %6ld KiB  private %6ld KiB\n", 2L * totalRequests,
         atDouble.rssKb, atDouble.privateKb);
  printf("targets: private < 2 MiB %s, not growing %s\n",
         atDouble.privateKb >= 0 && atDouble.privateKb < 2048 ? "met" : "MISSED",
         atDouble.privateKb <= atTotal.privateKb ? "met" : "MISSED");
  gWorld.reset();
  gLab.reset();
  return 0;
}
