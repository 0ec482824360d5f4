#include "hbn_wan_world.h"

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

namespace hbntest {

namespace {

std::string ipBinary() {
  for (const char* p : {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"})
    if (access(p, X_OK) == 0) return p;
  return "/usr/sbin/ip";
}

// Writes `value` to a /proc/sys file inside namespace `ns`; "" or what failed.
std::string sysctl(const std::string& ns, const std::string& key, const std::string& value) {
  Result r =
      run(NetLab::inNamespace(ns, {"sh", "-c", "echo " + value + " > /proc/sys/" + key}), {}, "", 10000);
  return r.status == 0 ? "" : "sysctl " + key + " in " + ns + ": " + r.err;
}

bool writeFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  return static_cast<bool>(out);
}

}  // namespace

WanWorld::~WanWorld() {
  if (etcDir_.empty()) return;
  unlink((etcDir_ + "/resolv.conf").c_str());
  unlink((etcDir_ + "/hosts").c_str());
  rmdir(etcDir_.c_str());
}

std::string WanWorld::build(const std::vector<std::string>& links, Broker& broker) {
  box_ = lab_.addNamespace();
  cloud_ = lab_.addNamespace();
  if (box_.empty() || cloud_.empty()) return lab_.error();
  // A multi-WAN router answers on the link a packet came in by, not by its preferred route;
  // the cloud answers ARP only for the addresses of the link asked on, like a real next hop.
  for (const auto& step : {sysctl(box_, "net/ipv4/conf/all/rp_filter", "2"),
                           sysctl(box_, "net/ipv4/conf/default/rp_filter", "2"),
                           sysctl(cloud_, "net/ipv4/conf/all/arp_ignore", "1")})
    if (!step.empty()) return step;
  int metric = 10;
  for (const auto& name : links) {
    WanLink link = lab_.addWan(box_, name, cloud_, metric);
    if (link.box.ifname.empty()) return lab_.error();
    links_[name] = link;
    metric += 10;
  }
  server_ = lab_.addHostAddress(cloud_);
  if (server_.empty()) return lab_.error();
  // Name look-ups inside the box see only these files (ip netns exec mounts them over /etc):
  // no query ever leaves for a name server.
  etcDir_ = "/etc/netns/" + box_;
  mkdir("/etc/netns", 0755);
  if (mkdir(etcDir_.c_str(), 0755) != 0 ||
      !writeFile(etcDir_ + "/resolv.conf", "nameserver 127.0.0.1\noptions timeout:1 attempts:1\n") ||
      !setHosts(""))
    return "cannot write " + etcDir_;
  NetnsScope inCloud(cloud_);
  if (!inCloud.ok()) return "cannot enter " + cloud_;
  broker.listenOn(server_);
  if (!broker.start()) return "the broker did not start in " + cloud_;
  return "";
}

WanLink WanWorld::link(const std::string& name) const {
  auto it = links_.find(name);
  return it == links_.end() ? WanLink() : it->second;
}

std::string WanWorld::cut(const std::string& name) {
  WanLink l = link(name);
  if (l.box.address.empty()) return "no link " + name;
  Result r =
      run({ipBinary(), "-n", cloud_, "route", "add", "blackhole", l.box.address + "/32"}, {}, "", 10000);
  return r.status == 0 ? "" : "cut " + name + ": " + r.err;
}

std::string WanWorld::restore(const std::string& name) {
  WanLink l = link(name);
  if (l.box.address.empty()) return "no link " + name;
  Result r =
      run({ipBinary(), "-n", cloud_, "route", "del", "blackhole", l.box.address + "/32"}, {}, "", 10000);
  return r.status == 0 ? "" : "restore " + name + ": " + r.err;
}

std::string WanWorld::routeToServer() const {
  Result r = run({ipBinary(), "-n", box_, "-4", "-o", "route", "get", server_}, {}, "", 10000);
  std::istringstream words(r.out);
  std::string word;
  while (words >> word)
    if (word == "dev" && words >> word) return word;
  return "";
}

std::vector<std::string> WanWorld::defaultRoutes() const {
  Result r = run({ipBinary(), "-n", box_, "-4", "-o", "route", "show", "default"}, {}, "", 10000);
  std::vector<std::string> routes;
  std::istringstream lines(r.out);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream words(line);
    std::string word, dev, metric = "0";
    while (words >> word) {
      if (word == "dev") words >> dev;
      if (word == "metric") words >> metric;
    }
    if (!dev.empty()) routes.push_back(dev + ":" + metric);
  }
  return routes;
}

bool WanWorld::setHosts(const std::string& content) {
  // Rewritten in place: the box's programs see the file through a mount of this very file.
  return !etcDir_.empty() && writeFile(etcDir_ + "/hosts", "127.0.0.1 localhost\n" + content);
}

}  // namespace hbntest
