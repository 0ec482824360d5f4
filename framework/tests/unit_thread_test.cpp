#include <gtest/gtest.h>

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "hbn_os.h"
#include "hbn_log_capture.h"

namespace {

struct Worker {
  std::atomic<bool> started{false};
  std::atomic<bool> finished{false};
  std::atomic<bool> release{false};
  std::atomic<HBN_thread_t*> self{nullptr};
  std::atomic<long> tid{0};
  uintptr_t argument = 0;
};

// Runs until released or asked to stop.
void workerEntry(HBN_thread_t* self, uintptr_t argument) {
  auto* worker = reinterpret_cast<Worker*>(argument);
  worker->self.store(self);
  worker->tid.store(syscall(SYS_gettid));
  worker->argument = argument;
  worker->started.store(true);
  while (!worker->release.load() && !HBN_thread_isStopRequested(self)) HBN_thread_sleep(1);
  worker->finished.store(true);
}

class Thread : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(HBN_thread_initialize(), 0); }
  void TearDown() override {
    for (HBN_thread_t* thread : threads_) HBN_thread_stop(thread);
    EXPECT_EQ(HBN_thread_finalize(), 0);
  }
  HBN_thread_t* start(Worker& worker, const char* name = "core-msg") {
    HBN_thread_t* thread = nullptr;
    if (HBN_thread_create(&thread, name, 2048, workerEntry, reinterpret_cast<uintptr_t>(&worker)) != 0)
      return nullptr;
    threads_.push_back(thread);
    return thread;
  }
  void stop(HBN_thread_t* thread) {
    HBN_thread_stop(thread);
    for (auto it = threads_.begin(); it != threads_.end(); ++it)
      if (*it == thread) {
        threads_.erase(it);
        return;
      }
  }
  Worker workers_[7];  // outlive the threads that TearDown stops
  std::vector<HBN_thread_t*> threads_;
  hbntest::SyslogRecorder syslog_;
};

TEST_F(Thread, CreateStartsTheEntryWithItsSlotAndArgumentAndStopJoins) {
  for (int round = 0; round < 5; ++round) {
    Worker worker;
    HBN_thread_t* thread = start(worker);
    ASSERT_NE(thread, nullptr);
    // The handshake happens right before the entry is called; allow it a bounded moment.
    for (int i = 0; i < 2000 && !worker.started.load(); ++i)
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    EXPECT_TRUE(worker.started.load());
    EXPECT_EQ(worker.self.load(), thread);
    EXPECT_EQ(worker.argument, reinterpret_cast<uintptr_t>(&worker));
    EXPECT_EQ(HBN_thread_isStopRequested(thread), 0);
    stop(thread);
    EXPECT_TRUE(worker.finished.load()) << "stop joins the thread";
    EXPECT_EQ(HBN_thread_isStopRequested(thread), 1);
  }
}

// The name as ps -L, top -H and gdb read it: the kernel's comm of the thread.
std::string kernelName(long tid) {
  std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/comm");
  std::string name;
  std::getline(in, name);
  return name;
}

TEST_F(Thread, EachThreadCarriesItsNameCutTo15Characters) {
  const struct {
    const char* given;
    const char* shown;
  } cases[] = {
      {"core-msg", "core-msg"},
      {"core-cmd", "core-cmd"},
      {"cloud-mqtt-wan1", "cloud-mqtt-wan1"},  // exactly 15
      {"cloud-mqtt-mobile1", "cloud-mqtt-mobi"},
  };
  std::vector<HBN_thread_t*> made;
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    HBN_thread_t* thread = start(workers_[i], cases[i].given);
    ASSERT_NE(thread, nullptr) << cases[i].given;
    made.push_back(thread);
  }
  for (size_t i = 0; i < made.size(); ++i) {
    // The name is applied before the entry runs, so before the thread id is known here.
    for (int n = 0; n < 2000 && workers_[i].tid.load() == 0; ++n)
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    ASSERT_NE(workers_[i].tid.load(), 0) << cases[i].given;
    EXPECT_EQ(kernelName(workers_[i].tid.load()), cases[i].shown);
  }
  EXPECT_NE(kernelName(syscall(SYS_gettid)), "core-msg") << "the creator keeps its own name";
}

TEST_F(Thread, SeventhThreadFailsAndAStoppedSlotIsReused) {
  Worker* workers = workers_;
  std::vector<HBN_thread_t*> made;
  for (int i = 0; i < 6; ++i) {
    made.push_back(start(workers[i]));
    ASSERT_NE(made.back(), nullptr) << i;
  }
  HBN_thread_t* seventh = nullptr;
  EXPECT_EQ(
      HBN_thread_create(&seventh, "download", 2048, workerEntry, reinterpret_cast<uintptr_t>(&workers[6])),
      -1);
  EXPECT_TRUE(hbntest::SyslogRecorder::has("HBN-E:thread manage info is not empty\n"));
  EXPECT_FALSE(workers[6].started.load());

  stop(made[3]);
  EXPECT_EQ(start(workers[6]), made[3]);
  EXPECT_EQ(HBN_thread_isStopRequested(made[3]), 0) << "a reused slot starts without a stop request";
}

TEST_F(Thread, StopWaitsForAnEntryThatEndsOnItsOwnFlag) {
  Worker worker;
  HBN_thread_t* thread = start(worker);
  ASSERT_NE(thread, nullptr);
  worker.release.store(true);
  stop(thread);
  EXPECT_TRUE(worker.finished.load());
  // A second stop of the same handle is reported, not a second join.
  HBN_thread_stop(thread);
  EXPECT_TRUE(hbntest::SyslogRecorder::has("HBN-E:thread is not running\n"));
}

TEST_F(Thread, FinalizeRefusesWhileAThreadRuns) {
  Worker worker;
  HBN_thread_t* thread = start(worker);
  ASSERT_NE(thread, nullptr);
  EXPECT_EQ(HBN_thread_finalize(), -1);
  EXPECT_TRUE(hbntest::SyslogRecorder::has("HBN-E:thread is not empty\n"));
  // The manager is untouched: the thread still stops normally.
  stop(thread);
  EXPECT_TRUE(worker.finished.load());
}

TEST_F(Thread, NullArgumentsAndSleep) {
  HBN_thread_t* thread = nullptr;
  EXPECT_EQ(HBN_thread_create(nullptr, "x", 0, workerEntry, 0), -1);
  EXPECT_EQ(HBN_thread_create(&thread, nullptr, 0, workerEntry, 0), -1);
  EXPECT_EQ(HBN_thread_create(&thread, "x", 0, nullptr, 0), -1);
  HBN_thread_stop(nullptr);
  EXPECT_EQ(hbntest::SyslogRecorder::count("HBN-E:argument is NULL\n"), 4);
  EXPECT_EQ(HBN_thread_isStopRequested(nullptr), 1);

  auto begin = std::chrono::steady_clock::now();
  HBN_thread_sleep(1050);
  auto elapsed =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - begin);
  EXPECT_GE(elapsed.count(), 1050);
  EXPECT_LT(elapsed.count(), 1800);
}

TEST(ThreadManager, OperationsNeedTheManager) {
  hbntest::SyslogRecorder syslog;
  Worker worker;
  HBN_thread_t* thread = nullptr;
  EXPECT_EQ(HBN_thread_create(&thread, "x", 0, workerEntry, reinterpret_cast<uintptr_t>(&worker)), -1);
  EXPECT_EQ(HBN_thread_finalize(), -1);
  EXPECT_EQ(hbntest::SyslogRecorder::count("HBN-E:manage information not initialized\n"), 2);
  HBN_thread_t* bogus = reinterpret_cast<HBN_thread_t*>(&worker);
  HBN_thread_stop(bogus);
  EXPECT_TRUE(hbntest::SyslogRecorder::has("HBN-E:manage info not found\n"));
  EXPECT_EQ(HBN_thread_isStopRequested(bogus), 1);
}

}  // namespace
