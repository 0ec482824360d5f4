// The whole Z-Wave cloud agent as a process in a sandbox: a Mosquitto broker (plain or TLS),
// the Z/IP gateway simulator on the agent's pipes, the apmib store seeded with mibctl, and the
// agent's standard output and error captured in files. Shared by the end-to-end tests and the
// benchmark, so it has no test-framework dependency.
#pragma once
#include <string>
#include <utility>
#include <vector>

#include "hbn_agent_sandbox.h"
#include "hbn_broker.h"
#include "hbn_mqtt_client.h"
#include "hbn_process.h"
#include "hbn_test.h"
#include "hbn_wait.h"
#include "zipgw_sim_client.h"

namespace e2e {

using hbntest::countOf;
using hbntest::MqttClient;
using hbntest::nowMs;
using hbntest::readFile;
using hbntest::waitUntil;

// Identity the agent is seeded with; the request and answer prefixes follow from it.
constexpr const char* kService = "svc7";
constexpr const char* kSerial = "SN4711";

class AgentWorld {
 public:
  // `gatewayArgs` go to the simulator (for example {"--nodes", "2,3"}).
  explicit AgentWorld(bool tls, std::vector<std::string> gatewayArgs = {})
      : box_(tls), sim_(box_.sandbox().root(), std::move(gatewayArgs)) {}
  ~AgentWorld() { box_.agent().kill(); }

  hbntest::Sandbox& sandbox() { return box_.sandbox(); }
  hbntest::Broker& broker() { return box_.broker(); }
  zipgwsim::Client& gateway() { return sim_; }
  hbntest::Process& agent() { return box_.agent(); }

  static std::string req(const std::string& suffix) {
    return std::string("req/") + kService + "/" + kSerial + "/" + suffix;
  }
  static std::string gw(const std::string& suffix) {
    return std::string("gw/") + kService + "/" + kSerial + "/" + suffix;
  }
  static std::string sp(const std::string& suffix) {
    return std::string("sp/") + kService + "/" + kSerial + "/" + suffix;
  }

  // Settings images, push switch, apmib ids (with `extraIds` after the identity), build version
  // and, for TLS, the certificates the broker's CA signed. Empty string on success, else what
  // failed.
  std::string seed(const std::vector<std::pair<std::string, std::string>>& extraIds = {}) {
    hbntest::Sandbox& sb = sandbox();
    std::string image(7492, '\0');
    image.replace(0, 4, "HNVM");
    sb.write("/jffs2/hbn/setting.bin", image);
    sb.write("/etc/hbn/setting.bin", image);
    sb.write("/proc/kv_pushsw", "R00000000\n");
    sb.write("/etc/build.info", "02.03.04.05\n");
    sb.mkdirs("/var");
    sb.mkdirs("/tmp");
    std::vector<std::pair<std::string, std::string>> ids = {{"1410", kSerial},
                                                            {"1411", kService},
                                                            {"1412", "127.0.0.1"},
                                                            {"1413", std::to_string(broker().port())},
                                                            {"1414", broker().tls() ? "1" : "0"}};
    ids.insert(ids.end(), extraIds.begin(), extraIds.end());
    std::string failed = box_.setIds(ids);
    if (failed.empty() && broker().tls()) failed = box_.installCertificates("/jffs2/mqtt/cloud/");
    return failed;
  }

  // The simulator first (the core opens its pipes at start), then the agent.
  bool startGateway() { return sim_.start(); }
  bool startAgent() { return box_.startAgent("zwave-cloud-agent"); }

  std::string err() const { return box_.err(); }
  std::string out() const { return box_.out(); }
  // Waits until the agent's standard error holds `text` at least `count` times.
  bool waitErr(const std::string& text, size_t count = 1, int timeoutMs = 5000) const {
    return box_.waitErr(text, count, timeoutMs);
  }
  bool waitOut(const std::string& text, size_t count = 1, int timeoutMs = 5000) const {
    return box_.waitOut(text, count, timeoutMs);
  }

 private:
  hbntest::AgentSandbox box_;
  zipgwsim::Client sim_;
};

}  // namespace e2e
