#include "hbn_agent_sandbox.h"

#include <unistd.h>

#include "hbn_wait.h"

namespace hbntest {

AgentSandbox::AgentSandbox(bool tls) : broker_(sb_.root() + "/broker", tls) {}

AgentSandbox::~AgentSandbox() { agent_.kill(); }

std::string AgentSandbox::setIds(const std::vector<std::pair<std::string, std::string>>& ids) {
  // One mibctl for all of them: under an emulator every program start counts.
  if (ids.empty()) return "";
  std::vector<std::string> argv = {"mibctl", "set"};
  for (const auto& id : ids) {
    argv.push_back(id.first);
    argv.push_back(id.second);
  }
  Result r = run(argv);
  return r.status == 0 ? "" : "mibctl set: " + r.err;
}

std::string AgentSandbox::installCertificates(const std::string& certDir) {
  sb_.mkdirs("/broker");
  if (access((broker_.dir() + "/client.crt").c_str(), R_OK) != 0 && !makeCertificates(broker_.dir()))
    return "certificates";
  for (const char* f : {"ca.crt", "client.crt", "client.key"})
    sb_.write(certDir + f, readFile(broker_.dir() + "/" + f), 0600);
  return "";
}

bool AgentSandbox::startAgent(const std::string& program, const std::vector<std::string>& env,
                              const std::vector<std::string>& args) {
  std::vector<std::string> argv = {program};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<std::string> fullEnv = {"HBN_ROOT=" + sb_.root()};
  fullEnv.insert(fullEnv.end(), env.begin(), env.end());
  return agent_.start(argv, sb_.path("/agent.out"), sb_.path("/agent.err"), fullEnv);
}

bool AgentSandbox::startAgentPrefixed(const std::vector<std::string>& prefix, const std::string& program,
                                      const std::vector<std::string>& env,
                                      const std::vector<std::string>& args) {
  std::vector<std::string> command = {program.find('/') == std::string::npos ? binPath(program) : program};
  command.insert(command.end(), args.begin(), args.end());
  // The program behind the prefix goes through the emulator of a cross build.
  std::vector<std::string> argv = prefix;
  for (const auto& word : programArgv(command)) argv.push_back(word);
  std::vector<std::string> fullEnv = {"HBN_ROOT=" + sb_.root()};
  fullEnv.insert(fullEnv.end(), env.begin(), env.end());
  return agent_.start(argv, sb_.path("/agent.out"), sb_.path("/agent.err"), fullEnv);
}

std::string AgentSandbox::out() const { return readFile(sb_.path("/agent.out")); }
std::string AgentSandbox::err() const { return readFile(sb_.path("/agent.err")); }

bool AgentSandbox::waitOut(const std::string& text, size_t count, int timeoutMs) const {
  return waitUntil([&] { return countOf(out(), text) >= count; }, timeoutMs);
}

bool AgentSandbox::waitErr(const std::string& text, size_t count, int timeoutMs) const {
  return waitUntil([&] { return countOf(err(), text) >= count; }, timeoutMs);
}

std::string AgentSandbox::problem() {
  if (!agent_.running()) return "the agent ended (status " + std::to_string(agent_.status()) + ")";
  std::string text = err();
  for (const char* finding : {"Sanitizer", "runtime error:"}) {
    size_t at = text.find(finding);
    if (at != std::string::npos) return text.substr(at, 3000);
  }
  return "";
}

}  // namespace hbntest
