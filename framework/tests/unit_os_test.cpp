#include <gtest/gtest.h>

#include <syslog.h>

#include "hbn_log.h"
#include "hbn_os.h"
#include "hbn_log_capture.h"

namespace {

void idle(HBN_thread_t* self, uintptr_t) {
  while (!HBN_thread_isStopRequested(self)) HBN_thread_sleep(1);
}

TEST(Os, InitializeSetsTheFacilityAndIsRepeatable) {
  hbntest::SyslogRecorder syslog;
  HBN_log_setFacility(0);
  HBN_log_print(HBN_LOG_INFO, "before\n");
  ASSERT_EQ(HBN_os_initialize(), 0);
  HBN_log_print(HBN_LOG_INFO, "after\n");
  auto lines = hbntest::SyslogRecorder::lines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines.front().first, LOG_INFO);
  EXPECT_EQ(lines.back().first, LOG_LOCAL5 | LOG_INFO);

  hbntest::SyslogRecorder::clear();
  EXPECT_EQ(HBN_os_initialize(), 0);
  EXPECT_EQ(hbntest::SyslogRecorder::count("HBN-W:manage information initialized\n"), 3);
  EXPECT_EQ(HBN_os_finalize(), 0);
}

// An agent that fixed its facility first (the OTA agent's bare priorities) keeps it through the
// framework's start, its own lines included.
TEST(Os, AFixedFacilityHoldsThroughTheStart) {
  hbntest::SyslogRecorder syslog;
  HBN_log_fixFacility(0);
  ASSERT_EQ(HBN_os_initialize(), 0);
  EXPECT_EQ(HBN_os_initialize(), 0);  // logs "manage information initialized" three times
  HBN_log_fixFacility(-1);
  auto lines = hbntest::SyslogRecorder::lines();
  ASSERT_GE(lines.size(), 3u);
  for (const auto& line : lines) EXPECT_EQ(line.first & LOG_FACMASK, 0) << line.second;
  EXPECT_EQ(HBN_os_finalize(), 0);
}

TEST(Os, FinalizeKeepsEachManagerThatIsStillInUse) {
  hbntest::SyslogRecorder syslog;
  ASSERT_EQ(HBN_os_initialize(), 0);
  HBN_queue_t* queue = nullptr;
  ASSERT_EQ(HBN_queue_create(&queue), 0);

  EXPECT_EQ(HBN_os_finalize(), -1);
  EXPECT_TRUE(hbntest::SyslogRecorder::has("HBN-E:queue is not empty\n"));

  // The queue manager and its queue still work ...
  ASSERT_EQ(HBN_queue_send(queue, 42, 0, 0, 0, 0), 0);
  uint32_t w1, w2, w3, w4;
  uintptr_t w5;
  ASSERT_EQ(HBN_queue_receiveTimeout(queue, 1000, &w1, &w2, &w3, &w4, &w5), 0);
  EXPECT_EQ(w1, 42u);
  // ... while the event and thread managers, which had nothing in use, are gone.
  HBN_event_t* event = nullptr;
  hbntest::SyslogRecorder::clear();
  EXPECT_EQ(HBN_event_create(&event, 1), -1);
  EXPECT_TRUE(hbntest::SyslogRecorder::has("HBN-E:manage information not initialized\n"));

  HBN_queue_delete(queue);
  EXPECT_EQ(HBN_queue_finalize(), 0);
}

TEST(Os, FinalizeRefusesWhileAThreadRunsAndSucceedsAfterTheStop) {
  hbntest::SyslogRecorder syslog;
  ASSERT_EQ(HBN_os_initialize(), 0);
  HBN_thread_t* thread = nullptr;
  ASSERT_EQ(HBN_thread_create(&thread, "cloud-mqtt", 2048, idle, 0), 0);
  EXPECT_EQ(HBN_os_finalize(), -1);
  EXPECT_TRUE(hbntest::SyslogRecorder::has("HBN-E:thread is not empty\n"));
  HBN_thread_stop(thread);
  EXPECT_EQ(HBN_thread_finalize(), 0);
}

}  // namespace
