// Test fixture: the gateway's side of the two Z/IP pipes in a sandbox, played by the test,
// with the transport initialised against it and a receiver thread collecting reports.
#pragma once
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "hbn_test.h"
#include "hbn_zip.h"

namespace ziptest {

using Bytes = std::vector<uint8_t>;

struct Report {
  int kind = 0;
  int node = 0;
  Bytes data;
};

class ZipPipes : public ::testing::Test {
 protected:
  // Time scale for the acknowledgement wait: 10 s / 20 = 500 ms, short for a test and long
  // enough for a loaded sanitizer run.
  virtual const char* timeScale() const { return "20"; }
  // Whether the fixture runs the receive loop (tests of the raw read path do it themselves).
  virtual bool runReceiver() const { return true; }

  void SetUp() override {
    setenv("HBN_TIME_SCALE", timeScale(), 1);
    sandbox_.mkdirs("/tmp");
    ASSERT_EQ(mkfifo(sandbox_.path("/tmp/zipgww").c_str(), 0600), 0);
    ASSERT_EQ(mkfifo(sandbox_.path("/tmp/zipgwr").c_str(), 0600), 0);
    // Read-write opens never block, so the transport's opens find their partner at once.
    toAgent_ = open(sandbox_.path("/tmp/zipgww").c_str(), O_RDWR | O_CLOEXEC);
    fromAgent_ = open(sandbox_.path("/tmp/zipgwr").c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(toAgent_, 0);
    ASSERT_GE(fromAgent_, 0);
    ASSERT_EQ(HBN_core_zipCmdInit(), 0);
    if (runReceiver()) {
      running_ = true;
      receiver_ = std::thread([this] { receiveLoop(); });
    }
  }

  void TearDown() override {
    running_ = false;
    if (receiver_.joinable()) receiver_.join();
    HBN_core_zipCmdFinish();
    if (toAgent_ >= 0) close(toAgent_);
    if (fromAgent_ >= 0) close(fromAgent_);
    unsetenv("HBN_TIME_SCALE");
  }

  void receiveLoop() {
    while (running_) {
      struct pollfd p = {HBN_core_zipCmdGetFd(), POLLIN, 0};
      if (poll(&p, 1, 20) <= 0 || !(p.revents & POLLIN)) continue;
      int kind = 0, node = 0, length = 0;
      const uint8_t* data = nullptr;
      if (HBN_core_zipCmdRecv(&kind, &node, &data, &length) != 0 || kind == HBN_ZIP_KIND_NONE) continue;
      std::lock_guard<std::mutex> lk(lock_);
      reports_.push_back(Report{kind, node, Bytes(data, data + length)});
    }
  }

  // Writes one pipe packet (length prefix added) as the gateway.
  void inject(const Bytes& body) {
    Bytes packet{static_cast<uint8_t>(body.size() & 0xFF), static_cast<uint8_t>(body.size() >> 8)};
    packet.insert(packet.end(), body.begin(), body.end());
    ASSERT_EQ(write(toAgent_, packet.data(), packet.size()), static_cast<ssize_t>(packet.size()));
  }

  // A report from `node`: Z/IP header without extension, command included.
  void injectCommand(int node, const Bytes& command, uint8_t flags0 = 0x00, uint8_t seq = 0x55) {
    Bytes body{static_cast<uint8_t>(node), 0x23, 0x02, flags0, 0x40, seq, 0x00, 0x00};
    body.insert(body.end(), command.begin(), command.end());
    inject(body);
  }

  // An answer from the gateway to the packet with sequence `seq` (0x40 ack, 0x20 rejected...).
  void answer(uint8_t seq, uint8_t flags0 = 0x40) {
    inject(Bytes{0x01, 0x23, 0x02, flags0, 0x00, seq, 0x00, 0x00});
  }

  // Reads the body of the next pipe packet the agent wrote; empty after `timeoutMs`.
  Bytes nextPacket(int timeoutMs = 1000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (pending_.size() < 2 || pending_.size() < 2u + (pending_[0] | (pending_[1] << 8))) {
      auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
      if (left.count() <= 0) return {};
      struct pollfd p = {fromAgent_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      uint8_t buf[4096];
      ssize_t r = read(fromAgent_, buf, sizeof(buf));
      if (r > 0) pending_.insert(pending_.end(), buf, buf + r);
    }
    size_t length = pending_[0] | (pending_[1] << 8);
    Bytes body(pending_.begin() + 2, pending_.begin() + 2 + static_cast<long>(length));
    pending_.erase(pending_.begin(), pending_.begin() + 2 + static_cast<long>(length));
    return body;
  }

  // Waits until at least `count` reports were collected and returns them.
  std::vector<Report> reports(size_t count, int timeoutMs = 1000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      {
        std::lock_guard<std::mutex> lk(lock_);
        if (reports_.size() >= count || std::chrono::steady_clock::now() >= end) return reports_;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }

  // The Z-Wave command of a packet the agent sent (after node ID, header and extension).
  static Bytes commandOf(const Bytes& body) {
    if (body.size() < 11) return {};
    return Bytes(body.begin() + 11, body.end());
  }

  hbntest::Sandbox sandbox_;
  int toAgent_ = -1;
  int fromAgent_ = -1;
  Bytes pending_;
  std::atomic<bool> running_{false};
  std::thread receiver_;
  std::mutex lock_;
  std::vector<Report> reports_;
};

}  // namespace ziptest
