// An agent as a process in a sandbox, for end-to-end tests and benchmarks: a private HBN_ROOT,
// a Mosquitto broker (plain or TLS with generated certificates), the configuration store seeded
// with mibctl, and the agent's standard output and error in files of the sandbox.
#pragma once
#include <string>
#include <utility>
#include <vector>

#include "hbn_broker.h"
#include "hbn_process.h"
#include "hbn_test.h"

namespace hbntest {

class AgentSandbox {
 public:
  explicit AgentSandbox(bool tls);
  ~AgentSandbox();
  AgentSandbox(const AgentSandbox&) = delete;
  AgentSandbox& operator=(const AgentSandbox&) = delete;

  Sandbox& sandbox() { return sb_; }
  Broker& broker() { return broker_; }
  Process& agent() { return agent_; }

  // Sets configuration-store ids with mibctl; "" on success, else what failed.
  std::string setIds(const std::vector<std::pair<std::string, std::string>>& ids);
  // Makes the broker's certificates (CA, server, client) and copies ca.crt, client.crt and
  // client.key into `certDir` of the sandbox (e.g. "/jffs2/mqtt/cloud/"). "" or what failed.
  std::string installCertificates(const std::string& certDir);

  // Starts `program` (a program of the build) with the sandbox's root; output in /agent.out and
  // /agent.err of the sandbox.
  bool startAgent(const std::string& program, const std::vector<std::string>& env = {},
                  const std::vector<std::string>& args = {});
  // The same with `prefix` before the program (e.g. NetLab::inNamespace(ns, {}) to run it in a
  // network namespace); the program is the build's, given by its full path.
  bool startAgentPrefixed(const std::vector<std::string>& prefix, const std::string& program,
                          const std::vector<std::string>& env = {},
                          const std::vector<std::string>& args = {});
  std::string out() const;
  std::string err() const;
  // Waits until the agent's output holds `text` at least `count` times.
  bool waitOut(const std::string& text, size_t count = 1, int timeoutMs = 5000) const;
  bool waitErr(const std::string& text, size_t count = 1, int timeoutMs = 5000) const;
  // "" while the agent runs and its standard error holds no sanitizer finding; else the problem.
  std::string problem();

 private:
  Sandbox sb_;
  Broker broker_;
  Process agent_;
};

}  // namespace hbntest
