// Push switch: driver readings and the hold-level ladder, driven cycle by cycle against a
// real driver file and a real message queue.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <mqueue.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "hbn_test.h"
#include "pushsw.h"

namespace {

class PushSwitch : public ::testing::Test {
 protected:
  void SetUp() override {
    name_ = hbntest::uniqueName("/pushsw");
    setenv("HBN_SCRIPT_QUEUE", name_.c_str(), 1);
    queue_ = mq_open(name_.c_str(), O_CREAT | O_EXCL | O_RDONLY | O_NONBLOCK, 0600, nullptr);
    ASSERT_NE(queue_, static_cast<mqd_t>(-1));
  }
  void TearDown() override {
    mq_close(queue_);
    mq_unlink(name_.c_str());
    unsetenv("HBN_SCRIPT_QUEUE");
  }
  // One monitor cycle with `reading` in the driver file; the messages it sent.
  std::vector<std::string> cycle(const std::string& reading) {
    sb_.write("/proc/kv_pushsw", reading);
    pushSwitchStep(&state_);
    std::vector<std::string> out;
    char buf[8192];
    ssize_t n;
    while ((n = mq_receive(queue_, buf, sizeof buf, nullptr)) >= 0)
      out.emplace_back(buf, static_cast<size_t>(n));
    return out;
  }
  // Runs the readings in turn and collects every message.
  std::vector<std::string> run(const std::vector<std::string>& readings) {
    std::vector<std::string> all;
    for (const auto& r : readings)
      for (auto& m : cycle(r)) all.push_back(m);
    return all;
  }

  hbntest::Sandbox sb_;
  std::string name_;
  mqd_t queue_ = static_cast<mqd_t>(-1);
  pushSwitchState_t state_;
};

using Msgs = std::vector<std::string>;

TEST_F(PushSwitch, ReadParsesOnlyExactTenByteReadings) {
  struct Case {
    const char* text;
    int result, state;
    uint32_t ms;
  } cases[] = {
      {"P000007D0\n", 0, PUSHSW_PRESSED, 2000},
      {"R0000ea60\n", 0, PUSHSW_RELEASED, 60000},
      {"X00000010\n", 0, PUSHSW_IDLE, 16},
      {"PFFFFFFFF\n", 0, PUSHSW_PRESSED, 0xFFFFFFFFu},
      {"P000007D0", -1, 0, 0},      // 9 bytes
      {"P000007D0\n\n", -1, 0, 0},  // 11 bytes
      {"P0000G7D0\n", -1, 0, 0},    // not a hexadecimal digit
      {"P 00007D0\n", -1, 0, 0},
      {"", -1, 0, 0},
  };
  for (const auto& c : cases) {
    sb_.write("/proc/kv_pushsw", c.text);
    int state = 9;
    uint32_t ms = 9;
    EXPECT_EQ(pushSwitchRead(&state, &ms), c.result) << c.text;
    EXPECT_EQ(state, c.state) << c.text;
    EXPECT_EQ(ms, c.ms) << c.text;
  }
  std::remove(sb_.path("/proc/kv_pushsw").c_str());
  int state = 9;
  uint32_t ms = 9;
  EXPECT_EQ(pushSwitchRead(&state, &ms), -1);
  EXPECT_EQ(state, 0);
}

TEST_F(PushSwitch, Ladder) {
  const std::string R0 = "R00000000\n";
  struct Case {
    const char* what;
    std::vector<std::string> readings;
    Msgs expected;
  } cases[] = {
      {"press 2000 ms reports level 1 once", {R0, "P000007D0\n", "P000007D0\n", "P00000BB7\n"}, {"0,1"}},
      {"a long first reading climbs one rung per cycle",
       {R0, "P00003E80\n", "P00003E80\n", "P00003E80\n", "P00003E80\n", "P00003E80\n", "P00003E80\n"},
       {"0,1", "0,3", "0,5", "0,10", "0,15"}},
      {"release after 999 ms", {R0, "R000003E7\n"}, {"1,0"}},
      {"release after 1000 ms", {R0, "R000003E8\n"}, {"1,1"}},
      {"release after 2999 ms", {R0, "R00000BB7\n"}, {"1,1"}},
      {"release after 9999 ms", {R0, "R0000270F\n"}, {"1,5"}},
      {"release after 15000 ms", {R0, "R00003A98\n"}, {"1,15"}},
      {"press then release", {R0, "P00000BB8\n", "R00000FA0\n"}, {"0,1", "1,3"}},
      {"pressed at start: nothing until seen released",
       {"P00003E80\n", "P00003E80\n", R0, "P00003E80\n"},
       {"0,1"}},
      {"idle arms too", {"I00000000\n", "P000007D0\n"}, {"0,1"}},
      {"the first release only arms", {"R00003A98\n"}, {}},
      {"failed reads change nothing",
       {R0, "P000007D0", "P000007D0\n\n", "P0000G7D0\n", "P000007D0\n"},
       {"0,1"}},
      {"a new press starts from level 0", {R0, "P000007D0\n", R0, "P000007D0\n"}, {"0,1", "1,0", "0,1"}},
  };
  for (const auto& c : cases) {
    state_ = pushSwitchState_t{};
    EXPECT_EQ(run(c.readings), c.expected) << c.what;
  }
}

}  // namespace
