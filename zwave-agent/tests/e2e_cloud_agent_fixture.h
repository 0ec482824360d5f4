// The whole Z-Wave cloud agent as a process in a sandbox: a Mosquitto broker (plain or TLS),
// the Z/IP gateway simulator on the agent's pipes, the apmib store seeded with mibctl, and the
// agent's standard output and error captured in files. Shared by the end-to-end tests and the
// benchmark, so it has no test-framework dependency.
#pragma once
#include <sys/prctl.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "hbn_broker.h"
#include "hbn_test.h"
#include "zipgw_sim_client.h"

namespace e2e {

using Clock = std::chrono::steady_clock;

template <typename Pred>
bool waitUntil(Pred pred, int timeoutMs) {
  auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (pred()) return true;
    if (Clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

inline size_t countOf(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
  return n;
}

// A child process with standard output and error in files; killed on destruction.
class Process {
 public:
  Process() = default;
  ~Process() { kill(); }
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  bool start(const std::string& program, const std::string& outPath, const std::string& errPath) {
    std::vector<std::string> words = hbntest::programArgv({program});
    std::vector<char*> args = hbntest::execArgs(words);
    pid_ = fork();
    if (pid_ == 0) {
      prctl(PR_SET_PDEATHSIG, SIGTERM);  // never outlive a test that died
      int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (out >= 0) dup2(out, 1);
      if (err >= 0) dup2(err, 2);
      execv(args[0], args.data());
      _exit(127);
    }
    return pid_ > 0;
  }
  // True while the process has not ended.
  bool running() {
    if (pid_ <= 0) return false;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return false;
    }
    return true;
  }
  void kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
};

// Identity the agent is seeded with; the request and answer prefixes follow from it.
constexpr const char* kService = "svc7";
constexpr const char* kSerial = "SN4711";

class AgentWorld {
 public:
  // `gatewayArgs` go to the simulator (for example {"--nodes", "2,3"}).
  explicit AgentWorld(bool tls, std::vector<std::string> gatewayArgs = {})
      : broker_(sb_.root() + "/broker", tls), sim_(sb_.root(), std::move(gatewayArgs)) {}
  ~AgentWorld() { agent_.kill(); }

  hbntest::Sandbox& sandbox() { return sb_; }
  hbntest::Broker& broker() { return broker_; }
  zipgwsim::Client& gateway() { return sim_; }
  Process& agent() { return agent_; }

  static std::string req(const std::string& suffix) {
    return std::string("req/") + kService + "/" + kSerial + "/" + suffix;
  }
  static std::string gw(const std::string& suffix) {
    return std::string("gw/") + kService + "/" + kSerial + "/" + suffix;
  }
  static std::string sp(const std::string& suffix) {
    return std::string("sp/") + kService + "/" + kSerial + "/" + suffix;
  }

  // Settings images, push switch, apmib ids, build version and, for TLS, the certificates
  // the broker's CA signed. Empty string on success, else what failed.
  std::string seed() {
    std::string image(7492, '\0');
    image.replace(0, 4, "HNVM");
    sb_.write("/jffs2/hbn/setting.bin", image);
    sb_.write("/etc/hbn/setting.bin", image);
    sb_.write("/proc/kv_pushsw", "R00000000\n");
    sb_.write("/etc/build.info", "02.03.04.05\n");
    sb_.mkdirs("/var");
    sb_.mkdirs("/tmp");
    const std::vector<std::pair<std::string, std::string>> ids = {{"1410", kSerial},
                                                                  {"1411", kService},
                                                                  {"1412", "127.0.0.1"},
                                                                  {"1413", std::to_string(broker_.port())},
                                                                  {"1414", broker_.tls() ? "1" : "0"}};
    for (const auto& id : ids) {
      auto r = hbntest::run({"mibctl", "set", id.first, id.second});
      if (r.status != 0) return "mibctl set " + id.first + ": " + r.err;
    }
    if (broker_.tls()) {
      sb_.mkdirs("/broker");
      if (!hbntest::makeCertificates(broker_.dir())) return "certificates";
      for (const char* f : {"ca.crt", "client.crt", "client.key"})
        sb_.write(std::string("/jffs2/mqtt/cloud/") + f, readFile(broker_.dir() + "/" + f), 0600);
    }
    return "";
  }

  // The simulator first (the core opens its pipes at start), then the agent.
  bool startGateway() { return sim_.start(); }
  bool startAgent() {
    return agent_.start(hbntest::binPath("zwave-cloud-agent"), sb_.path("/agent.out"),
                        sb_.path("/agent.err"));
  }

  std::string err() const { return readFile(sb_.path("/agent.err")); }
  std::string out() const { return readFile(sb_.path("/agent.out")); }
  // Waits until the agent's standard error holds `text` at least `count` times.
  bool waitErr(const std::string& text, size_t count = 1, int timeoutMs = 5000) const {
    return waitUntil([&] { return countOf(err(), text) >= count; }, timeoutMs);
  }
  bool waitOut(const std::string& text, size_t count = 1, int timeoutMs = 5000) const {
    return waitUntil([&] { return countOf(out(), text) >= count; }, timeoutMs);
  }

 private:
  hbntest::Sandbox sb_;
  hbntest::Broker broker_;
  zipgwsim::Client sim_;
  Process agent_;
};

}  // namespace e2e
