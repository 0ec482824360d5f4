// Script requests on a real message queue and the firmware hand-off files on disk.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <mqueue.h>
#include <time.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "hbn_test.h"
#include "kv_api.h"
#include "platform_callbacks_internal.h"
#include "script_request.h"

namespace {

class ScriptQueue : public ::testing::Test {
 protected:
  void SetUp() override { open(nullptr); }
  void TearDown() override {
    mq_close(queue_);
    mq_unlink(name_.c_str());
    unsetenv("HBN_SCRIPT_QUEUE");
  }
  void open(mq_attr* attr) {
    name_ = hbntest::uniqueName("/script");
    setenv("HBN_SCRIPT_QUEUE", name_.c_str(), 1);
    queue_ = mq_open(name_.c_str(), O_CREAT | O_EXCL | O_RDONLY | O_NONBLOCK, 0600, attr);
    ASSERT_NE(queue_, static_cast<mqd_t>(-1));
  }
  std::vector<std::string> drain() {
    std::vector<std::string> out;
    char buf[8192];
    unsigned prio = 99;
    ssize_t n;
    while ((n = mq_receive(queue_, buf, sizeof buf, &prio)) >= 0) {
      EXPECT_EQ(prio, 0u);
      out.emplace_back(buf, static_cast<size_t>(n));  // no terminating zero on the wire
    }
    return out;
  }
  std::string name_;
  mqd_t queue_ = static_cast<mqd_t>(-1);
};

TEST_F(ScriptQueue, KindsAndValues) {
  struct Case {
    int kind, value, result;
    const char* sent;  // nullptr: nothing sent
  } cases[] = {
      {0, 1, 0, "0,1"},    {0, 15, 0, "0,15"},   {1, 0, 0, "1,0"},       {1, 15, 0, "1,15"},
      {2, 0, 0, "2,0"},    {2, 9, 0, "2,9"},     {2, 10, -1, nullptr},   {2, -1, -1, nullptr},
      {3, 0, -1, nullptr}, {-1, 0, -1, nullptr}, {1000, 1, -1, nullptr},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(execScriptRequest(c.kind, c.value), c.result) << c.kind << "," << c.value;
    auto got = drain();
    if (c.sent) {
      EXPECT_EQ(got, std::vector<std::string>({c.sent}));
    } else {
      EXPECT_TRUE(got.empty()) << c.kind << "," << c.value;
    }
  }
}

TEST_F(ScriptQueue, CloudScriptNumbers) {
  EXPECT_EQ(HBNKV_execScript(5), 0);
  EXPECT_EQ(HBNKV_execScript(10), -1);
  EXPECT_EQ(HBNKV_execScript(-3), -1);
  EXPECT_EQ(drain(), std::vector<std::string>({"2,5"}));
}

TEST_F(ScriptQueue, MissingOrFullQueueFailsWithoutBlocking) {
  mq_close(queue_);
  mq_unlink(name_.c_str());
  EXPECT_EQ(execScriptRequest(0, 1), -1);  // the queue is never created by the sender

  mq_attr attr{};
  attr.mq_maxmsg = 1;
  attr.mq_msgsize = 16;
  open(&attr);
  EXPECT_EQ(execScriptRequest(0, 1), 0);
  timespec t0{}, t1{};
  clock_gettime(CLOCK_MONOTONIC, &t0);
  EXPECT_EQ(execScriptRequest(0, 3), -1);  // full: the event is lost, the caller goes on
  clock_gettime(CLOCK_MONOTONIC, &t1);
  EXPECT_LT(t1.tv_sec - t0.tv_sec, 2);
  EXPECT_EQ(drain(), std::vector<std::string>({"0,1"}));
}

class Handoff : public ::testing::Test {
 protected:
  hbntest::Sandbox sb_;
  const std::string conf_ = "/var/kv_cloudfwd.conf";
  const std::string run_ = "/var/kv_cloudfwd.run";
};

TEST_F(Handoff, WritesConfigurationThenTrigger) {
  EXPECT_EQ(HBNKV_firmwareUpdateRequest("https://fw.example/img.bin", "https://fw.example/img.md5"), 1);
  EXPECT_EQ(sb_.read(conf_), "https://fw.example/img.bin\nhttps://fw.example/img.md5\n");
  ASSERT_TRUE(sb_.exists(run_));
  EXPECT_EQ(sb_.read(run_), "");
  EXPECT_FALSE(sb_.exists(conf_ + ".tmp"));
}

TEST_F(Handoff, RefusesLineBreaksAndWritesNothing) {
  struct Case {
    const char* url;
    const char* sum;
  } cases[] = {
      {"https://a/x\nhttps://evil/y", "https://a/s"},
      {"https://a/x", "https://a/s\n"},
      {"https://a/x\r", "https://a/s"},
      {nullptr, "https://a/s"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(HBNKV_firmwareUpdateRequest(c.url, c.sum), 0);
    EXPECT_FALSE(sb_.exists(conf_));
    EXPECT_FALSE(sb_.exists(run_));
  }
}

TEST_F(Handoff, TriggerFailureRemovesConfiguration) {
  sb_.mkdirs(run_);  // a directory where the trigger file should go: it cannot be created
  EXPECT_EQ(HBNKV_firmwareUpdateRequest("https://a/x", "https://a/s"), 0);
  EXPECT_FALSE(sb_.exists(conf_));
}

TEST_F(Handoff, ConfigurationFailureCreatesNoTrigger) {
  sb_.mkdirs(conf_);
  EXPECT_EQ(HBNKV_firmwareUpdateRequest("https://a/x", "https://a/s"), 0);
  EXPECT_FALSE(sb_.exists(run_));
}

TEST_F(Handoff, ThroughTheAdaptationLayer) {
  const KV_api_interface_t table = HBNKV_interface();
  ASSERT_EQ(KV_api_testInstall(&table, KV_API_STATE_IDLE), 0);
  EXPECT_EQ(KV_api_recvFwUpdate("https://a/x", "https://a/s"), 0);
  EXPECT_EQ(sb_.read(conf_), "https://a/x\nhttps://a/s\n");
  std::remove(sb_.path(run_).c_str());
  EXPECT_EQ(KV_api_recvFwUpdate("https://a/x\n", "https://a/s"), -1);
  EXPECT_FALSE(sb_.exists(run_));
}

// Reset and reboot run the platform's commands from the sandbox (recording fakes); the
// 10-second pause before the reset runs on the test time scale.
TEST(PlatformCommands, ResetAndRebootRunTheirCommands) {
  hbntest::Sandbox sb;
  sb.fakeCommand("kv_reset_reboot.sh");
  sb.fakeCommand("reboot");
  const char* oldPath = getenv("PATH");
  const std::string savedPath = oldPath ? oldPath : "";
  // Only the sandbox and the basic tools: the machine's own reboot cannot be found.
  setenv("PATH", (sb.root() + "/bin:/usr/bin:/bin").c_str(), 1);
  setenv("HBN_TIME_SCALE", "1000", 1);
  EXPECT_EQ(HBNKV_factoryResetRequest(), 1);
  EXPECT_EQ(HBNKV_rebootRequest(), 0);
  unsetenv("HBN_TIME_SCALE");
  setenv("PATH", savedPath.c_str(), 1);
  EXPECT_EQ(sb.recorded("kv_reset_reboot.sh"), "\n");
  EXPECT_EQ(sb.recorded("reboot"), "\n");
}

}  // namespace
