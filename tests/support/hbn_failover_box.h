// The router agent in a simulated WAN world (root only), for the fail-over tests and benchmark:
// a sandbox root with the sysconf stand-in, the box and cloud namespaces of WanWorld with the
// broker in the cloud, the configuration store seeded for the WAN links, and the agent run inside
// the box with its console and log in files of the sandbox.
#pragma once
#include <string>
#include <utility>
#include <vector>

#include <memory>

#include "hbn_agent_sandbox.h"
#include "hbn_contract.h"
#include "hbn_wan_world.h"

namespace hbntest {

using MibIds = std::vector<std::pair<std::string, std::string>>;

// Store ids of one WAN type's block: cloud enabled, serial "SER<type>", the server and port,
// plain TCP, link check of `checkMinutes` (0: off) and, for type 1, `optimize`.
MibIds wanBlockIds(int type, const std::string& server, int port, int checkMinutes, int optimize = 0);

class FailoverBox {
 public:
  FailoverBox() : agentBox_(false) {}
  ~FailoverBox() { agentBox_.agent().kill(); }
  FailoverBox(const FailoverBox&) = delete;
  FailoverBox& operator=(const FailoverBox&) = delete;

  // Builds the world with `links` (see WanWorld::build), the sandbox's folders (/var, /tmp,
  // /sys/class/net/<link>) and the sysconf stand-in at /bin/sysconf. "" or what failed.
  std::string build(const std::vector<std::string>& links);
  // Sets store ids (mibctl); "" or what failed.
  std::string configure(const MibIds& ids) { return agentBox_.setIds(ids); }
  // Starts the contract recorder in the cloud (everything on the broker is recorded from now on),
  // then router-cloud-agent inside the box with HBN_TIME_SCALE=`timeScale`.
  bool start(int timeScale);
  // "" when everything recorded kept docs/mqtt/router-agent.yaml (or nothing was recorded), else
  // the checker's report. Ends the recording.
  std::string checkContract();
  // A message the test sends outside the contract on purpose (exact topic and payload).
  void malformed(const std::string& topic, const std::string& payload) {
    if (contract_) contract_->malformed(topic, payload);
  }

  WanWorld& world() { return world_; }
  AgentSandbox& agentBox() { return agentBox_; }
  Sandbox& sandbox() { return agentBox_.sandbox(); }
  Broker& broker() { return agentBox_.broker(); }
  const std::string& server() const { return world_.server(); }

  // The agent's standard output, line by line, and from line `from` on.
  std::vector<std::string> lines(size_t from = 0) const;
  // Waits until a line that begins with `prefix` appears at index `from` or later; its index,
  // or -1 after the time-out.
  long waitLine(const std::string& prefix, size_t from = 0, int timeoutMs = 10000) const;
  // Lines recorded by the sysconf stand-in ("" none).
  std::string sysconfRecord();
  bool failoverMarker() { return sandbox().exists("/var/failover.inf"); }
  // The beginning of the notice line of `type`'s session changing to `connected` or not.
  static std::string noticeLine(int type, bool connected);

 private:
  WanWorld world_;
  AgentSandbox agentBox_;
  std::unique_ptr<ContractRecorder> contract_;
};

}  // namespace hbntest
