// The box boots from the installed tree: every agent announces itself, each program runs
// under its restart wrapper below BusyBox init with its threads named, the agents' log lines
// reach the box's system logger, and the three agents keep to their own requests on the one
// broker.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "box_fixture.h"
#include "hbn_netns.h"
#include "hbn_wait.h"

namespace {

std::set<std::string> threadNames(pid_t pid) {
  std::set<std::string> names;
  hbntest::Result r = hbntest::run({"/bin/sh", "-c", "cat /proc/" + std::to_string(pid) + "/task/*/comm"});
  std::istringstream lines(r.out);
  std::string line;
  while (std::getline(lines, line)) names.insert(line);
  return names;
}

pid_t parentOf(pid_t pid) {
  std::string stat = hbntest::readFile("/proc/" + std::to_string(pid) + "/stat");
  size_t close = stat.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream rest(stat.substr(close + 2));
  std::string state;
  pid_t parent = -1;
  rest >> state >> parent;
  return parent;
}

TEST(BoxBoot, AgentsAnnounceAndRunUnderInitWithTheirThreadNames) {
  if (!hbntest::needRoot()) return;
  boxtest::Box box;
  ASSERT_EQ(box.up(), "");
  EXPECT_EQ(box.boots(), 1);
  auto cloud = box.client("box-boot-test");
  ASSERT_NE(cloud, nullptr);
  // Boot to announcements: seconds on x86-64; the bound only tells a boot from a hang.
  EXPECT_EQ(boxtest::waitAnnouncements(box, 0, 60000), "") << box.console();

  const pid_t init = std::atoi(hbntest::readFile(box.dir() + "/init.pid").c_str());
  const std::map<std::string, std::set<std::string>> threads = {
      {"zwave-cloud-agent", {"core-msg", "core-cmd", "cloud-mqtt", "download"}},
      {"router-cloud-agent", {"cloud-mqtt-0"}},
      {"ota-agent", {"core-msg", "cloud-mqtt"}},
      {"script-runner", {}},
      {"zipgw-sim", {}},
      {"syslogd", {}}};
  for (const auto& [program, names] : threads) {
    std::vector<pid_t> pids = box.pidsOf(program);
    ASSERT_EQ(pids.size(), 1u) << program << " runs once";
    const pid_t wrapper = parentOf(pids[0]);
    EXPECT_EQ(hbntest::readFile("/proc/" + std::to_string(wrapper) + "/comm"), "hbn-restart\n") << program;
    EXPECT_EQ(parentOf(wrapper), init) << program << "'s wrapper is a child of init";
    std::set<std::string> seen = threadNames(pids[0]);
    for (const auto& name : names) EXPECT_EQ(seen.count(name), 1u) << program << " has no thread " << name;
  }
  std::map<std::string, std::string> status = box.status();
  EXPECT_EQ(status["state"], "running");
  EXPECT_EQ(status["boots"], "1");
  EXPECT_EQ(status["restarts"], "0") << box.console();
  EXPECT_EQ(status["process.init"], "1");

  // The agents' log lines are in the box's system log; the push switch's open failure (no
  // driver file in this tree) stays out of the console.
  hbntest::Result log = box.exec("logread | grep -c 'HBN'");
  EXPECT_EQ(log.status, 0) << log.out << log.err;
  EXPECT_GT(std::atoi(log.out.c_str()), 0);
  EXPECT_EQ(box.console().find("Process Info Open Fail"), std::string::npos);
  EXPECT_NE(box.exec("grep -c 'Process Info Open Fail' /var/log/zwave-cloud-agent.log").out, "0\n");

  // One broker, three identities: a Z-Wave request is answered by the Z-Wave agent alone, an
  // OTA request by the OTA agent alone.
  cloud->drain();
  ASSERT_TRUE(cloud->publish(box.zwave().requests + "version", ""));
  std::string first = boxtest::nextOn(*cloud, box.zwave().answers + "version", 10000);
  EXPECT_EQ(first.find("fw_version_lte"), std::string::npos) << "the OTA agent answered: " << first;
  EXPECT_EQ(boxtest::nextOn(*cloud, box.zwave().answers + "version", 2000), "(none)");
  ASSERT_TRUE(cloud->publish(box.ota().requests + "lteinfo", ""));
  EXPECT_EQ(boxtest::nextOn(*cloud, box.ota().answers + "lteinfo", 10000),
            "{\"imei\":\"356938035643809\",\"sno\":\"LTE0000123\"}");
}

}  // namespace
