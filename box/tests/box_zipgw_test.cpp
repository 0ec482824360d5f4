// The Z/IP gateway killed inside the box: the Z-Wave agent ends with status 1, its wrapper
// starts it again, the gateway's wrapper starts the gateway again, and the Z-Wave side works
// once more (the node list asked of the new gateway) without a hand on the box.
#include <gtest/gtest.h>

#include <string>

#include "box_fixture.h"
#include "hbn_wait.h"

namespace {

TEST(BoxZipGateway, KilledGatewayRestartsTheZwaveAgentAndBothComeBack) {
  if (!hbntest::needRoot()) return;
  boxtest::Box box;
  ASSERT_EQ(box.up(), "");
  auto cloud = box.client("box-zipgw-test");
  ASSERT_NE(cloud, nullptr);
  ASSERT_EQ(boxtest::waitAnnouncements(box, 0, 60000), "") << box.console();
  const std::vector<pid_t> agentBefore = box.pidsOf("zwave-cloud-agent");
  ASSERT_EQ(agentBefore.size(), 1u);
  const std::string simLog = "cat /var/log/zipgw-sim.log";
  const size_t connectsBefore = hbntest::countOf(box.exec(simLog).out, "CONNECTED");

  cloud->drain();
  ASSERT_EQ(box.exec("killall zipgw-sim").status, 0);
  EXPECT_TRUE(box.waitConsole("hbn-restart: zwave-cloud-agent ended with exit status 1", 1, 30000))
      << box.console();
  EXPECT_TRUE(box.waitConsole("hbn-restart: zipgw-sim ended with", 1, 1000)) << box.console();
  // The new agent announces itself again and serves the cloud with the new gateway.
  EXPECT_NE(boxtest::nextOn(*cloud, box.zwave().answers + "connected", 60000), "(none)") << box.console();
  std::vector<pid_t> agentAfter = box.pidsOf("zwave-cloud-agent");
  ASSERT_EQ(agentAfter.size(), 1u);
  EXPECT_NE(agentAfter[0], agentBefore[0]);
  EXPECT_TRUE(hbntest::waitUntil(
      [&] { return hbntest::countOf(box.exec(simLog).out, "CONNECTED") > connectsBefore; }, 10000))
      << box.exec(simLog).out;
  cloud->drain();
  ASSERT_TRUE(cloud->publish(box.zwave().requests + "node_list", ""));
  std::string list = boxtest::nextOn(*cloud, box.zwave().answers + "node_list", 10000);
  EXPECT_NE(list.find("\"node_ids\":["), std::string::npos) << list;
  std::map<std::string, std::string> status = box.status();
  EXPECT_EQ(status["restarts.zwave-cloud-agent"], "1");
  EXPECT_EQ(status["boots"], "1");
}

}  // namespace
