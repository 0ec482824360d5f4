#include "box_fixture.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <json-c/json.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "hbn_netns.h"
#include "hbn_wait.h"

namespace boxtest {

namespace {

std::string harnessPath() {
  const char* source = std::getenv("HBN_SOURCE_DIR");
  return std::string(source != nullptr ? source : ".") + "/scripts/box";
}

std::string text(json_object* o, const char* key) {
  json_object* v = nullptr;
  return json_object_object_get_ex(o, key, &v) ? json_object_get_string(v) : "";
}

Agent agentOf(json_object* agents, const char* name) {
  json_object* a = nullptr;
  if (!json_object_object_get_ex(agents, name, &a)) return Agent();
  return Agent{text(a, "requests"), text(a, "answers"), text(a, "client")};
}

std::string pidNamespace(pid_t pid) {
  char link[64] = "";
  std::string path = "/proc/" + std::to_string(pid) + "/ns/pid";
  ssize_t n = readlink(path.c_str(), link, sizeof link - 1);
  return n > 0 ? std::string(link, static_cast<size_t>(n)) : "";
}

}  // namespace

Box::Box() {
  std::string pattern = "/tmp/hbn-box-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data()) != nullptr) dir_ = buffer.data();
}

Box::~Box() {
  if (dir_.empty()) return;
  if (upDone_) harness("down", {}, 60000);
  const bool failed = ::testing::Test::HasFailure();
  if (failed || std::getenv("HBN_BOX_KEEP") != nullptr) {
    std::printf("box folder kept: %s\n", dir_.c_str());
    return;
  }
  hbntest::run({"/bin/rm", "-rf", dir_}, {}, "", 60000);
}

hbntest::Result Box::harness(const std::string& command, const std::vector<std::string>& args,
                             int timeoutMs) const {
  std::vector<std::string> argv = {harnessPath(), command, dir_};
  argv.insert(argv.end(), args.begin(), args.end());
  return hbntest::run(argv, {}, "", timeoutMs);
}

std::string Box::up(const std::vector<std::string>& options) {
  if (dir_.empty()) return "no folder for the box";
  hbntest::Result r = harness("up", options);
  upDone_ = true;
  if (r.status != 0) return "scripts/box up: " + r.out + r.err;
  json_object* cloud = json_object_from_file((dir_ + "/cloud.json").c_str());
  if (cloud == nullptr) return "no cloud.json";
  cloudNs_ = text(cloud, "netns");
  host_ = text(cloud, "host");
  ca_ = text(cloud, "ca");
  cert_ = text(cloud, "cert");
  key_ = text(cloud, "key");
  json_object* v = nullptr;
  port_ = json_object_object_get_ex(cloud, "port", &v) ? json_object_get_int(v) : 0;
  json_object* agents = nullptr;
  if (json_object_object_get_ex(cloud, "agents", &agents)) {
    zwave_ = agentOf(agents, "zwave");
    router_ = agentOf(agents, "router");
    ota_ = agentOf(agents, "ota");
  }
  json_object* links = nullptr;
  if (json_object_object_get_ex(cloud, "links", &links)) {
    json_object_object_foreach(links, name, link) links_[name] = text(link, "box");
  }
  json_object_put(cloud);
  if (cloudNs_.empty() || port_ <= 0 || zwave_.requests.empty()) return "cloud.json lacks members";
  return "";
}

hbntest::Result Box::exec(const std::string& shellCommand, int timeoutMs) const {
  return harness("exec", {"--", "/bin/sh", "-c", shellCommand}, timeoutMs);
}

int Box::boots() const { return std::atoi(hbntest::readFile(dir_ + "/boots").c_str()); }

std::map<std::string, std::string> Box::status() const {
  std::map<std::string, std::string> out;
  std::istringstream lines(harness("status").out);
  std::string line;
  while (std::getline(lines, line)) {
    size_t eq = line.find('=');
    if (eq != std::string::npos) out[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return out;
}

std::string Box::console() const { return hbntest::readFile(dir_ + "/console.log"); }

bool Box::waitConsole(const std::string& what, size_t count, int timeoutMs) const {
  return hbntest::waitUntil([&] { return hbntest::countOf(console(), what) >= count; }, timeoutMs);
}

std::vector<pid_t> Box::processes() const {
  std::vector<pid_t> out;
  const std::string init = hbntest::readFile(dir_ + "/init.pid");
  const std::string ns = init.empty() ? "" : pidNamespace(std::atoi(init.c_str()));
  if (ns.empty()) return out;
  DIR* d = opendir("/proc");
  if (d == nullptr) return out;
  while (dirent* e = readdir(d)) {
    pid_t pid = std::atoi(e->d_name);
    if (pid > 0 && pidNamespace(pid) == ns) out.push_back(pid);
  }
  closedir(d);
  return out;
}

std::vector<pid_t> Box::pidsOf(const std::string& program) const {
  // The kernel keeps the first 15 characters of a program's name.
  const std::string comm = program.substr(0, 15);
  std::vector<pid_t> out;
  for (pid_t pid : processes()) {
    std::string name = hbntest::readFile("/proc/" + std::to_string(pid) + "/comm");
    if (!name.empty() && name.back() == '\n') name.pop_back();
    if (name == comm) out.push_back(pid);
  }
  return out;
}

uint64_t Box::cpuNs() const {
  uint64_t total = 0;
  for (pid_t pid : processes()) {
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR* d = opendir(tasks.c_str());
    if (d == nullptr) continue;
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] == '.') continue;
      std::istringstream in(hbntest::readFile(tasks + "/" + e->d_name + "/schedstat"));
      uint64_t ns = 0;
      if (in >> ns) total += ns;
    }
    closedir(d);
  }
  return total;
}

size_t Box::brokerMark() const { return hbntest::readFile(dir_ + "/cloud/mosquitto.log").size(); }

bool Box::published(const std::string& client, const std::string& topic, size_t mark) const {
  // The verbose log: "Received PUBLISH from CLIENT (d0, q1, r0, m1, 'TOPIC', ... (N bytes))".
  const std::string log = hbntest::readFile(dir_ + "/cloud/mosquitto.log");
  if (mark > log.size()) return false;
  const std::string from = "Received PUBLISH from " + client + " (";
  const std::string quotedTopic = "'" + topic + "'";
  for (size_t at = log.find(from, mark); at != std::string::npos; at = log.find(from, at + 1)) {
    size_t end = log.find('\n', at);
    if (log.substr(at, end - at).find(quotedTopic) != std::string::npos) return true;
  }
  return false;
}

std::string Box::linkAddress(const std::string& name) const {
  auto it = links_.find(name);
  return it == links_.end() ? "" : it->second;
}

std::unique_ptr<hbntest::MqttClient> Box::client(const std::string& id) const {
  hbntest::NetnsScope inCloud(cloudNs_);
  if (!inCloud.ok()) return nullptr;
  auto c = std::make_unique<hbntest::MqttClient>(host_, port_, ca_, cert_, key_, id);
  if (!c->ok() || !c->subscribe("gw/#")) return nullptr;
  return c;
}

std::string nextOn(hbntest::MqttClient& client, const std::string& topic, int timeoutMs) {
  hbntest::MqttClient::Message m;
  return client.next(topic, &m, timeoutMs) ? m.payload : "(none)";
}

std::string waitAnnouncements(const Box& box, size_t mark, int timeoutMs) {
  const std::vector<std::pair<const Agent*, std::string>> wanted = {
      {&box.zwave(), "connected"}, {&box.router(), "connected"}, {&box.ota(), "version"}};
  std::string missing;
  hbntest::waitUntil(
      [&] {
        missing.clear();
        for (const auto& [agent, topic] : wanted)
          if (!box.published(agent->client, agent->answers + topic, mark))
            missing += (missing.empty() ? "no " : ", ") + agent->client + " " + topic;
        return missing.empty();
      },
      timeoutMs);
  return missing;
}

}  // namespace boxtest
