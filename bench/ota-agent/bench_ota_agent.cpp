// Times the OTA agent as a whole process on a TLS Mosquitto broker, in one run:
//   floor       publish and receive back through the same broker, without the agent;
//   round trip  "version", "lteinfo" and "netinfo" requests in turn, each waiting for its answer;
//   memory      resident and private memory of the agent after start, after the requests and
//               after as many again (it must not grow);
//   idle CPU    the agent's processor time over an idle period with the session up.
//
//   bench_ota_agent [requests=10000] [idle seconds=60] [tls=1]
// The agent, configtool and mibctl are taken from the folder of this program.
#include <limits.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "hbn_agent_sandbox.h"
#include "hbn_mqtt_client.h"
#include "hbn_wait.h"

namespace {

using hbntest::MqttClient;
using hbntest::nowMs;

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
  long privateKb = -1;  // pages mapped by this process only, clean (program text) and dirty
  long dirtyKb = -1;    // of which written: heap, stacks, library data
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
    if (k == "Private_Dirty:") m.dirtyKb = value;
  }
  if (any) m.privateKb = priv;
  return m;
}

// User plus system time of `pid` in milliseconds, -1 when unreadable.
double cpuMsOf(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  size_t close = text.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  long long utime = -1, stime = -1;
  // After the command: state is field 3; utime and stime are fields 14 and 15.
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) utime = atoll(field.c_str());
    if (i == 15) stime = atoll(field.c_str());
  }
  if (utime < 0 || stime < 0) return -1;
  return static_cast<double>(utime + stime) * 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
}

std::string selfDir() {
  char buf[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return ".";
  std::string p(buf, static_cast<size_t>(n));
  return p.substr(0, p.rfind('/'));
}

void printMemory(const char* when, const Memory& m) {
  printf("memory %-22s rss %6ld kB  private %6ld kB (%.2f MiB, dirty %ld kB)\n", when, m.rssKb, m.privateKb,
         static_cast<double>(m.privateKb) / 1024.0, m.dirtyKb);
}

}  // namespace

int main(int argc, char** argv) {
  const int total = argc > 1 ? atoi(argv[1]) : 10000;
  const int idleSeconds = argc > 2 ? atoi(argv[2]) : 60;
  const bool tls = argc > 3 ? atoi(argv[3]) != 0 : true;
  if (total < 3 || idleSeconds < 1) fail("usage: bench_ota_agent [requests] [idle seconds] [tls]");
  if (getenv("HBN_BUILD_BIN") == nullptr) setenv("HBN_BUILD_BIN", selfDir().c_str(), 1);

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
  const Memory atStart = memoryOf(agent);

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
  const Memory afterTotal = memoryOf(agent);
  runRequests(total);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const Memory afterTwice = memoryOf(agent);

  // Idle: the session stays up, nothing is asked.
  const double cpu0 = cpuMsOf(agent);
  const double wall0 = nowMs();
  std::this_thread::sleep_for(std::chrono::seconds(idleSeconds));
  const double idleCpuMs = cpuMsOf(agent) - cpu0;
  const double idleWallMs = nowMs() - wall0;
  if (!gBox->problem().empty()) fail(gBox->problem());

  Stats f = stats(floor);
  printf("floor (broker echo)        n=%zu p50 %.3f ms  p99 %.3f ms  max %.3f ms\n", floor.size(), f.p50,
         f.p99, f.max);
  for (int k = 0; k < 3; ++k) {
    Stats s = stats(rounds[k]);
    printf("round trip %-15s n=%zu p50 %.3f ms  p99 %.3f ms  max %.3f ms  (p50 %.1fx floor)\n", kinds[k].name,
           rounds[k].size(), s.p50, s.p99, s.max, s.p50 / f.p50);
  }
  printf("session %s\n", tls ? "TLS" : "plain TCP");
  printMemory("after start", atStart);
  printMemory(("after " + std::to_string(total)).c_str(), afterTotal);
  printMemory(("after " + std::to_string(2 * total)).c_str(), afterTwice);
  printf("private memory target 1536 kB: %s; growth over the second %d requests: %ld kB\n",
         afterTotal.privateKb < 1536 ? "met" : "NOT met", total, afterTwice.privateKb - afterTotal.privateKb);
  printf("idle CPU over %.0f s: %.1f ms (%.4f %%)\n", idleWallMs / 1000.0, idleCpuMs,
         100.0 * idleCpuMs / idleWallMs);
  gBox.reset();
  return 0;
}
