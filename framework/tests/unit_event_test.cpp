#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "hbn_os.h"
#include "hbn_log_capture.h"

namespace {

using std::chrono::milliseconds;

class Event : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(HBN_event_initialize(), 0);
    ASSERT_EQ(HBN_event_create(&event_, 0x0003), 0);
  }
  void TearDown() override {
    if (event_ != nullptr) {
      EXPECT_EQ(HBN_event_delete(event_), 0);
    }
    EXPECT_EQ(HBN_event_finalize(), 0);
  }
  HBN_event_t* event_ = nullptr;
  hbntest::SyslogRecorder syslog_;
};

// True when `done` becomes true within `ms`.
bool becomes(const std::atomic<bool>& done, int ms) {
  for (int i = 0; i < ms && !done.load(); ++i) std::this_thread::sleep_for(milliseconds(1));
  return done.load();
}

TEST_F(Event, FlagsOutsideTheMaskNeitherRaiseNorWake) {
  std::atomic<bool> woke{false};
  uint16_t flags = 0;
  std::thread waiter([&] {
    EXPECT_EQ(HBN_event_waitAny(event_, &flags), 0);
    woke.store(true);
  });
  ASSERT_EQ(HBN_event_set(event_, 0x00FC), 0);
  EXPECT_FALSE(becomes(woke, 150));
  uint16_t pending = 0xFFFF;
  ASSERT_EQ(HBN_event_get(event_, &pending), 0);
  EXPECT_EQ(pending, 0);

  ASSERT_EQ(HBN_event_set(event_, 0x0102), 0);
  EXPECT_TRUE(becomes(woke, 2000));
  waiter.join();
  EXPECT_EQ(flags, 0x0002);
  ASSERT_EQ(HBN_event_get(event_, &pending), 0);
  EXPECT_EQ(pending, 0) << "waitAny takes what it returns";
}

TEST_F(Event, WaitAllNeedsEveryFlagOfTheMask) {
  for (bool together : {false, true}) {
    std::atomic<bool> woke{false};
    std::thread waiter([&] {
      EXPECT_EQ(HBN_event_waitAll(event_), 0);
      woke.store(true);
    });
    if (together) {
      ASSERT_EQ(HBN_event_set(event_, 0x0003), 0);
    } else {
      ASSERT_EQ(HBN_event_set(event_, 0x0001), 0);
      EXPECT_FALSE(becomes(woke, 150));
      ASSERT_EQ(HBN_event_set(event_, 0x0001), 0);
      EXPECT_FALSE(becomes(woke, 50));
      ASSERT_EQ(HBN_event_set(event_, 0x0002), 0);
    }
    EXPECT_TRUE(becomes(woke, 2000)) << (together ? "one set" : "two sets");
    waiter.join();
  }
}

TEST_F(Event, ClearAndGetWorkOnTheMaskOnly) {
  uint16_t pending = 0;
  ASSERT_EQ(HBN_event_set(event_, 0x0003), 0);
  ASSERT_EQ(HBN_event_clear(event_, 0xFFFE), 0);
  ASSERT_EQ(HBN_event_get(event_, &pending), 0);
  EXPECT_EQ(pending, 0x0001);
  // A flag raised before the wait is collected at once.
  uint16_t flags = 0;
  ASSERT_EQ(HBN_event_waitAny(event_, &flags), 0);
  EXPECT_EQ(flags, 0x0001);
}

TEST_F(Event, FifthGroupAndZeroMaskFail) {
  HBN_event_t* more[3] = {};
  for (auto& group : more) ASSERT_EQ(HBN_event_create(&group, 0x8000), 0);
  HBN_event_t* fifth = nullptr;
  EXPECT_EQ(HBN_event_create(&fifth, 1), -1);
  EXPECT_TRUE(hbntest::SyslogRecorder::has("HBN-E:event manage info is not empty\n"));
  EXPECT_EQ(HBN_event_create(&fifth, 0), -1);
  EXPECT_TRUE(hbntest::SyslogRecorder::has("HBN-E:argument is 0\n"));

  EXPECT_EQ(HBN_event_finalize(), -1);
  EXPECT_TRUE(hbntest::SyslogRecorder::has("HBN-E:event is not empty\n"));

  // A deleted group is free again and starts unsignalled and empty.
  ASSERT_EQ(HBN_event_set(more[1], 0x8000), 0);
  ASSERT_EQ(HBN_event_delete(more[1]), 0);
  HBN_event_t* again = nullptr;
  ASSERT_EQ(HBN_event_create(&again, 0x0010), 0);
  EXPECT_EQ(again, more[1]);
  uint16_t pending = 0xFFFF;
  ASSERT_EQ(HBN_event_get(again, &pending), 0);
  EXPECT_EQ(pending, 0);
  for (auto& group : more) EXPECT_EQ(HBN_event_delete(group), 0);
}

TEST_F(Event, DeletingAGroupReleasesItsWaiter) {
  std::atomic<bool> woke{false};
  std::atomic<int> result{0};
  std::thread waiter([&] {
    uint16_t flags = 0;
    result.store(HBN_event_waitAny(event_, &flags));
    woke.store(true);
  });
  EXPECT_FALSE(becomes(woke, 50));
  ASSERT_EQ(HBN_event_delete(event_), 0);
  EXPECT_TRUE(becomes(woke, 2000));
  waiter.join();
  EXPECT_EQ(result.load(), -1);
  event_ = nullptr;
}

TEST_F(Event, NullArgumentsAndAnUninitialisedManager) {
  uint16_t flags;
  EXPECT_EQ(HBN_event_create(nullptr, 1), -1);
  EXPECT_EQ(HBN_event_set(nullptr, 1), -1);
  EXPECT_EQ(HBN_event_get(event_, nullptr), -1);
  EXPECT_EQ(HBN_event_waitAny(event_, nullptr), -1);
  EXPECT_EQ(HBN_event_waitAll(nullptr), -1);
  EXPECT_EQ(hbntest::SyslogRecorder::count("HBN-E:argument is NULL\n"), 5);

  ASSERT_EQ(HBN_event_delete(event_), 0);
  ASSERT_EQ(HBN_event_finalize(), 0);
  hbntest::SyslogRecorder::clear();
  EXPECT_EQ(HBN_event_get(event_, &flags), -1);
  EXPECT_EQ(HBN_event_finalize(), -1);
  EXPECT_EQ(hbntest::SyslogRecorder::count("HBN-E:manage information not initialized\n"), 2);
  ASSERT_EQ(HBN_event_initialize(), 0);
  event_ = nullptr;
}

}  // namespace
