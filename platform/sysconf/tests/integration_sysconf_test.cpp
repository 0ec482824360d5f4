// The sysconf stand-in in a simulated box with "eth0" (preferred) and "wwan0": what it records,
// how "switch_wan" moves the preferred default route in both directions while the link switched
// away from keeps a route of its own, and what it refuses.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <string>
#include <vector>

#include "hbn_broker.h"
#include "hbn_net.h"
#include "hbn_netns.h"
#include "hbn_test.h"
#include "hbn_wan_world.h"

namespace {

class SysconfBox : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!hbntest::needRoot()) return;
    std::string problem = world_.build({"eth0", "wwan0"}, broker_);
    ASSERT_EQ(problem, "");
  }

  hbntest::Result sysconf(const std::vector<std::string>& args) {
    std::vector<std::string> argv = hbntest::programArgv({hbntest::binPath("sysconf")});
    argv.insert(argv.end(), args.begin(), args.end());
    return hbntest::run(world_.inBox(argv), {"HBN_ROOT=" + sandbox_.root()});
  }

  // One echo to the server through `ifname` from inside the box, as the probes send it.
  int pingThrough(const char* ifname) {
    hbntest::NetnsScope inBox(world_.box());
    EXPECT_TRUE(inBox.ok());
    return HBN_util_netPing(ifname, inet_addr(world_.server().c_str()));
  }

  hbntest::Sandbox sandbox_;
  hbntest::WanWorld world_;
  hbntest::Broker broker_{sandbox_.root() + "/broker", false};
};

TEST_F(SysconfBox, SwitchWanMovesThePreferredRouteBothWaysAndKeepsTheOldLinkReachable) {
  sandbox_.mkdirs("/tmp");
  ASSERT_EQ(world_.defaultRoutes(), (std::vector<std::string>{"eth0:10", "wwan0:20"}));
  ASSERT_EQ(world_.routeToServer(), "eth0");

  hbntest::Result r = sysconf({"switch_wan", "eth0", "wwan0"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(world_.defaultRoutes(), (std::vector<std::string>{"wwan0:10", "eth0:20"}));
  EXPECT_EQ(world_.routeToServer(), "wwan0");
  // Bound to the link switched away from, the probe still finds its own route to the cloud.
  EXPECT_EQ(pingThrough("eth0"), 0);
  EXPECT_EQ(pingThrough("wwan0"), 0);

  // Again: nothing changes.
  r = sysconf({"switch_wan", "eth0", "wwan0"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(world_.defaultRoutes(), (std::vector<std::string>{"wwan0:10", "eth0:20"}));

  r = sysconf({"switch_wan", "wwan0", "eth0"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(world_.defaultRoutes(), (std::vector<std::string>{"eth0:10", "wwan0:20"}));
  EXPECT_EQ(world_.routeToServer(), "eth0");
  EXPECT_EQ(sandbox_.read("/tmp/sysconf.log"),
            "switch_wan eth0 wwan0\nswitch_wan eth0 wwan0\nswitch_wan wwan0 eth0\n");
}

TEST_F(SysconfBox, ALinkWithoutARouteOfItsOwnLosesTheCloud) {
  // The pitfall the kept route avoids: bound to a link without a route, every destination is
  // taken for a neighbour on that link, and no neighbour answers for the server.
  ASSERT_EQ(pingThrough("eth0"), 0);
  hbntest::Result r =
      hbntest::run({"/bin/sh", "-c", "ip -n " + world_.box() + " route del default dev eth0"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(pingThrough("eth0"), -1);
  EXPECT_EQ(pingThrough("wwan0"), 0);
}

TEST_F(SysconfBox, RefusesWhatItCannotDoAndOnlyRecordsOtherCommands) {
  sandbox_.mkdirs("/tmp");
  struct Case {
    std::vector<std::string> args;
    int status;
  };
  const std::vector<Case> cases = {
      {{"switch_wan", "eth0", "usb1"}, 1},     // no such link, no route to switch to
      {{"switch_wan", "eth0", "eth0"}, 1},     // the same link
      {{"switch_wan", "eth0", "wwan0 x"}, 1},  // not an interface name
      {{"switch_wan", "eth0"}, 2},             // usage
      {{"switch_lan", "br0", "restart"}, 0},   // recorded only
  };
  for (const auto& c : cases) {
    hbntest::Result r = sysconf(c.args);
    EXPECT_EQ(r.status, c.status) << c.args.back() << ": " << r.err;
  }
  EXPECT_EQ(world_.defaultRoutes(), (std::vector<std::string>{"eth0:10", "wwan0:20"}));
  EXPECT_EQ(sandbox_.read("/tmp/sysconf.log"),
            "switch_wan eth0 usb1\nswitch_wan eth0 eth0\nswitch_wan eth0 wwan0 x\nswitch_wan eth0\n"
            "switch_lan br0 restart\n");
  EXPECT_EQ(hbntest::run({hbntest::binPath("sysconf")}).status, 2);
}

}  // namespace
