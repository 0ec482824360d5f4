// The platform seam: with a test platform installed, the framework's clock, sleeps, queue waits,
// commands, paths and interface checks are the test's, and nothing waits or runs for real.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "hbn_os.h"
#include "hbn_path.h"
#include "hbn_platform.h"

namespace {

class Platform : public ::testing::Test {
 protected:
  void SetUp() override { hbn::setPlatform(&test_); }
  void TearDown() override { hbn::setPlatform(nullptr); }
  hbn::TestPlatform test_;
};

TEST_F(Platform, ClockSleepsAndWaitsAreTheTestsAndNeverBlock) {
  test_.setScale(60);
  test_.advance(1000);
  EXPECT_EQ(HBN_time_scaledNowMs(), 60000);
  EXPECT_EQ(HBN_time_scaled(60000), 1000);
  const auto start = std::chrono::steady_clock::now();
  HBN_thread_sleep(3600 * 1000);  // an hour, at once
  EXPECT_EQ(test_.monotonicMs(), 1000 + 3600 * 1000);

  ASSERT_EQ(HBN_os_initialize(), 0);
  HBN_queue_t* queue = nullptr;
  ASSERT_EQ(HBN_queue_create(&queue), 0);
  uint32_t a, b, c, d;
  uintptr_t e;
  EXPECT_EQ(HBN_queue_receiveTimeout(queue, 5000, &a, &b, &c, &d, &e), 1);  // empty: timed out
  ASSERT_EQ(HBN_queue_send(queue, 7, 1, 2, 3, 0), 0);
  EXPECT_EQ(HBN_queue_receiveTimeout(queue, 5000, &a, &b, &c, &d, &e), 0);
  EXPECT_EQ(a, 7u);
  HBN_queue_delete(queue);
  EXPECT_EQ(HBN_os_finalize(), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  EXPECT_GE(test_.monotonicMs(), 1000 + 3600 * 1000 + 5000);
}

TEST_F(Platform, CommandsPathsAndInterfacesAreTheTests) {
  std::vector<std::string> seen;
  test_.setCommands([&](const char* line, const char* const argv[], long timeoutMs) {
    seen.push_back(line != nullptr ? std::string(line) : std::string("exec ") + argv[0]);
    return timeoutMs > 0 ? -2 : 0;
  });
  EXPECT_EQ(HBN_cmd_system("reboot"), 0);
  EXPECT_EQ(HBN_cmd_systemTimeout("sysconf switch_wan eth0 wwan0", 30000), -2);
  const char* argv[] = {"configtool", "dumpInfo", "/tmp/x", nullptr};
  EXPECT_EQ(HBN_cmd_exec(argv), 0);
  EXPECT_EQ(seen, (std::vector<std::string>{"reboot", "sysconf switch_wan eth0 wwan0", "exec configtool"}));

  test_.setRoot("/sandbox");
  EXPECT_EQ(HBN_path("/var/pqv_version"), "/sandbox/var/pqv_version");
  test_.addInterface("eth0");
  EXPECT_TRUE(hbn::platform().interfaceExists("eth0"));
  EXPECT_FALSE(hbn::platform().interfaceExists("wwan0"));
}

}  // namespace
