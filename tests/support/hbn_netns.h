// Network namespaces and veth links for tests that bind to interfaces, built on `ip` (iproute2).
// A NetLab removes everything it made when destroyed, also after a failed assertion.
//
// Namespaces and threads: a socket lives in the network namespace of the thread that creates it,
// and a new thread starts in its creator's namespace. Paho's send and receive threads create the
// sockets of all clients of a process; they start at the first MQTTAsync_connect (again after
// every client was destroyed) and stay in the namespace of the thread that made that call.
// So a test enters the namespace (NetnsScope) before its first connect, and leaves it before it
// starts programs that belong to the root namespace (the broker).
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "hbn_test.h"

namespace hbntest {

// True when running as root. Otherwise records a skip ("needs root for network namespaces; CI
// runs it as root"), or a failure when HBN_CI is set, and returns false. Use it as
// `if (!hbntest::needRoot()) return;` in a test body or a fixture's SetUp().
bool needRoot();

// Runs the calling thread in namespace `ns` (a name made by a NetLab) until destroyed, then back
// in the namespace it was in. Threads started meanwhile stay in `ns`.
class NetnsScope {
 public:
  explicit NetnsScope(const std::string& ns);
  ~NetnsScope();
  NetnsScope(const NetnsScope&) = delete;
  NetnsScope& operator=(const NetnsScope&) = delete;
  bool ok() const { return entered_; }

 private:
  int previous_ = -1;
  bool entered_ = false;
};

// One end of a link in a namespace, with its IPv4 address.
struct LinkEnd {
  std::string ns;  // "" for the lab's own namespace (normally the root namespace)
  std::string ifname;
  std::string address;  // dotted decimal, on a /30 shared with the other end
};

// A WAN link of a simulated box: `box` in the box's namespace, `peer` where it leads.
struct WanLink {
  LinkEnd box;
  LinkEnd peer;
};

// Namespaces and links of one test. Namespace names are unique per process ("hbn<pid>n<k>"),
// and so are link names in the lab's own namespace ("hbn<pid>l<k>", within the 15 characters an
// interface name may have). Every step returns false (or "") on failure; error() says which.
// The lab's commands run in the namespace the lab was made in, whichever the calling thread is in.
class NetLab {
 public:
  NetLab();
  ~NetLab();
  NetLab(const NetLab&) = delete;
  NetLab& operator=(const NetLab&) = delete;
  // The command and output of the last step that failed ("" while none did).
  const std::string& error() const { return error_; }

  // A new namespace with its loopback up; its name, "" on failure.
  std::string addNamespace();
  // A veth pair: `ifname` in `ns`, `peerIf` in `peerNs` ("" for the lab's own namespace; take a
  // name there from uniqueLinkName()). Both ends are up.
  bool addVeth(const std::string& ns, const std::string& ifname, const std::string& peerNs,
               const std::string& peerIf);
  // `cidr` ("198.18.0.1/30") on `ifname` in `ns`.
  bool addAddress(const std::string& ns, const std::string& ifname, const std::string& cidr);
  // A route in `ns`: `destination` ("default" or "a.b.c.d/n") via `gateway` on `ifname`.
  bool addRoute(const std::string& ns, const std::string& destination, const std::string& gateway,
                const std::string& ifname, int metric);
  bool setLink(const std::string& ns, const std::string& ifname, bool up);
  // A link name unused in the lab's own namespace.
  std::string uniqueLinkName();

  // A WAN link of a box: a veth `ifname` in `boxNs` whose peer is in `peerNs` ("" for the lab's
  // own namespace, under a unique name), a /30 of 198.18.0.0/15 (the range set aside for network
  // tests) not in use on this machine, the peer's address on one end and the box's on the other,
  // and, with `metric` >= 0, a default route in the box via the peer with that metric. On failure
  // the returned link's box.ifname is empty.
  WanLink addWan(const std::string& boxNs, const std::string& ifname, const std::string& peerNs, int metric);

  // An address of 198.18.0.0/15 on the loopback of `ns` (a /32), for a host that every link into
  // `ns` reaches by routing rather than as a neighbour (a server of a simulated cloud). "" on failure.
  std::string addHostAddress(const std::string& ns);
  // An address of 198.18.0.0/15 that no namespace of this lab holds (a host that never answers).
  std::string unusedAddress();

  // `argv` prefixed so that it runs inside `ns` (ip netns exec <ns> ...), for hbntest::run().
  static std::vector<std::string> inNamespace(const std::string& ns, const std::vector<std::string>& argv);

 private:
  bool ip(const std::string& ns, const std::vector<std::string>& args);
  // Calls `use` with the network address of a /30 not in use by this process nor in the lab's own
  // namespace, under a machine-wide lock; its result.
  bool withFreeSubnet(const std::function<bool(uint32_t network)>& use);

  int home_ = -1;  // the namespace the lab was made in
  std::vector<std::string> namespaces_;
  std::vector<std::string> homeLinks_;
  std::string error_;
};

}  // namespace hbntest
