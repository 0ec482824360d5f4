// The router cloud agent as a process in a sandbox, for its end-to-end tests and its benchmark:
// a (TLS) Mosquitto broker with certificates made for the test and installed under
// "/jffs2/mqtt/cloud/", the store seeded with mibctl (one wired WAN by default), the build's
// configtool on the sandbox's command path, recording fakes for the platform commands, and a
// test MQTT client that sees everything the agent publishes, and on request a recorder of all
// the broker's traffic for the MQTT contract check. No test-framework dependency.
#pragma once
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "hbn_agent_sandbox.h"
#include "hbn_broker.h"
#include "hbn_contract.h"
#include "hbn_mqtt_client.h"
#include "hbn_test.h"
#include "hbn_wait.h"

namespace router {

using hbntest::MqttClient;
using hbntest::waitUntil;

constexpr const char* kService = "svc9";
constexpr const char* kSerial = "RT0001";
constexpr const char* kVersion = "02.01.07.11";

// Ids of the wired WAN's settings block (type 0).
constexpr const char* kEnable0 = "7129";

class RouterWorld {
 public:
  // `tls`: the broker and both WAN blocks use TLS (else plain MQTT).
  explicit RouterWorld(bool tls = true) : tls_(tls), box_(tls) {}
  ~RouterWorld() {
    contract_.reset();
    client_.reset();
    box_.agent().kill();
  }

  hbntest::AgentSandbox& box() { return box_; }
  hbntest::Sandbox& sandbox() { return box_.sandbox(); }
  hbntest::Broker& broker() { return box_.broker(); }
  MqttClient& client() { return *client_; }

  static std::string req(const std::string& name, const std::string& serial = kSerial) {
    return std::string("req/") + kService + "/" + serial + "/" + name;
  }
  static std::string gw(const std::string& name, const std::string& serial = kSerial) {
    return std::string("gw/") + kService + "/" + serial + "/" + name;
  }

  // The block of WAN `type` (1: 7101, 2: 7115, else 7129) with identity, this broker and TLS.
  std::vector<std::pair<std::string, std::string>> wanBlock(int type, const std::string& serial,
                                                            const std::string& host = "127.0.0.1") {
    int base = type == 1 ? 7101 : (type == 2 ? 7115 : 7129);
    auto id = [base](int offset) { return std::to_string(base + offset); };
    return {{id(0), "1"},
            {id(1), serial},
            {id(2), kService},
            {id(3), host},
            {id(4), std::to_string(box_.broker().port())},
            {id(5), tls_ ? "1" : "0"}};
  }

  // Certificates, store, files, commands. `ids` are set after the default single wired WAN
  // (7144=3) with its block, so they may change any of it. With `recordConfigtool` the build's
  // configtool runs behind a script that records its command lines (recorded("configtool")),
  // else it is linked in directly. "" or what failed.
  std::string seed(const std::vector<std::pair<std::string, std::string>>& ids = {},
                   bool recordConfigtool = true) {
    hbntest::Sandbox& sb = sandbox();
    std::string problem = box_.installCertificates("/jffs2/mqtt/cloud/");
    if (!problem.empty()) return problem;
    std::vector<std::pair<std::string, std::string>> all = {{"7144", "3"}, {"7155", "0"}};
    for (const auto& id : wanBlock(0, kSerial)) all.push_back(id);
    for (const auto& id : ids) all.push_back(id);
    problem = box_.setIds(all);
    if (!problem.empty()) return problem;
    sb.write("/etc/build.info", std::string(kVersion) + "\r\n");
    sb.write("/var/lte0_ati.inf", "ATI\nModel X\nLTE-3.2.1\r\n");
    sb.write("/var/lte0_gip.inf", "100.64.0.9\n");
    sb.write("/var/tmp/timeStatus", "2\n");
    // Idle: a switch file that keeps saying "released" would post a release every cycle.
    sb.write("/proc/kv_pushsw", "I00000000\n");
    // The agent finds the build's configtool first on its command path.
    const std::string configtool = hbntest::binPath("configtool");
    if (access(configtool.c_str(), X_OK) != 0) return "no configtool in the build";
    if (recordConfigtool)
      sb.fakeCommand("configtool", "exec " + hbntest::programCommandLine("configtool") + " \"$@\"");
    else
      sb.installProgram("configtool");
    for (const char* command : {"reboot", "sysconf", "auxlink", "kv_lte_reset.sh"}) sb.fakeCommand(command);
    return "";
  }

  // From the next start() on, everything on the broker is recorded for checkContract().
  void recordContract() { recordContract_ = true; }
  // A request sent outside the contract on purpose (exact topic and payload).
  void malformed(const std::string& topic, const std::string& payload) {
    if (contract_) contract_->malformed(topic, payload);
  }
  // "" when everything recorded kept docs/mqtt/router-agent.yaml (or nothing was recorded), else
  // the checker's report. Ends the recording.
  std::string checkContract() {
    std::string report = contract_ ? contract_->check() : "";
    contract_.reset();
    return report;
  }

  // Broker, the contract recorder (when asked for), the test client on "gw/#", then the agent
  // with `env` ("K=V"), behind `prefix` (e.g. NetLab::inNamespace(ns, {})). "" or what failed.
  std::string start(const std::vector<std::string>& env = {}, const std::vector<std::string>& prefix = {}) {
    if (!box_.broker().start()) return "broker";
    if (recordContract_) {
      contract_.reset(new hbntest::ContractRecorder(box_.broker(), "router-agent"));
      if (!contract_->ok()) return "contract recorder";
    }
    client_.reset(new MqttClient(box_.broker(), hbntest::uniqueName("router-test")));
    if (!client_->ok() || !client_->subscribe("gw/#")) return "test client";
    if (!box_.startAgentPrefixed(prefix, "router-cloud-agent", env)) return "agent";
    return "";
  }

  // Publishes request `name` for `serial` until an answer on `answerTopic` arrives (the agent's
  // subscription may still be on its way); the answer's payload, or "<none>".
  std::string ask(const std::string& name, const std::string& payload, const std::string& answerTopic,
                  const std::string& serial = kSerial, int tries = 10) {
    MqttClient::Message m;
    for (int i = 0; i < tries; ++i) {
      if (!client_->publish(req(name, serial), payload)) return "<publish failed>";
      if (client_->next(answerTopic, &m, 1000)) return m.payload;
    }
    return "<none>";
  }

  // The "notAfter" date of the client certificate, "YYYY-MM-DD", as openssl reads it.
  std::string certificateExpiry() {
    hbntest::Result r =
        hbntest::run({"/usr/bin/openssl", "x509", "-noout", "-enddate", "-dateopt", "iso_8601", "-in",
                      box_.sandbox().path("/jffs2/mqtt/cloud/client.crt")});
    // notAfter=2026-12-12 05:00:00Z
    size_t at = r.out.find('=');
    return r.status == 0 && at != std::string::npos ? r.out.substr(at + 1, 10) : "<openssl: " + r.err + ">";
  }

  std::string err() const { return box_.err(); }
  std::string out() const { return box_.out(); }

 private:
  bool tls_;
  hbntest::AgentSandbox box_;
  std::unique_ptr<MqttClient> client_;
  bool recordContract_ = false;
  std::unique_ptr<hbntest::ContractRecorder> contract_;
};

}  // namespace router
