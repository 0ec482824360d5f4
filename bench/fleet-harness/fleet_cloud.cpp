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

// The cloud's client survives the loss of its broker connection (see MqttClient's reconnecting
// mode), so what the boxes publish meanwhile is not lost for the watch.
using CloudClient = hbntest::MqttClient;

// The OTA agent's version document (its announcement, and its answer to "version"): on a Z-Wave
// serial, with the LTE version. The Z-Wave agent's version answer has none; the router's has one
// but is on its own serial.
bool isOtaVersion(const CloudClient::Message& m) {
  return m.topic.compare(0, 11, "gw/fleet/ZW") == 0 && m.payload.find("fw_version_lte") != std::string::npos;
}

std::unique_ptr<CloudClient> connect(const std::string& host, int port, const std::string& certDir,
                                     const std::string& id) {
  // The broker may be starting: a few attempts.
  for (int attempt = 0; attempt < 20; ++attempt) {
    const bool tls = certDir != "-";
    auto c = std::make_unique<CloudClient>(host, port, tls ? certDir + "/ca.crt" : "",
                                           certDir + "/client.crt", certDir + "/client.key", id, true);
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
