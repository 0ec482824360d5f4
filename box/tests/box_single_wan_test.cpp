// A single WAN held down past its check time (one minute, a second under HBN_TIME_SCALE=60
// passed by the harness to every program of the box): the router agent ends with status 1 and
// is started again; once the link is back, it connects and announces itself.
#include <gtest/gtest.h>

#include <string>

#include "box_fixture.h"
#include "hbn_wait.h"

namespace {

hbntest::Result ip(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {"/usr/sbin/ip"};
  argv.insert(argv.end(), args.begin(), args.end());
  return hbntest::run(argv, {}, "", 10000);
}

TEST(BoxSingleWan, LinkDownPastItsCheckTimeRestartsTheRouterAgentWhichConnectsOnceItIsBack) {
  if (!hbntest::needRoot()) return;
  boxtest::Box box;
  ASSERT_EQ(box.up({"--wan", "single", "--env", "HBN_TIME_SCALE=60"}), "");
  auto cloud = box.client("box-single-wan-test");
  ASSERT_NE(cloud, nullptr);
  ASSERT_EQ(boxtest::waitAnnouncements(box, 0, 60000), "") << box.console();
  const std::string eth0 = box.linkAddress("eth0");
  ASSERT_NE(eth0, "");

  // The link's packets stop at the cloud's side; the box is not told.
  ASSERT_EQ(ip({"-n", box.cloudNetns(), "route", "add", "blackhole", eth0 + "/32"}).status, 0);
  const bool ended = box.waitConsole("hbn-restart: router-cloud-agent ended with exit status 1", 1, 60000);
  ASSERT_EQ(ip({"-n", box.cloudNetns(), "route", "del", "blackhole", eth0 + "/32"}).status, 0);
  ASSERT_TRUE(ended) << box.console();
  cloud->drain();
  EXPECT_NE(boxtest::nextOn(*cloud, box.router().answers + "connected", 90000), "(none)") << box.console();
  EXPECT_EQ(box.pidsOf("router-cloud-agent").size(), 1u);
  EXPECT_EQ(box.boots(), 1);
}

}  // namespace
