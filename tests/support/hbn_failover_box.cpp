#include "hbn_failover_box.h"

#include <unistd.h>

#include <sstream>

#include "hbn_netns.h"
#include "hbn_wait.h"

namespace hbntest {

namespace {

// First id of each WAN type's block of 14.
int blockStart(int type) { return type == 1 ? 7101 : type == 2 ? 7115 : 7129; }

}  // namespace

MibIds wanBlockIds(int type, const std::string& server, int port, int checkMinutes, int optimize) {
  const int b = blockStart(type);
  MibIds ids = {{std::to_string(b), "1"},
                {std::to_string(b + 1), "SER" + std::to_string(type)},
                {std::to_string(b + 3), server},
                {std::to_string(b + 4), std::to_string(port)},
                {std::to_string(b + 11), checkMinutes > 0 ? "1" : "0"},
                {std::to_string(b + 12), std::to_string(checkMinutes)}};
  if (type == 1) ids.push_back({std::to_string(b + 13), std::to_string(optimize)});
  return ids;
}

std::string FailoverBox::build(const std::vector<std::string>& links) {
  std::string problem = world_.build(links, agentBox_.broker());
  if (!problem.empty()) return problem;
  Sandbox& sb = agentBox_.sandbox();
  sb.mkdirs("/var");
  sb.mkdirs("/tmp");
  sb.mkdirs("/bin");
  // The sessions look for their interface under the root.
  for (const auto& link : links) sb.mkdirs("/sys/class/net/" + link);
  sb.installProgram("sysconf");
  return "";
}

bool FailoverBox::start(int timeScale) {
  {
    // The broker lives in the cloud: so does the recorder's client.
    NetnsScope inCloud(world_.cloud());
    contract_.reset(new ContractRecorder(agentBox_.broker(), "router-agent"));
    if (!inCloud.ok() || !contract_->ok()) return false;
  }
  std::vector<std::string> inBox = world_.inBox(programArgv({binPath("router-cloud-agent")}));
  std::vector<std::string> args(inBox.begin() + 1, inBox.end());
  return agentBox_.startAgent(inBox.front(), {"HBN_TIME_SCALE=" + std::to_string(timeScale)}, args);
}

std::string FailoverBox::checkContract() {
  std::string report = contract_ ? contract_->check() : "";
  contract_.reset();
  return report;
}

std::vector<std::string> FailoverBox::lines(size_t from) const {
  std::istringstream in(agentBox_.out());
  std::vector<std::string> all;
  std::string line;
  for (size_t i = 0; std::getline(in, line); ++i)
    if (i >= from) all.push_back(line);
  return all;
}

long FailoverBox::waitLine(const std::string& prefix, size_t from, int timeoutMs) const {
  long found = -1;
  waitUntil(
      [&] {
        std::vector<std::string> all = lines();
        for (size_t i = from; i < all.size(); ++i)
          if (all[i].compare(0, prefix.size(), prefix) == 0) {
            found = static_cast<long>(i);
            return true;
          }
        return false;
      },
      timeoutMs);
  return found;
}

std::string FailoverBox::sysconfRecord() { return readFile(sandbox().path("/tmp/sysconf.log")); }

std::string FailoverBox::noticeLine(int type, bool connected) {
  return "KV_TX440:HBNKV_cloudConnectNotice:kind=" + std::to_string(type) +
         ",state/new=" + (connected ? "T" : "F");
}

}  // namespace hbntest
