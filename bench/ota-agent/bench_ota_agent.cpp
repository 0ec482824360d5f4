// Times the OTA agent as a whole process on a TLS Mosquitto broker, in one run:
//   floor       publish and receive back through the same broker, without the agent;
//   round trip  "version", "lteinfo" and "netinfo" requests in turn, each waiting for its answer;
//   memory      resident and private memory of the agent after start, after the requests and
//               after as many again (it must not grow);
//   idle        processor time and wake-ups per thread over an idle period with the session up.
//
//   bench_ota_agent [requests=10000] [idle seconds=60] [tls=1]
// The agent, configtool and mibctl are taken from the folder of this program.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "hbn_agent_sandbox.h"
#include "hbn_mqtt_client.h"
#include "hbn_wait.h"

namespace {

using bench::nowMs;
using hbntest::MqttClient;

constexpr const char* kSerial = "BENCH001";
const std::string kReq = std::string("req/bench/") + kSerial + "/";
const std::string kGw = std::string("gw/vexor/") + kSerial + "/";

// The sandbox of the run; ended before a failed run exits.
std::unique_ptr<hbntest::AgentSandbox> gBox;

[[noreturn]] void fail(const std::string& what) {
  fprintf(stderr, "ERROR:%s\n", what.c_str());
  gBox.reset();
  exit(1);
}

}  // namespace

int main(int argc, char** argv) {
  const int total = argc > 1 ? atoi(argv[1]) : 10000;
  const int idleSeconds = argc > 2 ? atoi(argv[2]) : 60;
  const bool tls = argc > 3 ? atoi(argv[3]) != 0 : true;
  if (total < 3 || idleSeconds < 1) fail("usage: bench_ota_agent [requests] [idle seconds] [tls]");
  bench::useBuildBin();

  gBox.reset(new hbntest::AgentSandbox(tls));
  hbntest::Sandbox& sb = gBox->sandbox();
  sb.write("/etc/build.info", "02.00.00.01\n");
  sb.write("/var/lte0_ati.inf", "ATI\nManufacturer\nLTE-7.1\n");
  sb.write("/var/lte_imei.inf", "356938035643809\n");
  sb.write("/var/lte_sno.inf", "SNO-1\n");
  sb.write("/var/tmp/timeStatus", "2\n");
  sb.mkdirs("/tmp");
  std::string failed = gBox->setIds({{"1410", kSerial},
                                     {"1421", "127.0.0.1"},
                                     {"1422", std::to_string(gBox->broker().port())},
                                     {"1423", tls ? "1" : "0"},
                                     {"7101", "1"}});
  if (!failed.empty()) fail(failed);
  if (tls) failed = gBox->installCertificates("/jffs2/mqtt/ota/");
  if (!failed.empty()) fail(failed);
  if (!gBox->broker().start()) fail("broker start");
  MqttClient client(gBox->broker(), "bench");
  if (!client.ok()) fail("client connect");
  for (const std::string& filter : {kGw + "#", std::string("bench/echo")})
    if (!client.subscribe(filter)) fail("subscribe " + filter);
  if (!gBox->startAgent("ota-agent")) fail("agent start");
  MqttClient::Message m;
  if (!client.next(kGw + "version", &m, 10000)) fail("agent never connected:\n" + gBox->err());
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const pid_t agent = gBox->agent().pid();
  const bench::Memory atStart = bench::memoryOf(agent);

  // Floor: the same broker and client without the agent (publish, receive it back).
  const int floorCount = std::min(total, 2000);
  std::vector<double> floor;
  for (int i = 0; i < floorCount; ++i) {
    std::string payload = std::to_string(i);
    double t0 = nowMs();
    if (!client.publish("bench/echo", payload)) fail("publish");
    if (!client.next("bench/echo", &m) || m.payload != payload) fail("echo lost");
    floor.push_back(m.at - t0);
  }

  // Requests in turn: answered on the callback thread ("version", "netinfo") or queued to the
  // session thread through the cloud pool ("lteinfo").
  struct Request {
    const char* name;
    const char* payload;
  };
  const Request kinds[] = {{"version", ""}, {"lteinfo", "{\"no\":1}"}, {"netinfo", "{\"ifname\":\"lo\"}"}};
  std::vector<double> rounds[3];
  auto runRequests = [&](int count) {
    for (int i = 0; i < count; ++i) {
      const Request& r = kinds[i % 3];
      double t0 = nowMs();
      if (!client.publish(kReq + r.name, r.payload)) fail("publish");
      if (!client.next(kGw + r.name, &m)) fail(std::string("no answer to ") + r.name + "\n" + gBox->err());
      rounds[i % 3].push_back(m.at - t0);
    }
  };
  runRequests(total);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const bench::Memory afterTotal = bench::memoryOf(agent);
  runRequests(total);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const bench::Memory afterTwice = bench::memoryOf(agent);

  // Idle: the session stays up, nothing is asked.
  const bench::Idle idle = bench::measureIdle(agent, idleSeconds);
  if (!gBox->problem().empty()) fail(gBox->problem());

  const bench::Stats f = bench::stats(floor);
  printf("OTA agent, session %s (broker on this machine)\n", tls ? "TLS" : "plain TCP");
  bench::printStats("floor: broker echo, one pass", f);
  for (int k = 0; k < 3; ++k) {
    const bench::Stats s = bench::stats(rounds[k]);
    bench::printStats(("agent: " + std::string(kinds[k].name) + " request->answer").c_str(), s);
    printf("  p50 %.1fx the floor\n", s.p50 / f.p50);
  }
  bench::printMemory("after start", atStart);
  bench::printMemory(("after " + std::to_string(total) + " requests").c_str(), afterTotal);
  bench::printMemory(("after " + std::to_string(2 * total) + " requests").c_str(), afterTwice);
  bench::printIdle(idle);

  bench::target(
      bench::format("OTA (%s) private memory after 10,000 requests <= 1.25 MiB", tls ? "TLS" : "TCP"),
      bench::format("%ld KiB (start %ld, after %d: %ld)", afterTotal.privateKb, atStart.privateKb, 2 * total,
                    afterTwice.privateKb),
      afterTotal.privateKb >= 0 && afterTotal.privateKb <= 1280 &&
          afterTwice.privateKb <= afterTotal.privateKb);
  bench::target("OTA idle CPU of its own threads <= 0.05 % of a core",
                bench::format("%.4f %% (bare wake-ups %.4f %%, MQTT library %.4f %%, %.0f s)",
                              idle.ownPercent, idle.floorOwnPercent, idle.libraryPercent, idle.seconds),
                idle.ownPercent <= 0.05);
  gBox.reset();
  return 0;
}
