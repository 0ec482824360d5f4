// The core message thread on its own (no gateway): its timers, and that elements it does not
// execute against the gateway still give their buffers back.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "hbn_buf.h"
#include "hbn_cloud.h"
#include "hbn_core.h"
#include "hbn_core_thread.h"
#include "hbn_log_capture.h"
#include "hbn_os.h"
#include "hbn_test.h"

namespace {

class CoreMsgTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(HBN_os_initialize(), 0);
    ASSERT_EQ(HBN_buf_create(HBN_CORE_BUF_COUNT, HBN_CORE_BUF_SIZE, &pool_), 0);
    ASSERT_EQ(HBN_queue_create(&queue_), 0);
    state_.mode.store(HBN_CORE_MODE_NORMAL);
    state_.gwNodeId = 1;
    ASSERT_EQ(HBN_cloud_testSetup(), 0);
    HBN_core_threadBind(pool_, queue_, &state_);
  }
  void TearDown() override {
    stop();
    HBN_cloud_testTeardown();
    HBN_queue_delete(queue_);
    HBN_buf_destroy(pool_);
    HBN_os_finalize();
    unsetenv("HBN_TIME_SCALE");
  }

  void run(int keepAliveSeconds) {
    HBN_core_threadShared().keepAliveSeconds.store(keepAliveSeconds);
    HBN_core_threadShared().msgRun.store(true);
    started_ = std::chrono::steady_clock::now();
    ASSERT_EQ(HBN_thread_create(&thread_, "core-msg", 64 * 1024, HBN_core_threadMsg, 0), 0);
  }
  void stop() {
    if (!thread_) return;
    HBN_core_threadShared().msgRun.store(false);
    HBN_queue_send(queue_, 0xFFFFFFFFu, 0, 0, 0, 0);
    HBN_thread_stop(thread_);
    thread_ = nullptr;
  }

  // Milliseconds since the thread started at which each cloud message of `kind` arrived,
  // collecting for `forMs`.
  std::vector<long> arrivals(uint32_t kind, int forMs) {
    std::vector<long> at;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(forMs);
    while (std::chrono::steady_clock::now() < end) {
      uint32_t k, p1, p2, p3;
      int length = 0;
      if (HBN_cloud_testReceive(10, &k, &p1, &p2, &p3, nullptr, 0, &length) != 0 || k != kind) continue;
      at.push_back(static_cast<long>(
          std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started_)
              .count()));
    }
    return at;
  }

  HBN_buf_t* pool_ = nullptr;
  HBN_queue_t* queue_ = nullptr;
  HBN_core_state_t state_;
  HBN_thread_t* thread_ = nullptr;
  std::chrono::steady_clock::time_point started_;
};

TEST_F(CoreMsgTest, TheVersionReportComesOnePeriodAfterTheStartAndThenEveryPeriod) {
  setenv("HBN_TIME_SCALE", "432000", 1);  // a day becomes 200 ms
  run(-1);
  auto at = arrivals(HBN_CLOUD_KIND_VERSION, 900);
  ASSERT_GE(at.size(), 2u);
  EXPECT_GE(at[0], 190);  // not at the start
  EXPECT_LT(at[0], 600);  // generous for loaded sanitizer runs
  EXPECT_GE(at[1] - at[0], 150);
}

TEST_F(CoreMsgTest, KeepAliveFollowsItsIntervalAndIsSilentWhenDisabled) {
  setenv("HBN_TIME_SCALE", "10", 1);  // a second becomes 100 ms; the version stays far away
  run(-1);
  EXPECT_TRUE(arrivals(HBN_CLOUD_KIND_KEEPALIVE, 400).empty());
  stop();
  run(0);
  EXPECT_TRUE(arrivals(HBN_CLOUD_KIND_KEEPALIVE, 300).empty());
  stop();
  run(1);
  auto at = arrivals(HBN_CLOUD_KIND_KEEPALIVE, 550);
  ASSERT_GE(at.size(), 3u);
  EXPECT_GE(at[0], 90);
}

TEST_F(CoreMsgTest, ElementsNotSentToTheGatewayGiveTheirBuffersBack) {
  run(-1);
  // NOP interval, backup, restore and an unknown kind, each with a buffer: all dropped.
  const uint32_t kinds[] = {HBN_CORE_KIND_NOP_INTERVAL, HBN_CORE_KIND_BACKUP, HBN_CORE_KIND_RESTORE, 77};
  for (int round = 0; round < 3; ++round) {
    for (uint32_t kind : kinds) {
      void* buffer = HBN_buf_alloc(pool_);
      ASSERT_NE(buffer, nullptr);
      ASSERT_EQ(HBN_queue_send(queue_, kind, 1, 0, 0, reinterpret_cast<uintptr_t>(buffer)), 0);
    }
  }
  // All twelve buffers come back to the pool.
  std::vector<void*> taken;
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (taken.size() < HBN_CORE_BUF_COUNT && std::chrono::steady_clock::now() < end) {
    void* buffer = HBN_buf_alloc(pool_);
    if (buffer) {
      taken.push_back(buffer);
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  EXPECT_EQ(taken.size(), static_cast<size_t>(HBN_CORE_BUF_COUNT));
  for (void* buffer : taken) HBN_buf_free(pool_, buffer);
}

using hbntest::loggedBy;

TEST_F(CoreMsgTest, ElementLogLinesCarryTheThreadBodysName) {
  hbntest::SyslogRecorder recorder;
  run(-1);
  // No transport is open, so the commands are refused at once; the log lines remain.
  ASSERT_EQ(HBN_queue_send(queue_, HBN_CORE_KIND_NODE_KEY, 5, 0x87, 0xBEEF, 0), 0);
  ASSERT_EQ(HBN_queue_send(queue_, HBN_CORE_KIND_RESET, 3, 0, 0, 0), 0);
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (!loggedBy("HBN_core_threadMsg", "kind=3\n") && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_TRUE(loggedBy("HBN_core_threadMsg", "kind=87\n"));
  EXPECT_TRUE(loggedBy("HBN_core_threadMsg", "key =48879\n"));
  EXPECT_TRUE(loggedBy("HBN_core_threadMsg", "kind=3\n"));
}

TEST_F(CoreMsgTest, AModeRequestForTheCurrentModeOrBeyondTheLastDoesNothing) {
  state_.mode.store(HBN_CORE_MODE_EXCLUSION);
  EXPECT_EQ(HBN_core_threadModeChange(HBN_CORE_MODE_EXCLUSION, 0), 0);
  EXPECT_EQ(HBN_core_threadModeChange(6, 0), 0);
  EXPECT_EQ(HBN_core_threadModeChange(-1, 0), 0);
  uint32_t k, p1, p2, p3;
  int length = 0;
  EXPECT_EQ(HBN_cloud_testReceive(100, &k, &p1, &p2, &p3, nullptr, 0, &length), 1);
  EXPECT_EQ(state_.mode.load(), HBN_CORE_MODE_EXCLUSION);
}

TEST_F(CoreMsgTest, LearnOnAGatewayWithItsOwnNodesFailsWithoutSending) {
  state_.nodeList[0] = 0x02;  // node 2
  for (int target : {HBN_CORE_MODE_LEARN_CLASSIC, HBN_CORE_MODE_LEARN_NWI}) {
    EXPECT_EQ(HBN_core_threadModeChange(target, 0), -1);
    uint32_t k, p1, p2, p3;
    char text[64] = {};
    int length = 0;
    ASSERT_EQ(HBN_cloud_testReceive(500, &k, &p1, &p2, &p3, reinterpret_cast<uint8_t*>(text),
                                    sizeof(text) - 1, &length),
              0);
    EXPECT_EQ(k, static_cast<uint32_t>(HBN_CLOUD_KIND_MODE));
    EXPECT_EQ(p1, static_cast<uint32_t>(target));
    EXPECT_EQ(p2, 1u);
    EXPECT_STREQ(text, "Internal Error");
    EXPECT_EQ(state_.mode.load(), HBN_CORE_MODE_NORMAL);
  }
}

}  // namespace
