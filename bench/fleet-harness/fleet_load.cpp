// A load client for the fleet benchmark: SESSIONS cloud sessions of the agents' session library
// (hbn::MqttSession: the agents' connect options, TLS files and callbacks) that only connect and
// stay connected, retried by the session thread's rule.
//
//   HBN_ROOT=DIR bench_fleet_load HOST PORT SESSIONS [fixed|policy]
//
// The retry rule: "fixed" (default) the session thread's fixed retry before the reconnect policy: one attempt
// and then a second's pause while not connected, a lost connection retried at once; "policy" the reconnect
// policy of the Z-Wave session (hbn::ReconnectPolicy), fed as a session thread does.
//
// The session library routes the library's callbacks through 8 slots per process (an agent runs
// at most two sessions), so the client is a parent and one worker process per 8 sessions
// (HBN_FLEET_LOAD_PER_PROCESS=N for fewer); each worker runs its sessions' retries on one
// thread. With several sessions in one process, a broker restart leaves some of them
// "connecting" for good: no result ever comes for their connect, and the session's connect step
// only acts when disconnected (see bench/README.md). The worker counts such a session once its
// attempt is older than the connect time-out and 5 s, and makes its client anew (destroy,
// create) so the run goes on. HBN_FLEET_LOAD_DEBUG=1 has every worker print its sessions that
// are not connected every 5 s. The TLS files are DIR/certs/ca.crt, client.crt and client.key
// (no TLS when DIR/certs has no ca.crt). Every 100 ms the parent prints "epoch_ms connected
// cpu_ms stuck": sessions connected now, processor time of all workers so far, attempts found
// stuck so far. SIGTERM or SIGINT ends it and its workers.
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "mqtt_session.h"
#include "reconnect_policy.h"

namespace {

// Sessions per worker process.
int kPerProcess = 8;

volatile sig_atomic_t gStop = 0;
void onStop(int) { gStop = 1; }

int64_t monoMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

double wallMs() {
  timespec t{};
  clock_gettime(CLOCK_REALTIME, &t);
  return static_cast<double>(t.tv_sec) * 1000.0 + static_cast<double>(t.tv_nsec) / 1e6;
}

// One session: the library's callbacks only record what happened; the worker's loop acts on it.
class LoadSession : public hbn::SessionEvents {
 public:
  enum Event : int { kNone = 0, kSucceeded, kFailed, kLost };

  LoadSession(std::atomic<int>* connected, std::atomic<int>* stuck, bool usePolicy)
      : connected_(connected),
        stuck_(stuck),
        policy_(hbn::reconnectParamsFor(hbn::SessionKind::kZwave), &random_),
        usePolicy_(usePolicy),
        mqtt_(this) {}

  bool create(const std::string& host, int port, bool tls, int index) {
    char id[32];
    std::snprintf(id, sizeof id, "fleet-load-%05d", index);
    hbn::SessionSettings s;
    s.uri = (tls ? "ssl://" : "tcp://") + host + ":" + std::to_string(port);
    s.clientId = id;
    s.port = port;
    s.tls = tls;
    s.certificateDir = "/certs/";
    settings_ = s;
    return mqtt_.create("HBN_cloud_commMqttThread", s) == 0;
  }

  // One pass of the retry rule at `now`.
  void step(int64_t now) {
    switch (event_.exchange(kNone)) {
      case kSucceeded:
        if (usePolicy_) policy_.connected(now);
        break;
      case kFailed:
        nextAt_ = usePolicy_ ? now + policy_.failed(now) : attemptAt_ + 1000;
        break;
      case kLost:
        nextAt_ = usePolicy_ ? now + policy_.lost(now) : now;
        break;
      default:
        break;
    }
    if (mqtt_.state() == hbn::kConnecting &&
        now - attemptAt_ > (settings_.connectTimeoutSeconds + 5) * 1000LL) {
      stuck_->fetch_add(1);
      mqtt_.destroy();
      if (mqtt_.create("HBN_cloud_commMqttThread", settings_) != 0) return;
      nextAt_ = now;
    }
    if (mqtt_.state() == hbn::kDisconnected && now >= nextAt_) {
      attemptAt_ = now;
      // Not issued: as a failed attempt.
      if (mqtt_.connect() != 0) nextAt_ = usePolicy_ ? now + policy_.failed(now) : now + 1000;
    }
  }

  void show(int64_t now) const {
    if (mqtt_.state() != hbn::kConnected)
      std::fprintf(stderr, "%d: state %d next in %lld ms, attempt %lld ms ago, event %d\n", getpid(),
                   mqtt_.state(), static_cast<long long>(nextAt_ - now),
                   static_cast<long long>(now - attemptAt_), event_.load());
  }

  void connectSuccess(hbn::MqttSession& s) override {
    s.setState(hbn::kConnected);
    connected_->fetch_add(1);
    event_.store(kSucceeded);
  }
  void connectFailure(hbn::MqttSession& s) override {
    s.setState(hbn::kDisconnected);
    event_.store(kFailed);
  }
  void connectionLost(hbn::MqttSession& s) override {
    if (s.exchangeState(hbn::kDisconnected) == hbn::kConnected) connected_->fetch_sub(1);
    event_.store(kLost);
  }
  void messageArrived(hbn::MqttSession&, const char*, int, const void*, int) override {}

 private:
  std::atomic<int>* connected_;
  std::atomic<int>* stuck_;
  hbn::SessionSettings settings_;
  hbn::SeededRandom random_;
  hbn::ReconnectPolicy policy_;
  bool usePolicy_;
  std::atomic<int> event_{kNone};
  int64_t nextAt_ = 0, attemptAt_ = 0;
  hbn::MqttSession mqtt_;
};

[[noreturn]] void worker(const std::string& host, int port, bool tls, bool usePolicy, int first, int count,
                         std::atomic<int>* counters) {
  signal(SIGTERM, SIG_DFL);
  signal(SIGINT, SIG_DFL);
  // The parent ends this process; it ends too should the parent die first.
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  std::vector<std::unique_ptr<LoadSession>> sessions;
  for (int i = 0; i < count; ++i) {
    sessions.push_back(std::make_unique<LoadSession>(&counters[0], &counters[1], usePolicy));
    if (!sessions.back()->create(host, port, tls, first + i)) {
      std::fprintf(stderr, "bench_fleet_load: session %d not created\n", first + i);
      sessions.pop_back();
    }
  }
  const bool debug = std::getenv("HBN_FLEET_LOAD_DEBUG") != nullptr;
  int64_t shownAt = monoMs();
  for (;;) {
    const int64_t now = monoMs();
    for (auto& s : sessions) s->step(now);
    if (debug && now - shownAt > 5000) {
      shownAt = now;
      for (auto& s : sessions) s->show(now);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

// utime + stime of a process in ms.
double cpuOf(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  size_t close = text.rfind(')');
  if (close == std::string::npos) return 0;
  // Fields after the command: state is field 3; utime and stime are fields 14 and 15.
  std::vector<std::string> fields;
  size_t at = close + 2;
  while (at < text.size() && fields.size() < 13) {
    size_t space = text.find(' ', at);
    if (space == std::string::npos) break;
    fields.push_back(text.substr(at, space - at));
    at = space + 1;
  }
  if (fields.size() < 13) return 0;
  const double ticks = std::atof(fields[11].c_str()) + std::atof(fields[12].c_str());
  return ticks * 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4 || argc > 5) {
    std::fprintf(stderr, "usage: HBN_ROOT=DIR bench_fleet_load HOST PORT SESSIONS [fixed|policy]\n");
    return 2;
  }
  const std::string host = argv[1];
  const int port = std::atoi(argv[2]);
  const int sessions = std::atoi(argv[3]);
  const bool usePolicy = argc == 5 && std::string(argv[4]) == "policy";
  if (const char* per = std::getenv("HBN_FLEET_LOAD_PER_PROCESS"))
    kPerProcess = std::max(1, std::min(8, std::atoi(per)));
  const char* root = std::getenv("HBN_ROOT");
  const bool tls = root != nullptr && access((std::string(root) + "/certs/ca.crt").c_str(), R_OK) == 0;
  // Shared with the workers: sessions connected, attempts found stuck.
  auto* counters = static_cast<std::atomic<int>*>(
      mmap(nullptr, 2 * sizeof(std::atomic<int>), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
  if (counters == MAP_FAILED) return 1;
  new (&counters[0]) std::atomic<int>(0);
  new (&counters[1]) std::atomic<int>(0);
  signal(SIGTERM, onStop);
  signal(SIGINT, onStop);
  signal(SIGPIPE, SIG_IGN);

  std::vector<pid_t> workers;
  for (int first = 0; first < sessions && gStop == 0; first += kPerProcess) {
    pid_t pid = fork();
    if (pid == 0)
      worker(host, port, tls, usePolicy, first, std::min(kPerProcess, sessions - first), counters);
    if (pid > 0) workers.push_back(pid);
  }
  while (gStop == 0) {
    double cpu = 0;
    for (pid_t pid : workers) cpu += cpuOf(pid);
    std::printf("%.0f %d %.0f %d\n", wallMs(), counters[0].load(), cpu, counters[1].load());
    std::fflush(stdout);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  for (pid_t pid : workers) kill(pid, SIGKILL);
  for (pid_t pid : workers) waitpid(pid, nullptr, 0);
  return 0;
}
