// Reboots that are real for everything in the box: a cloud "reboot all" runs the box's own
// reboot (sessions drop, a new boot with a new power-on time, announcements again); a good
// "config/reboot" is stored before the reboot and shows in the next upload; a bad one answers
// with its error document and does not reboot.
#include <gtest/gtest.h>

#include <string>

#include "box_fixture.h"
#include "hbn_wait.h"

namespace {

std::string member(const std::string& json, const std::string& name) {
  const std::string key = "\"" + name + "\":\"";
  size_t at = json.find(key);
  if (at == std::string::npos) return "";
  at += key.size();
  return json.substr(at, json.find('"', at) - at);
}

class BoxReboot : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!hbntest::needRoot()) return;
    ASSERT_EQ(box_.up(), "");
    cloud_ = box_.client("box-reboot-test");
    ASSERT_NE(cloud_, nullptr);
    ASSERT_EQ(boxtest::waitAnnouncements(box_, 0, 60000), "") << box_.console();
  }
  std::string routerVersion() {
    cloud_->drain();
    if (!cloud_->publish(box_.router().requests + "version", "")) return "";
    return boxtest::nextOn(*cloud_, box_.router().answers + "version", 10000);
  }
  // The broker's log: how many times a client id has connected.
  size_t connects(const std::string& clientId) {
    return hbntest::countOf(hbntest::readFile(box_.dir() + "/cloud/mosquitto.log"), " as " + clientId + " ");
  }

  boxtest::Box box_;
  std::unique_ptr<hbntest::MqttClient> cloud_;
};

TEST_F(BoxReboot, ControlRebootAllRebootsTheBox) {
  const std::string before = member(routerVersion(), "power_on");
  ASSERT_NE(before, "");
  const size_t zwaveConnects = connects(box_.zwave().client);
  size_t mark = box_.brokerMark();
  ASSERT_TRUE(cloud_->publish(box_.router().requests + "control", "{\"reboot\":\"all\"}"));
  ASSERT_TRUE(hbntest::waitUntil([&] { return box_.boots() == 2; }, 60000)) << box_.console();
  EXPECT_TRUE(box_.waitConsole("box: boot 1 ended: rebooted", 1, 1000)) << box_.console();
  EXPECT_EQ(boxtest::waitAnnouncements(box_, mark, 60000), "") << box_.console();
  // The old sessions ended and the agents connected anew.
  EXPECT_GT(connects(box_.zwave().client), zwaveConnects);
  const std::string after = member(routerVersion(), "power_on");
  EXPECT_NE(after, "");
  EXPECT_NE(after, before) << "no new power-on time";
  // The harness's reboot command does the same.
  mark = box_.brokerMark();
  ASSERT_EQ(box_.harness("reboot").status, 0);
  EXPECT_EQ(box_.boots(), 3);
  EXPECT_EQ(boxtest::waitAnnouncements(box_, mark, 60000), "") << box_.console();
}

TEST_F(BoxReboot, ConfigRebootStoresThenRebootsAndABadOneOnlyAnswersItsError) {
  // A bad document: the error document, nothing stored, no reboot.
  ASSERT_TRUE(cloud_->publish(box_.router().requests + "config/reboot",
                              "{\"setting\":{\"bogusKey1\":\"x\",\"mode\":\"mobile\"}}"));
  std::string err = boxtest::nextOn(*cloud_, box_.router().answers + "config/reboot/err", 20000);
  EXPECT_NE(err.find("bogusKey1"), std::string::npos) << err;
  std::this_thread::sleep_for(std::chrono::seconds(2));
  EXPECT_EQ(box_.boots(), 1);
  EXPECT_EQ(box_.exec("mibctl get 7255").out, "0\n");

  // A good one: stored, then the box reboots, and the setting is there afterwards.
  const size_t mark = box_.brokerMark();
  ASSERT_TRUE(
      cloud_->publish(box_.router().requests + "config/reboot", "{\"setting\":{\"mode\":\"mobile\"}}"));
  ASSERT_TRUE(hbntest::waitUntil([&] { return box_.boots() == 2; }, 60000)) << box_.console();
  EXPECT_EQ(boxtest::waitAnnouncements(box_, mark, 60000), "") << box_.console();
  EXPECT_EQ(box_.exec("mibctl get 7255").out, "1\n");
  cloud_->drain();
  ASSERT_TRUE(cloud_->publish(box_.router().requests + "control", "{\"upload\":\"config-user\"}"));
  std::string user = boxtest::nextOn(*cloud_, box_.router().answers + "config/user", 20000);
  EXPECT_NE(user.find("\"mode\":\"mobile\""), std::string::npos) << user;
  // The information report ran its shell commands under the box's BusyBox shell.
  cloud_->drain();
  ASSERT_TRUE(cloud_->publish(box_.router().requests + "control", "{\"upload\":\"config-info\"}"));
  std::string info = boxtest::nextOn(*cloud_, box_.router().answers + "config/info", 20000);
  EXPECT_NE(info.find("01.00.00.00"), std::string::npos) << info;
}

}  // namespace
