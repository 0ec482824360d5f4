#include "hbn_netns.h"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <mutex>
#include <set>
#include <sstream>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace hbntest {

namespace {

const char kNeedsRoot[] = "needs root for network namespaces; CI runs it as root";
const char kOwnNamespace[] = "/proc/thread-self/ns/net";
// Test processes of the whole machine allocate their link subnets under this lock.
const char kSubnetLock[] = "/tmp/hbn-netns.lock";
// 198.18.0.0/15, cut into /30 subnets.
constexpr uint32_t kSubnetBase = 0xC6120000u;
constexpr uint32_t kSubnetCount = (1u << 17) / 4;

std::atomic<int> counter{0};

std::string ipBinary() {
  for (const char* p : {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"})
    if (access(p, X_OK) == 0) return p;
  return "/usr/sbin/ip";
}

std::string dotted(uint32_t address) {
  in_addr a{};
  a.s_addr = htonl(address);
  char text[INET_ADDRSTRLEN] = "";
  inet_ntop(AF_INET, &a, text, sizeof text);
  return text;
}

bool sameNamespace(int fd) {
  struct stat mine {};
  struct stat other {};
  return fstat(fd, &other) == 0 && stat(kOwnNamespace, &mine) == 0 && mine.st_ino == other.st_ino &&
         mine.st_dev == other.st_dev;
}

// Puts the calling thread into namespace `fd` for the scope, when it is elsewhere.
class AtHome {
 public:
  explicit AtHome(int fd) {
    if (fd < 0 || sameNamespace(fd)) return;
    previous_ = open(kOwnNamespace, O_RDONLY | O_CLOEXEC);
    if (previous_ >= 0 && setns(fd, CLONE_NEWNET) != 0) {
      close(previous_);
      previous_ = -1;
    }
  }
  ~AtHome() {
    if (previous_ < 0) return;
    if (setns(previous_, CLONE_NEWNET) != 0) ADD_FAILURE() << "cannot return to the test's namespace";
    close(previous_);
  }
  AtHome(const AtHome&) = delete;
  AtHome& operator=(const AtHome&) = delete;

 private:
  int previous_ = -1;
};

// Namespaces of test processes that died without cleaning up (kept 10 minutes, so a process in
// another PID namespace is never robbed of a live one).
void reapStaleNamespaces() {
  static std::once_flag once;
  std::call_once(once, [] {
    DIR* dir = opendir("/run/netns");
    if (dir == nullptr) return;
    std::vector<std::string> stale;
    while (dirent* entry = readdir(dir)) {
      std::string name = entry->d_name;
      int pid = 0;
      int index = 0;
      char extra = 0;
      if (sscanf(name.c_str(), "hbn%dn%d%c", &pid, &index, &extra) != 2 || pid <= 0) continue;
      if (kill(pid, 0) == 0 || errno != ESRCH) continue;
      struct stat st {};
      if (stat(("/run/netns/" + name).c_str(), &st) == 0 && time(nullptr) - st.st_mtime > 600)
        stale.push_back(name);
    }
    closedir(dir);
    for (const auto& name : stale) run({ipBinary(), "netns", "del", name}, {}, "", 10000);
  });
}

}  // namespace

bool needRoot() {
  if (geteuid() == 0) return true;
  if (getenv("HBN_CI") != nullptr)
    [] { FAIL() << kNeedsRoot << " (HBN_CI is set: this test must run)"; }();
  else
    [] { GTEST_SKIP() << kNeedsRoot; }();
  return false;
}

NetnsScope::NetnsScope(const std::string& ns) {
  previous_ = open(kOwnNamespace, O_RDONLY | O_CLOEXEC);
  int target = open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
  entered_ = previous_ >= 0 && target >= 0 && setns(target, CLONE_NEWNET) == 0;
  if (target >= 0) close(target);
}

NetnsScope::~NetnsScope() {
  if (entered_ && setns(previous_, CLONE_NEWNET) != 0) ADD_FAILURE() << "cannot leave the namespace";
  if (previous_ >= 0) close(previous_);
}

NetLab::NetLab() {
  home_ = open(kOwnNamespace, O_RDONLY | O_CLOEXEC);
  reapStaleNamespaces();
}

NetLab::~NetLab() {
  AtHome home(home_);
  // Deleting one end of a veth pair deletes both; namespaces take their own links with them.
  for (const auto& link : homeLinks_) run({ipBinary(), "link", "del", link}, {}, "", 10000);
  for (const auto& ns : namespaces_) run({ipBinary(), "netns", "del", ns}, {}, "", 10000);
  if (home_ >= 0) close(home_);
}

bool NetLab::ip(const std::string& ns, const std::vector<std::string>& args) {
  std::vector<std::string> argv = {ipBinary()};
  if (!ns.empty()) argv.insert(argv.end(), {"-n", ns});
  argv.insert(argv.end(), args.begin(), args.end());
  AtHome home(home_);
  Result r = run(argv, {}, "", 10000);
  if (r.status == 0) return true;
  std::string command;
  for (const auto& a : argv) command += (command.empty() ? "" : " ") + a;
  error_ = command + ": " + r.err;
  return false;
}

std::string NetLab::addNamespace() {
  std::string name = "hbn" + std::to_string(getpid()) + "n" + std::to_string(counter++);
  if (!ip("", {"netns", "add", name})) return "";
  namespaces_.push_back(name);
  return ip(name, {"link", "set", "lo", "up"}) ? name : "";
}

std::string NetLab::uniqueLinkName() {
  return "hbn" + std::to_string(getpid()) + "l" + std::to_string(counter++);
}

bool NetLab::addVeth(const std::string& ns, const std::string& ifname, const std::string& peerNs,
                     const std::string& peerIf) {
  std::vector<std::string> args = {"link", "add", ifname};
  if (!ns.empty()) args.insert(args.end(), {"netns", ns});
  args.insert(args.end(), {"type", "veth", "peer", "name", peerIf});
  if (!peerNs.empty()) args.insert(args.end(), {"netns", peerNs});
  if (!ip("", args)) return false;
  if (ns.empty()) homeLinks_.push_back(ifname);
  if (peerNs.empty()) homeLinks_.push_back(peerIf);
  return setLink(ns, ifname, true) && setLink(peerNs, peerIf, true);
}

bool NetLab::addAddress(const std::string& ns, const std::string& ifname, const std::string& cidr) {
  return ip(ns, {"addr", "add", cidr, "dev", ifname});
}

bool NetLab::addRoute(const std::string& ns, const std::string& destination, const std::string& gateway,
                      const std::string& ifname, int metric) {
  return ip(ns,
            {"route", "add", destination, "via", gateway, "dev", ifname, "metric", std::to_string(metric)});
}

bool NetLab::setLink(const std::string& ns, const std::string& ifname, bool up) {
  return ip(ns, {"link", "set", ifname, up ? "up" : "down"});
}

bool NetLab::withFreeSubnet(const std::function<bool(uint32_t network)>& use) {
  static std::mutex processLock;
  static std::set<uint32_t> takenHere;  // subnets this process gave out, in any namespace
  std::lock_guard<std::mutex> guard(processLock);
  // The lock orders the choice against other test processes until the addresses are in place.
  int lockFd = open(kSubnetLock, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (lockFd < 0 || flock(lockFd, LOCK_EX) != 0) {
    error_ = std::string("cannot lock ") + kSubnetLock;
    if (lockFd >= 0) close(lockFd);
    return false;
  }
  std::set<uint32_t> inUse = takenHere;
  {
    AtHome home(home_);
    Result shown = run({ipBinary(), "-4", "-o", "addr", "show"}, {}, "", 10000);
    std::istringstream lines(shown.out);
    std::string word;
    while (lines >> word) {
      if (word != "inet" || !(lines >> word)) continue;
      in_addr a{};
      if (inet_pton(AF_INET, word.substr(0, word.find('/')).c_str(), &a) != 1) continue;
      uint32_t host = ntohl(a.s_addr);
      if (host - kSubnetBase < (1u << 17)) inUse.insert((host - kSubnetBase) / 4);
    }
  }
  uint32_t start = static_cast<uint32_t>(getpid()) * 64u % kSubnetCount;
  uint32_t subnet = kSubnetCount;
  for (uint32_t i = 0; i < kSubnetCount && subnet == kSubnetCount; ++i)
    if (inUse.count((start + i) % kSubnetCount) == 0) subnet = (start + i) % kSubnetCount;
  bool ok = subnet < kSubnetCount;
  if (ok) {
    takenHere.insert(subnet);
    ok = use(kSubnetBase + subnet * 4);
  } else {
    error_ = "no free subnet in 198.18.0.0/15";
  }
  flock(lockFd, LOCK_UN);
  close(lockFd);
  return ok;
}

WanLink NetLab::addWan(const std::string& boxNs, const std::string& ifname, const std::string& peerNs,
                       int metric) {
  WanLink link;
  link.box.ns = boxNs;
  link.peer.ns = peerNs;
  link.peer.ifname = peerNs.empty() ? uniqueLinkName() : ifname;
  bool ok = withFreeSubnet([&](uint32_t network) {
    link.peer.address = dotted(network + 1);
    link.box.address = dotted(network + 2);
    return addVeth(boxNs, ifname, peerNs, link.peer.ifname) &&
           addAddress(peerNs, link.peer.ifname, link.peer.address + "/30") &&
           addAddress(boxNs, ifname, link.box.address + "/30");
  });
  if (ok && metric >= 0) ok = addRoute(boxNs, "default", link.peer.address, ifname, metric);
  if (!ok) return WanLink();
  link.box.ifname = ifname;
  return link;
}

std::string NetLab::addHostAddress(const std::string& ns) {
  std::string address;
  bool ok = withFreeSubnet([&](uint32_t network) {
    address = dotted(network + 1);
    return addAddress(ns, "lo", address + "/32");
  });
  return ok ? address : "";
}

std::string NetLab::unusedAddress() {
  std::string address;
  bool ok = withFreeSubnet([&](uint32_t network) {
    address = dotted(network + 1);
    return true;
  });
  return ok ? address : "";
}

std::vector<std::string> NetLab::inNamespace(const std::string& ns, const std::vector<std::string>& argv) {
  std::vector<std::string> out = {ipBinary(), "netns", "exec", ns};
  out.insert(out.end(), argv.begin(), argv.end());
  return out;
}

}  // namespace hbntest
