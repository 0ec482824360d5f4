// The whole box as scripts/box boots it (root):
//   boot        from a power cut (the boot starts at once) to the first announcement the cloud
//               receives, and to all three (Z-Wave "connected", router "connected", OTA
//               "version"), over several boots; with an armhf build, the ARM box under
//               emulation as well (for information: emulation says nothing of the box's speed);
//   memory      private memory of every process of the box, summed (bench/support counts it:
//               pages this process alone maps, so libraries the agents share count once, as on
//               the box), after boot and after the requests;
//   requests    round trips of requests to the three agents in turn, each waiting for its answer.
//
//   bench_box [boots=5] [requests=10000] [armhf build=BUILD/../build-armhf, "-" for none]
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "box_fixture.h"
#include "hbn_wait.h"

namespace {

using bench::nowMs;

struct BootTimes {
  std::vector<double> first, all;
};

// Power cuts `boots` times; from each cut to the first and to the last announcement.
bool timeBoots(boxtest::Box& box, hbntest::MqttClient& cloud, int boots, int timeoutMs, BootTimes* out) {
  const std::vector<std::string> topics = {box.zwave().answers + "connected",
                                           box.router().answers + "connected", box.ota().answers + "version"};
  for (int i = 0; i < boots; ++i) {
    const size_t mark = box.brokerMark();
    cloud.drain();
    const double cut = nowMs();
    if (box.harness("power-cut").status != 0) return false;
    double first = 0, last = 0;
    std::vector<bool> seen(topics.size(), false);
    size_t left = topics.size();
    while (left > 0) {
      hbntest::MqttClient::Message m;
      if (!cloud.nextAny(&m, timeoutMs)) return false;
      for (size_t t = 0; t < topics.size(); ++t) {
        // The OTA agent's version carries the LTE version; the Z-Wave agent's does not.
        if (seen[t] || m.topic != topics[t] ||
            (t == 2 && m.payload.find("fw_version_lte") == std::string::npos))
          continue;
        seen[t] = true;
        --left;
        if (first == 0) first = m.at - cut;
        last = m.at - cut;
      }
    }
    if (!boxtest::waitAnnouncements(box, mark, 1000).empty()) return false;
    out->first.push_back(first);
    out->all.push_back(last);
  }
  return true;
}

struct BoxMemory {
  long privateKb = 0;
  std::map<std::string, long> byProgram;
};

BoxMemory memoryOf(const boxtest::Box& box) {
  BoxMemory m;
  for (pid_t pid : box.processes()) {
    bench::Memory one = bench::memoryOf(pid);
    if (one.privateKb < 0) continue;
    std::string name = hbntest::readFile("/proc/" + std::to_string(pid) + "/comm");
    if (!name.empty() && name.back() == '\n') name.pop_back();
    m.privateKb += one.privateKb;
    m.byProgram[name] += one.privateKb;
  }
  return m;
}

void printBoxMemory(const char* when, const BoxMemory& m) {
  std::printf("memory of the box %-22s private %6ld KiB (%.2f MiB):", when, m.privateKb,
              static_cast<double>(m.privateKb) / 1024.0);
  for (const auto& [name, kb] : m.byProgram) std::printf(" %s %ld", name.c_str(), kb);
  std::printf("\n");
}

// The box of the run and its cloud client; ended (the box powered off and removed) before a
// failed run exits.
std::unique_ptr<hbntest::MqttClient> gCloud;
std::unique_ptr<boxtest::Box> gBox;

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "ERROR:%s\n", what.c_str());
  gCloud.reset();
  gBox.reset();
  std::exit(1);
}

}  // namespace

int main(int argc, char** argv) {
  const int boots = argc > 1 ? std::atoi(argv[1]) : 5;
  const int requests = argc > 2 ? std::atoi(argv[2]) : 10000;
  const std::string armhf = argc > 3 ? argv[3] : bench::selfDir() + "/../../build-armhf";
  if (boots < 1 || requests < 3) fail("usage: bench_box [boots] [requests] [armhf build]");
  if (geteuid() != 0) {
    std::printf("bench_box: needs root (namespaces, mounts); skipped\n");
    return 0;
  }
  setenv("HBN_SOURCE_DIR", HBN_BOX_SOURCE_DIR, 0);

  gBox = std::make_unique<boxtest::Box>();
  boxtest::Box& box = *gBox;
  std::string problem = box.up();
  if (!problem.empty()) fail(problem);
  gCloud = box.client("bench-box");
  if (gCloud == nullptr) fail("no cloud client");
  hbntest::MqttClient* cloud = gCloud.get();
  if (!boxtest::waitAnnouncements(box, 0, 60000).empty()) fail("the box did not announce itself");
  BootTimes x86;
  if (!timeBoots(box, *cloud, boots, 60000, &x86)) fail("a boot did not announce itself");
  bench::printStats("boot to first announcement (x86-64)", bench::stats(x86.first));
  bench::printStats("boot to all three (x86-64)", bench::stats(x86.all));
  const bench::Stats firstX86 = bench::stats(x86.first);

  // Settled after the announcements: the sessions' first exchanges are over.
  std::this_thread::sleep_for(std::chrono::seconds(5));
  const BoxMemory afterBoot = memoryOf(box);
  printBoxMemory("after boot", afterBoot);

  const std::vector<std::pair<std::string, std::string>> asks = {
      {box.zwave().requests + "version", box.zwave().answers + "version"},
      {box.router().requests + "version", box.router().answers + "version"},
      {box.ota().requests + "lteinfo", box.ota().answers + "lteinfo"},
      {box.zwave().requests + "node_list", box.zwave().answers + "node_list"}};
  std::vector<double> trips;
  trips.reserve(static_cast<size_t>(requests));
  cloud->drain();
  for (int i = 0; i < requests; ++i) {
    const auto& [request, answer] = asks[static_cast<size_t>(i) % asks.size()];
    const double sent = nowMs();
    if (!cloud->publish(request, "")) fail("publish " + request);
    hbntest::MqttClient::Message m;
    if (!cloud->next(answer, &m, 10000))
      fail("no answer on " + answer + " (request " + std::to_string(i) + ")");
    trips.push_back(m.at - sent);
  }
  bench::printStats("request round trip (the three agents in turn)", bench::stats(trips));
  std::this_thread::sleep_for(std::chrono::seconds(2));
  const BoxMemory afterRequests = memoryOf(box);
  printBoxMemory(("after " + std::to_string(requests) + " requests").c_str(), afterRequests);
  bench::target("box: boot to first announcement (x86-64, p50)", bench::format("%.0f ms", firstX86.p50),
                true);
  bench::target("box: private memory after boot", bench::format("%ld KiB", afterBoot.privateKb), true);
  bench::target(bench::format("box: private memory after %d requests", requests),
                bench::format("%ld KiB", afterRequests.privateKb),
                afterRequests.privateKb <= afterBoot.privateKb + 512);
  // The MQTT library's threads stay in the namespace of the first connect until every client
  // is gone: the next box's client starts afresh.
  gCloud.reset();
  gBox.reset();

  if (armhf != "-" && access((armhf + "/CMakeCache.txt").c_str(), R_OK) == 0) {
    gBox = std::make_unique<boxtest::Box>();
    boxtest::Box& arm = *gBox;
    problem = arm.up({"--armhf", "--build", armhf});
    if (!problem.empty()) {
      std::printf("armhf box: not booted: %s\n", problem.c_str());
      return 0;
    }
    auto armCloud = arm.client("bench-box-armhf");
    if (armCloud == nullptr || !boxtest::waitAnnouncements(arm, 0, 300000).empty())
      fail("the ARM box did not announce itself");
    BootTimes emulated;
    if (!timeBoots(arm, *armCloud, std::min(boots, 3), 300000, &emulated))
      fail("an ARM boot did not announce itself");
    bench::printStats("boot to first announcement (armhf under qemu, for information)",
                      bench::stats(emulated.first));
    bench::printStats("boot to all three (armhf under qemu)", bench::stats(emulated.all));
    gCloud.reset();
    gBox.reset();
  }
  return 0;
}
