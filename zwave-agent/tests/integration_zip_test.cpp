// The Z/IP transport and the IR handler against the gateway simulator on real FIFOs: node
// list, an S2 inclusion with its key and DSK answers, rejection and silence, IR learning and a
// readback of several reports, and the gateway hanging up.
#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "hbn_cloud.h"
#include "hbn_ir.h"
#include "hbn_os.h"
#include "hbn_test.h"
#include "hbn_zip.h"
#include "zipgw_sim_client.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Report {
  int kind;
  int node;
  Bytes data;
};

class ZipWithSimulator : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("HBN_TIME_SCALE", "20", 1);  // acknowledgement wait 500 ms
    ASSERT_EQ(HBN_os_initialize(), 0);
    ASSERT_EQ(HBN_cloud_testSetup(), 0);
    sim_.reset(new zipgwsim::Client(sandbox_.root(), {"--gw", "1", "--home", "CAFE0001", "--nodes", "2,3"}));
    ASSERT_TRUE(sim_->start());
    ASSERT_EQ(HBN_core_zipCmdInit(), 0);
    ASSERT_EQ(HBN_core_expandCmdInit(), 0);
    running_ = true;
    // The command thread's part: read, then node data to the IR handler first.
    receiver_ = std::thread([this] {
      while (running_) {
        struct pollfd p = {HBN_core_zipCmdGetFd(), POLLIN, 0};
        if (poll(&p, 1, 20) <= 0) continue;
        if (!(p.revents & POLLIN)) {
          if (p.revents & POLLHUP) hangup_ = true;
          continue;
        }
        int kind = 0, node = 0, length = 0;
        const uint8_t* data = nullptr;
        if (HBN_core_zipCmdRecv(&kind, &node, &data, &length) != 0 || kind == HBN_ZIP_KIND_NONE) continue;
        if (kind == HBN_ZIP_KIND_NODE && HBN_core_expandCmdRecv(node, length, data)) continue;
        std::lock_guard<std::mutex> lk(lock_);
        reports_.push_back(Report{kind, node, Bytes(data, data + length)});
      }
    });
  }
  void TearDown() override {
    running_ = false;
    if (receiver_.joinable()) receiver_.join();
    HBN_core_expandCmdFinish();
    HBN_core_zipCmdFinish();
    sim_.reset();
    HBN_cloud_testTeardown();
    HBN_os_finalize();
    unsetenv("HBN_TIME_SCALE");
  }

  // Waits for the next report of `kind`.
  bool waitReport(int kind, Report* out, int timeoutMs = 2000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < end) {
      {
        std::lock_guard<std::mutex> lk(lock_);
        for (size_t i = 0; i < reports_.size(); ++i) {
          if (reports_[i].kind == kind) {
            *out = reports_[i];
            reports_.erase(reports_.begin() + static_cast<long>(i));
            return true;
          }
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
  }

  Bytes cloudReceive(int timeoutMs = 2000) {
    uint32_t kind = 0, p1 = 0, p2 = 0, p3 = 0;
    uint8_t buffer[4096];
    int length = 0;
    while (HBN_cloud_testReceive(timeoutMs, &kind, &p1, &p2, &p3, buffer, sizeof(buffer), &length) == 0) {
      if (kind == HBN_CLOUD_KIND_NODE_RECEIVE) return Bytes(buffer, buffer + length);
    }
    return {};
  }

  hbntest::Sandbox sandbox_;
  std::unique_ptr<zipgwsim::Client> sim_;
  std::thread receiver_;
  std::atomic<bool> running_{false};
  std::atomic<bool> hangup_{false};
  std::mutex lock_;
  std::vector<Report> reports_;
};

TEST_F(ZipWithSimulator, NodeListAndS2InclusionWithKeyAndDskAnswers) {
  ASSERT_EQ(HBN_core_zipCmdGetNodeList(1), 0);
  Report r;
  ASSERT_TRUE(waitReport(HBN_ZIP_KIND_NODE_LIST, &r));
  ASSERT_EQ(r.data.size(), 34u);
  EXPECT_EQ(Bytes(r.data.begin(), r.data.begin() + 5), (Bytes{0xCA, 0xFE, 0x00, 0x01, 0x01}));
  EXPECT_EQ(r.data[5], 0x07);  // nodes 1 (the gateway itself), 2 and 3

  ASSERT_TRUE(sim_->command("join 9 s2"));
  ASSERT_EQ(HBN_core_zipCmdInclusionStart(1), 0);
  ASSERT_TRUE(waitReport(HBN_ZIP_KIND_KEYS, &r));
  EXPECT_EQ(r.data, (Bytes{0x00, 0x87, 0x09}));
  ASSERT_EQ(HBN_core_zipCmdSetKeys(1, 0x87), 0);
  ASSERT_TRUE(waitReport(HBN_ZIP_KIND_DSK, &r));
  EXPECT_EQ(r.data.size(), 18u);
  const uint8_t pin[2] = {0x11, 0x22};
  ASSERT_EQ(HBN_core_zipCmdSetDSK(1, 2, pin), 0);
  ASSERT_TRUE(waitReport(HBN_ZIP_KIND_INCLUSION, &r));
  EXPECT_EQ(r.data[0], 6);
  EXPECT_EQ(r.data[2], 9);
  // The simulator saw the answers byte for byte (sequence numbers 0 to 3 so far).
  auto commands = sim_->commands();
  ASSERT_GE(commands.size(), 4u);
  EXPECT_EQ(commands[commands.size() - 2], (Bytes{0x01, 0x34, 0x12, 0x02, 0x01, 0x87}));
  EXPECT_EQ(commands.back(), (Bytes{0x01, 0x34, 0x14, 0x03, 0x82, 0x11, 0x22}));
  // The gateway's reports (node list, keys, DSK, node add) asked for acknowledgements and got
  // them; the last one may still be on its way to the simulator's log.
  auto acks = [this] {
    size_t n = 0;
    for (auto& body : sim_->received()) n += body.size() == 7 ? 1 : 0;
    return n;
  };
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (acks() < 4 && std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(acks(), 4u);
}

TEST_F(ZipWithSimulator, RejectedAndUnansweredCommandsFail) {
  ASSERT_TRUE(sim_->command("reply nak 1"));
  EXPECT_EQ(HBN_core_zipCmdExclusionStart(1), -1);
  EXPECT_EQ(HBN_core_zipCmdGetStatus(), HBN_ZIP_STATUS_REJECTED);
  ASSERT_TRUE(sim_->command("reply silent 1"));
  EXPECT_EQ(HBN_core_zipCmdExclusionStart(1), -1);
  EXPECT_EQ(HBN_core_zipCmdGetStatus(), HBN_ZIP_STATUS_TIMEOUT);
  ASSERT_TRUE(sim_->command("reply waiting 1"));
  EXPECT_EQ(HBN_core_zipCmdExclusionStop(1), 0);
  EXPECT_EQ(HBN_core_zipCmdGetRssi(1, 2), 0);
  Report r;
  ASSERT_TRUE(waitReport(HBN_ZIP_KIND_NODE_RSSI, &r));
  EXPECT_EQ(r.data, (Bytes{0x02, 0xC4}));
}

TEST_F(ZipWithSimulator, IrLearningAndReadbackOfSeveralReports) {
  ASSERT_TRUE(sim_->command("irchunk 10"));
  ASSERT_TRUE(sim_->command("ircode 000102030405060708090A0B0C0D0E0F10111213141516"));
  const uint8_t learn[] = {0xA0, 0x03, 0x04, 0x00, 0x00, 0x00};
  EXPECT_EQ(HBN_core_expandCmdSend(2, learn, sizeof(learn), 0), 1);
  EXPECT_EQ(cloudReceive(), (Bytes{0xA0, 0x05, 0x04, 0x01}));

  const uint8_t get[] = {0xA0, 0x09, 0x04, 0x00, 0x01};
  EXPECT_EQ(HBN_core_expandCmdSend(2, get, sizeof(get), 0), 1);
  Bytes message = cloudReceive();
  // 23 code bytes in reports of 10, 10 and 3; each report's data starts at its byte 3.
  ASSERT_EQ(message.size(), 5u + 3 * 5 + 23 + 3);
  EXPECT_EQ(Bytes(message.begin(), message.begin() + 5), (Bytes{0xA0, 0x0A, 0x04, 0x00, 0x03}));
  EXPECT_EQ(Bytes(message.end() - 3, message.end()), (Bytes{15, 15, 8}));
  EXPECT_EQ(message[5 + 5], 0x00);       // first code byte after the report's own five
  EXPECT_EQ(message[5 + 15 + 5], 0x0A);  // second report's first code byte
  // The agent asked for reports 2 and 3 itself, at slot 1.
  auto commands = sim_->commands();
  ASSERT_GE(commands.size(), 3u);
  EXPECT_EQ(commands.back(), (Bytes{0x02, 0xA0, 0x09, 0x01, 0x00, 0x03}));
}

TEST_F(ZipWithSimulator, GatewayHangUpIsSeenAndSendsFailCleanly) {
  ASSERT_EQ(HBN_core_zipCmdGetNodeList(1), 0);
  ASSERT_TRUE(sim_->command("hangup"));
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (!hangup_ && std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_TRUE(hangup_);
  EXPECT_EQ(HBN_core_zipCmdReset(1), -1);
}

}  // namespace
