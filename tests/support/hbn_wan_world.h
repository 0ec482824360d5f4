// A simulated WAN world for fail-over tests, the demo and the benchmark (root only): a box
// namespace whose WAN links ("eth0", "wwan0", "usb1" ...) lead into a cloud namespace. The cloud
// holds the broker and the ping target at one server address on its loopback, which the box
// reaches through any link by routing (never as a neighbour: the cloud answers ARP only for the
// addresses of the link asked on). The box prefers its links' default routes in the order given.
// Cutting a link drops, at the cloud's side, every packet to the box's end of it; the box is not
// told (its link stays up). Everything is removed again when the world is destroyed.
#pragma once
#include <map>
#include <string>
#include <vector>

#include "hbn_broker.h"
#include "hbn_netns.h"

namespace hbntest {

class WanWorld {
 public:
  WanWorld() = default;
  ~WanWorld();
  WanWorld(const WanWorld&) = delete;
  WanWorld& operator=(const WanWorld&) = delete;

  // Builds the namespaces, `links` in the box (default route metrics 10, 20, 30 ... in this order),
  // the server address, and starts `broker` in the cloud, listening there on the server address.
  // The box resolves names through its own hosts file only (see setHosts). "" on success, else
  // what failed.
  std::string build(const std::vector<std::string>& links, Broker& broker);

  const std::string& box() const { return box_; }
  const std::string& cloud() const { return cloud_; }
  // The server's address (broker and ping target).
  const std::string& server() const { return server_; }
  // The link named `name` ("" addresses when there is none).
  WanLink link(const std::string& name) const;
  NetLab& lab() { return lab_; }

  // Cuts the link (its packets stop) or restores it; "" or what failed.
  std::string cut(const std::string& name);
  std::string restore(const std::string& name);

  // The box's link that unbound traffic to the server takes now ("" when none).
  std::string routeToServer() const;
  // The box's default routes, "dev:metric" each in the kernel's order (preferred first).
  std::vector<std::string> defaultRoutes() const;
  // The box's hosts file (read by programs started in the box, at every look-up).
  bool setHosts(const std::string& content);
  // `argv` prefixed to run in the box.
  std::vector<std::string> inBox(const std::vector<std::string>& argv) const {
    return NetLab::inNamespace(box_, argv);
  }

 private:
  NetLab lab_;
  std::string box_, cloud_, server_, etcDir_;
  std::map<std::string, WanLink> links_;
};

}  // namespace hbntest
