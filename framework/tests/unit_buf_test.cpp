#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include <syslog.h>

#include "hbn_buf.h"
#include "hbn_log_capture.h"

namespace {

class Pool : public ::testing::Test {
 protected:
  void TearDown() override {
    if (pool_ != nullptr) {
      EXPECT_EQ(HBN_buf_destroy(pool_), 0);
    }
  }
  HBN_buf_t* pool_ = nullptr;
  hbntest::SyslogRecorder syslog_;
};

TEST_F(Pool, HandsOutEveryBufferInAddressOrderThenReportsAllBusy) {
  ASSERT_EQ(HBN_buf_create(12, 4096, &pool_), 0);
  std::vector<unsigned char*> buffers;
  for (int i = 0; i < 12; ++i) {
    auto* buffer = static_cast<unsigned char*>(HBN_buf_alloc(pool_));
    ASSERT_NE(buffer, nullptr) << i;
    memset(buffer, i, 4096);  // the whole payload is the caller's (ASan checks the bounds)
    if (!buffers.empty()) {
      EXPECT_GE(buffer, buffers.back() + 4096) << "address order at " << i;
    }
    buffers.push_back(buffer);
  }
  hbntest::SyslogRecorder::clear();
  EXPECT_EQ(HBN_buf_alloc(pool_), nullptr);
  auto lines = hbntest::SyslogRecorder::lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].first & 7, LOG_WARNING);
  EXPECT_EQ(lines[0].second, "HBN-W:buffer is all busy\n");
  // No payload overlapped another.
  for (int i = 0; i < 12; ++i) EXPECT_EQ(buffers[i][4095], i);
}

TEST_F(Pool, TheMostRecentlyFreedBufferIsHandedOutNext) {
  ASSERT_EQ(HBN_buf_create(4, 100, &pool_), 0);
  void* a = HBN_buf_alloc(pool_);
  void* b = HBN_buf_alloc(pool_);
  void* c = HBN_buf_alloc(pool_);
  ASSERT_EQ(HBN_buf_free(pool_, b), 0);
  ASSERT_EQ(HBN_buf_free(pool_, a), 0);
  EXPECT_EQ(HBN_buf_alloc(pool_), a);
  EXPECT_EQ(HBN_buf_alloc(pool_), b);
  void* d = HBN_buf_alloc(pool_);  // the one never used yet
  EXPECT_NE(d, nullptr);
  EXPECT_EQ(HBN_buf_alloc(pool_), nullptr);
  ASSERT_EQ(HBN_buf_free(pool_, c), 0);
  EXPECT_EQ(HBN_buf_alloc(pool_), c);
}

// A taker may wait a bounded time for a buffer that another thread gives back; with none in
// time it gets nothing and the pool logs once.
TEST_F(Pool, ATimedAllocWaitsForABufferGivenBack) {
  ASSERT_EQ(HBN_buf_create(1, 16, &pool_), 0);
  void* only = HBN_buf_alloc(pool_);
  ASSERT_NE(only, nullptr);
  std::thread giver([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    HBN_buf_free(pool_, only);
  });
  EXPECT_EQ(HBN_buf_allocTimeout(pool_, 5000), only);
  giver.join();
  hbntest::SyslogRecorder::clear();
  EXPECT_EQ(HBN_buf_allocTimeout(pool_, 20), nullptr);
  EXPECT_EQ(hbntest::SyslogRecorder::count("HBN-W:buffer is all busy\n"), 1);
}

TEST_F(Pool, OddPayloadSizesKeepEveryBufferUsableAndAligned) {
  ASSERT_EQ(HBN_buf_create(5, 13, &pool_), 0);
  for (int i = 0; i < 5; ++i) {
    void* buffer = HBN_buf_alloc(pool_);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(buffer) % alignof(void*), 0u);
    memset(buffer, 0xA5, 13);
  }
  EXPECT_EQ(HBN_buf_alloc(pool_), nullptr);
}

TEST_F(Pool, RefusesNullAndForeignPointers) {
  EXPECT_EQ(HBN_buf_create(2, 16, nullptr), -1);
  EXPECT_TRUE(hbntest::SyslogRecorder::has("HBN-E:argument is NULL\n"));
  EXPECT_EQ(HBN_buf_create(0, 16, &pool_), -1);
  EXPECT_EQ(pool_, nullptr);
  EXPECT_EQ(HBN_buf_alloc(nullptr), nullptr);
  EXPECT_EQ(HBN_buf_destroy(nullptr), -1);

  ASSERT_EQ(HBN_buf_create(2, 16, &pool_), 0);
  char* buffer = static_cast<char*>(HBN_buf_alloc(pool_));
  ASSERT_NE(buffer, nullptr);
  int local = 0;
  EXPECT_EQ(HBN_buf_free(pool_, nullptr), -1);
  EXPECT_EQ(HBN_buf_free(nullptr, buffer), -1);
  EXPECT_EQ(HBN_buf_free(pool_, &local), -1);
  EXPECT_EQ(HBN_buf_free(pool_, buffer + 1), -1);
  // The lists are intact: both buffers are still there to take.
  EXPECT_EQ(HBN_buf_free(pool_, buffer), 0);
  EXPECT_NE(HBN_buf_alloc(pool_), nullptr);
  EXPECT_NE(HBN_buf_alloc(pool_), nullptr);
  EXPECT_EQ(HBN_buf_alloc(pool_), nullptr);
}

TEST_F(Pool, ThreadsNeverShareABuffer) {
  constexpr int kCount = 3;
  ASSERT_EQ(HBN_buf_create(kCount, sizeof(std::atomic<int>), &pool_), 0);
  std::vector<void*> all;
  for (int i = 0; i < kCount; ++i) all.push_back(new (HBN_buf_alloc(pool_)) std::atomic<int>(0));
  for (void* buffer : all) HBN_buf_free(pool_, buffer);
  std::atomic<int> overlaps{0};
  hbntest::captureStderr([&] {
    std::vector<std::thread> workers;
    for (int t = 0; t < 4; ++t) {
      workers.emplace_back([&, t] {
        for (int i = 0; i < 2000; ++i) {
          auto* owner = static_cast<std::atomic<int>*>(HBN_buf_alloc(pool_));
          if (owner == nullptr) continue;
          int expected = 0;
          if (!owner->compare_exchange_strong(expected, t + 1)) overlaps++;
          owner->store(0);
          HBN_buf_free(pool_, owner);
        }
      });
    }
    for (auto& worker : workers) worker.join();
  });
  EXPECT_EQ(overlaps.load(), 0);
  for (int i = 0; i < kCount; ++i) EXPECT_NE(HBN_buf_alloc(pool_), nullptr);
}

TEST(Mutex, WrappersReportNullAndWork) {
  hbntest::SyslogRecorder syslog;
  EXPECT_EQ(HBN_mutex_lock(nullptr), -1);
  EXPECT_EQ(HBN_mutex_unlock(nullptr), -1);
  EXPECT_EQ(HBN_mutex_destroy(nullptr), -1);
  EXPECT_EQ(hbntest::SyslogRecorder::count("HBN-E:argument is NULL\n"), 3);
  HBN_mutex_t mutex;
  ASSERT_EQ(HBN_mutex_create(&mutex), 0);
  EXPECT_EQ(HBN_mutex_lock(&mutex), 0);
  EXPECT_EQ(HBN_mutex_unlock(&mutex), 0);
  EXPECT_EQ(HBN_mutex_destroy(&mutex), 0);
}

TEST(MutexDeathTest, CreatingANullMutexAborts) {
  // "threadsafe" re-executes the test program, which under a cross build's emulator cannot
  // run by itself (no binfmt_misc); there the child is forked without re-executing.
  GTEST_FLAG_SET(death_test_style, getenv("HBN_TEST_EMULATOR") != nullptr ? "fast" : "threadsafe");
  EXPECT_DEATH(HBN_mutex_create(nullptr), "HBN-E:argument is NULL");
}

TEST(Memory, WrappersAllocateAndFree) {
  void* block = HBN_mem_alloc(__func__, __LINE__, 64);
  ASSERT_NE(block, nullptr);
  memset(block, 1, 64);
  HBN_mem_free(__func__, __LINE__, block);
  HBN_mem_free(__func__, __LINE__, nullptr);
}

TEST(Base64, EncodesTheStandardVectors) {
  struct Case {
    std::string input;
    const char* text;
  } cases[] = {{"", ""},
               {"f", "Zg=="},
               {"fo", "Zm8="},
               {"foo", "Zm9v"},
               {"foob", "Zm9vYg=="},
               {"fooba", "Zm9vYmE="},
               {"foobar", "Zm9vYmFy"},
               {std::string("\xff\xfe\xfd\x00\x3e", 5), "//79AD4="}};
  for (const Case& c : cases) {
    int n = static_cast<int>(c.input.size());
    std::vector<char> out(static_cast<size_t>(HBN_util_base64Length(n)), '#');
    int written = HBN_util_base64Encode(out.data(), reinterpret_cast<const uint8_t*>(c.input.data()), n);
    EXPECT_STREQ(out.data(), c.text);
    EXPECT_EQ(written, static_cast<int>(strlen(c.text)) + 1);
    EXPECT_EQ(written, HBN_util_base64Length(n)) << "the length helper is exact for " << n << " bytes";
  }
  EXPECT_EQ(HBN_util_base64Length(0), 1);
  EXPECT_EQ(HBN_util_base64Length(3), 5);
  EXPECT_EQ(HBN_util_base64Length(4), 9);
}

}  // namespace
