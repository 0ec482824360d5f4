#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "hbn_os.h"
#include "hbn_log_capture.h"

static_assert(sizeof(void*) != 4 || sizeof(HBN_queue_record_t) == 24, "24-byte record on 32-bit targets");
static_assert(offsetof(HBN_queue_record_t, word1) == 4 && offsetof(HBN_queue_record_t, word4) == 16,
              "the four 32-bit words follow the sequence");
static_assert(sizeof(void*) != 4 || offsetof(HBN_queue_record_t, word5) == 20,
              "word 5 at offset 20 on 32-bit");

namespace {

class Queue : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(HBN_queue_initialize(), 0); }
  void TearDown() override {
    for (HBN_queue_t* queue : queues_) HBN_queue_delete(queue);
    EXPECT_EQ(HBN_queue_finalize(), 0);
  }
  HBN_queue_t* create() {
    HBN_queue_t* queue = nullptr;
    if (HBN_queue_create(&queue) != 0) return nullptr;
    queues_.push_back(queue);
    return queue;
  }
  void forget(HBN_queue_t* queue) {
    for (auto it = queues_.begin(); it != queues_.end(); ++it)
      if (*it == queue) {
        queues_.erase(it);
        return;
      }
  }
  std::vector<HBN_queue_t*> queues_;
  hbntest::SyslogRecorder syslog_;
};

TEST_F(Queue, NinthQueueFailsThenTheLowestFreeEntryIsReused) {
  std::vector<HBN_queue_t*> made;
  for (int i = 0; i < 8; ++i) {
    made.push_back(create());
    ASSERT_NE(made.back(), nullptr) << i;
  }
  HBN_queue_t* ninth = nullptr;
  EXPECT_EQ(HBN_queue_create(&ninth), -1);
  EXPECT_TRUE(hbntest::SyslogRecorder::has("HBN-E:queue manage info is not empty\n"));
  HBN_queue_delete(made[5]);
  HBN_queue_delete(made[2]);
  forget(made[5]);
  forget(made[2]);
  EXPECT_EQ(create(), made[2]);
  EXPECT_EQ(create(), made[5]);
}

TEST_F(Queue, TwoMessagesArriveAsTwoRecordsInOrder) {
  HBN_queue_t* queue = create();
  ASSERT_NE(queue, nullptr);
  int buffer = 0;
  uintptr_t address = reinterpret_cast<uintptr_t>(&buffer);
  ASSERT_EQ(HBN_queue_send(queue, 1, 2, 3, 4, address), 0);
  ASSERT_EQ(HBN_queue_send(queue, 5, 6, 7, 0xFFFFFFFFu, 0), 0);
  uint32_t w1, w2, w3, w4;
  uintptr_t w5;
  ASSERT_EQ(HBN_queue_receive(queue, &w1, &w2, &w3, &w4, &w5), 0);
  EXPECT_EQ(w1, 1u);
  EXPECT_EQ(w2, 2u);
  EXPECT_EQ(w3, 3u);
  EXPECT_EQ(w4, 4u);
  EXPECT_EQ(w5, address);
  ASSERT_EQ(HBN_queue_receiveTimeout(queue, 100, &w1, &w2, &w3, &w4, &w5), 0);
  EXPECT_EQ(w1, 5u);
  EXPECT_EQ(w4, 0xFFFFFFFFu);
  EXPECT_EQ(w5, 0u);
}

TEST_F(Queue, EachSendIsOnePacketCarryingTheSequence) {
  HBN_queue_t* queue = create();
  ASSERT_NE(queue, nullptr);
  ASSERT_EQ(HBN_queue_send(queue, 9, 0, 0, 0, 0), 0);
  ASSERT_EQ(HBN_queue_send(queue, 10, 0, 0, 0, 0), 0);
  int fd = HBN_queue_getFd(queue);
  ASSERT_GE(fd, 0);
  for (uint32_t expected = 0; expected < 2; ++expected) {
    unsigned char raw[256];
    ASSERT_EQ(read(fd, raw, sizeof raw), static_cast<ssize_t>(sizeof(HBN_queue_record_t)));
    HBN_queue_record_t record;
    memcpy(&record, raw, sizeof record);
    EXPECT_EQ(record.sequence, expected);
    EXPECT_EQ(record.word1, 9 + expected);
  }
}

TEST_F(Queue, TimedReceiveOnAnEmptyQueueReturnsOneWithZeroOutputs) {
  HBN_queue_t* queue = create();
  ASSERT_NE(queue, nullptr);
  uint32_t w1 = 7, w2 = 7, w3 = 7, w4 = 7;
  uintptr_t w5 = 7;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(HBN_queue_receiveTimeout(queue, 1000, &w1, &w2, &w3, &w4, &w5), 1);
  auto elapsed =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
  EXPECT_GE(elapsed.count(), 950);
  EXPECT_LT(elapsed.count(), 2000);
  EXPECT_EQ(w1 | w2 | w3 | w4, 0u);
  EXPECT_EQ(w5, 0u);
}

TEST_F(Queue, ConcurrentSendersNeverInterleaveRecords) {
  HBN_queue_t* queue = create();
  ASSERT_NE(queue, nullptr);
  constexpr uint32_t kSenders = 4, kEach = 300;
  std::vector<std::thread> senders;
  for (uint32_t t = 0; t < kSenders; ++t) {
    senders.emplace_back([=] {
      for (uint32_t i = 0; i < kEach; ++i) HBN_queue_send(queue, t, i, t ^ i, ~i, t * 1000u + i);
    });
  }
  std::vector<uint32_t> next(kSenders, 0);
  for (uint32_t n = 0; n < kSenders * kEach; ++n) {
    uint32_t w1, w2, w3, w4;
    uintptr_t w5;
    ASSERT_EQ(HBN_queue_receiveTimeout(queue, 2000, &w1, &w2, &w3, &w4, &w5), 0);
    ASSERT_LT(w1, kSenders);
    EXPECT_EQ(w2, next[w1]++) << "per-sender order";
    EXPECT_EQ(w3, w1 ^ w2);
    EXPECT_EQ(w4, ~w2);
    EXPECT_EQ(w5, w1 * 1000u + w2);
  }
  for (auto& sender : senders) sender.join();
}

TEST_F(Queue, AFullQueueWaitsOnlyAsLongAsTheSenderAllows) {
  HBN_queue_t* queue = create();
  ASSERT_NE(queue, nullptr);
  int capacity = 0;
  while (capacity < 1000 && HBN_queue_sendTimeout(queue, 0, 1, capacity, 0, 0, 0) == 0) ++capacity;
  ASSERT_GT(capacity, 0);
  ASSERT_LT(capacity, 1000) << "the pipe holds a bounded number of records";
  // Full: no wait at all, then a bounded wait, both without a log line.
  EXPECT_EQ(HBN_queue_sendTimeout(queue, 0, 2, 0, 0, 0, 0), 1);
  auto before = std::chrono::steady_clock::now();
  EXPECT_EQ(HBN_queue_sendTimeout(queue, 100, 2, 0, 0, 0, 0), 1);
  EXPECT_GE(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(90));
  EXPECT_EQ(hbntest::SyslogRecorder::lines().size(), 0u);
  // A blocking sender goes on as soon as the reader makes room; nothing was lost or reordered.
  std::thread sender([&] { EXPECT_EQ(HBN_queue_send(queue, 3, 0, 0, 0, 0), 0); });
  uint32_t w1, w2, w3, w4;
  uintptr_t w5;
  for (int i = 0; i < capacity; ++i) {
    ASSERT_EQ(HBN_queue_receiveTimeout(queue, 2000, &w1, &w2, &w3, &w4, &w5), 0);
    EXPECT_EQ(w1, 1u);
    EXPECT_EQ(w2, static_cast<uint32_t>(i));
  }
  sender.join();
  ASSERT_EQ(HBN_queue_receiveTimeout(queue, 2000, &w1, &w2, &w3, &w4, &w5), 0);
  EXPECT_EQ(w1, 3u);
}

// A thread marked as never waiting (a library's callback thread) gets a full queue refused at
// once, by both sends and whatever time-out it asks for; the mark is its own, other threads wait.
TEST_F(Queue, AMarkedThreadIsRefusedAtOnceByAFullQueue) {
  HBN_queue_t* queue = create();
  ASSERT_NE(queue, nullptr);
  int capacity = 0;
  while (capacity < 1000 && HBN_queue_sendTimeout(queue, 0, 1, capacity, 0, 0, 0) == 0) ++capacity;
  ASSERT_LT(capacity, 1000);
  std::thread marked([&] {
    HBN_queue_setNoWait(1);
    EXPECT_EQ(HBN_queue_isNoWait(), 1);
    auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(HBN_queue_send(queue, 2, 0, 0, 0, 0), -1);
    EXPECT_EQ(HBN_queue_sendTimeout(queue, -1, 2, 0, 0, 0, 0), 1);
    EXPECT_EQ(HBN_queue_sendTimeout(queue, 5000, 2, 0, 0, 0, 0), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(500));
  });
  marked.join();
  EXPECT_EQ(HBN_queue_isNoWait(), 0);
  // A marked thread still sends while there is room.
  uint32_t w1, w2, w3, w4;
  uintptr_t w5;
  ASSERT_EQ(HBN_queue_receiveTimeout(queue, 2000, &w1, &w2, &w3, &w4, &w5), 0);
  std::thread again([&] {
    HBN_queue_setNoWait(1);
    EXPECT_EQ(HBN_queue_send(queue, 4, 0, 0, 0, 0), 0);
  });
  again.join();
  for (int i = 1; i < capacity; ++i)
    ASSERT_EQ(HBN_queue_receiveTimeout(queue, 2000, &w1, &w2, &w3, &w4, &w5), 0);
  ASSERT_EQ(HBN_queue_receiveTimeout(queue, 2000, &w1, &w2, &w3, &w4, &w5), 0);
  EXPECT_EQ(w1, 4u);
}

TEST_F(Queue, DeleteLeavesNoDescriptorToCloseTwice) {
  HBN_queue_t* queue = create();
  ASSERT_NE(queue, nullptr);
  HBN_queue_delete(queue);
  forget(queue);
  EXPECT_EQ(HBN_queue_getFd(queue), -1);
  // The descriptor numbers are free again; something else in the process takes them.
  int other = open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(other, 0);
  HBN_queue_delete(queue);  // a second delete must not close someone else's descriptor
  EXPECT_EQ(fcntl(other, F_GETFD), FD_CLOEXEC);
  close(other);
  // Sending to a deleted queue fails cleanly.
  EXPECT_EQ(HBN_queue_send(queue, 1, 0, 0, 0, 0), -1);
  EXPECT_TRUE(hbntest::SyslogRecorder::has("HBN-E:pipe write fail=-1," +
                                           std::to_string(sizeof(HBN_queue_record_t)) + "\n"));
}

TEST_F(Queue, NullArgumentsAndAnUninitialisedManagerAreRefused) {
  HBN_queue_t* queue = create();
  ASSERT_NE(queue, nullptr);
  uint32_t w;
  uintptr_t w5;
  EXPECT_EQ(HBN_queue_create(nullptr), -1);
  EXPECT_EQ(HBN_queue_send(nullptr, 0, 0, 0, 0, 0), -1);
  EXPECT_EQ(HBN_queue_receive(queue, &w, &w, nullptr, &w, &w5), -1);
  EXPECT_EQ(HBN_queue_receiveTimeout(queue, 10, &w, &w, &w, &w, nullptr), -1);
  EXPECT_EQ(hbntest::SyslogRecorder::count("HBN-E:argument is NULL\n"), 4);

  // Initialising again is harmless.
  EXPECT_EQ(HBN_queue_initialize(), 0);
  EXPECT_TRUE(hbntest::SyslogRecorder::has("HBN-W:manage information initialized\n"));

  HBN_queue_delete(queue);
  forget(queue);
  ASSERT_EQ(HBN_queue_finalize(), 0);
  hbntest::SyslogRecorder::clear();
  HBN_queue_t* other = nullptr;
  EXPECT_EQ(HBN_queue_create(&other), -1);
  EXPECT_EQ(HBN_queue_send(queue, 0, 0, 0, 0, 0), -1);
  EXPECT_EQ(HBN_queue_finalize(), -1);
  EXPECT_EQ(hbntest::SyslogRecorder::count("HBN-E:manage information not initialized\n"), 3);
  EXPECT_EQ(HBN_queue_getFd(queue), -1);
  EXPECT_TRUE(hbntest::SyslogRecorder::has("HBN-E:manage info not found\n"));
  ASSERT_EQ(HBN_queue_initialize(), 0);  // for TearDown
}

}  // namespace
