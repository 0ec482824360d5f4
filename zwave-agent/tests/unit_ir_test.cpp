// IR accessory handler: what goes to the node (on the real Z/IP pipe, the test playing the
// gateway) and what reaches the cloud queue, for learning, code sends and readbacks.
#include <chrono>
#include <string>

#include "fixture_zip_pipes.h"
#include "hbn_cloud.h"
#include "hbn_ir.h"
#include "hbn_log_capture.h"
#include "hbn_os.h"

namespace {

using ziptest::Bytes;

// Log lines are checked by message start: some carry values after the fixed text.
bool loggedBy(const std::string& func, const std::string& message) {
  return hbntest::loggedBy(func, message, true);
}

class IrExpand : public ziptest::ZipPipes {
 protected:
  const char* timeScale() const override { return "1"; }
  bool runReceiver() const override { return false; }

  void SetUp() override {
    ASSERT_EQ(HBN_os_initialize(), 0);
    ASSERT_EQ(HBN_cloud_testSetup(), 0);
    ziptest::ZipPipes::SetUp();
    ASSERT_EQ(HBN_core_expandCmdInit(), 0);
  }
  void TearDown() override {
    HBN_core_expandCmdFinish();
    ziptest::ZipPipes::TearDown();
    HBN_cloud_testTeardown();
    HBN_os_finalize();
  }

  int send(const Bytes& frame, int node = 8) {
    return HBN_core_expandCmdSend(node, frame.data(), static_cast<int>(frame.size()), 1);
  }
  int recv(const Bytes& report, int node = 8) {
    return HBN_core_expandCmdRecv(node, static_cast<int>(report.size()), report.data());
  }
  // The next node receive queued for the cloud: (node, data); node -1 when none.
  std::pair<int, Bytes> cloudReceive(int timeoutMs = 200) {
    uint32_t kind = 0, p1 = 0, p2 = 0, p3 = 0;
    uint8_t buffer[4096];
    int length = 0;
    while (HBN_cloud_testReceive(timeoutMs, &kind, &p1, &p2, &p3, buffer, sizeof(buffer), &length) == 0) {
      if (kind == HBN_CLOUD_KIND_NODE_RECEIVE) return {static_cast<int>(p1), Bytes(buffer, buffer + length)};
    }
    return {-1, {}};
  }
  // One code report from the accessory.
  static Bytes codeReport(int number, bool last, const Bytes& data) {
    Bytes r{0xA0,
            0x0A,
            0x01,
            0x00,
            0x00,
            0x00,
            static_cast<uint8_t>((last ? 0x80 : 0) | (number >> 8)),
            static_cast<uint8_t>(number & 0xFF)};
    r.insert(r.end(), data.begin(), data.end());
    return r;
  }
};

// IR send: n chunks back to back, then n lengths.
Bytes irSendFrame(const std::vector<Bytes>& chunks) {
  Bytes f{0xA0, 0x0F, 0x63, 0x00, static_cast<uint8_t>(chunks.size())};
  for (auto& c : chunks) f.insert(f.end(), c.begin(), c.end());
  for (auto& c : chunks) f.push_back(static_cast<uint8_t>(c.size()));
  return f;
}

TEST_F(IrExpand, SendSplitsIntoFramesWithOneSequenceAndPaces) {
  Bytes a(10, 0x11), b(12, 0x22), c(8, 0x33);
  auto firstStart = std::chrono::steady_clock::now();
  EXPECT_EQ(send(irSendFrame({a, b, c})), 1);
  const std::vector<Bytes> chunks = {a, b, c};
  for (auto& chunk : chunks) {
    Bytes body = nextPacket();
    EXPECT_EQ(body[0], 8);
    EXPECT_EQ(body[4], 0xD0);  // secure as asked
    Bytes expected{0xA0, 0x0F, 0x00};
    expected.insert(expected.end(), chunk.begin(), chunk.end());
    EXPECT_EQ(commandOf(body), expected);
  }
  // 30 ms later a second code: it waits for the rest of the 100 ms and uses the next sequence.
  // The pacing counts from when the first send began, so that is where the test measures
  // from: a slow machine (an emulator) only makes the first send's frames arrive later, never
  // the second send early. 99 ms allows for the whole milliseconds the pacing reckons in.
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(send(irSendFrame({a})), 1);
  auto finished = std::chrono::steady_clock::now();
  EXPECT_GE(finished - firstStart, std::chrono::milliseconds(99));
  EXPECT_LT(finished - started, std::chrono::milliseconds(200));
  EXPECT_EQ(commandOf(nextPacket())[2], 0x01);
}

TEST_F(IrExpand, SendsThatDoNotFitAreRefusedWhole) {
  Bytes a(10, 0x11);
  Bytes countTooHigh = irSendFrame({a});
  countTooHigh[4] = 3;  // three lengths claimed, one given
  Bytes lengthsTooLong = irSendFrame({a, a});
  lengthsTooLong.back() = 60;  // the chunks would run into the length table
  Bytes zero = irSendFrame({a});
  zero[4] = 0;
  Bytes huge = irSendFrame({Bytes(200, 1)});
  huge.resize(4096, 0);
  for (const Bytes& f :
       {countTooHigh, lengthsTooLong, zero, huge, Bytes{0xA0, 0x0F, 0x00, 0x00, 0x01, 0x00, 0x01}}) {
    EXPECT_EQ(send(f), 1);  // taken, and nothing sent
  }
  EXPECT_TRUE(nextPacket(50).empty());
}

TEST_F(IrExpand, LearningUsesSlotOneAndStatusCarriesTheCloudNumber) {
  EXPECT_EQ(send({0xA0, 0x03, 0x07, 0x00, 0x00, 0x00}), 1);
  EXPECT_EQ(commandOf(nextPacket()), (Bytes{0xA0, 0x03, 0x01, 0x00, 0x00, 0x00}));
  EXPECT_EQ(recv({0xA0, 0x05, 0x01, 0x01}), 1);
  auto r = cloudReceive();
  EXPECT_EQ(r.first, 8);
  EXPECT_EQ(r.second, (Bytes{0xA0, 0x05, 0x07, 0x01}));
}

TEST_F(IrExpand, EachHandlerLogsUnderItsOwnName) {
  hbntest::SyslogRecorder recorder;
  send({0xA0, 0x03, 0x07, 0x00, 0x00, 0x00});
  nextPacket();
  recv({0xA0, 0x05, 0x01, 0x01});
  send({0xA0, 0x09, 0x04, 0x00, 0x01});
  nextPacket();
  recv(codeReport(1, true, Bytes(4, 0x01)));
  send(irSendFrame({Bytes(4, 0x02)}));
  nextPacket();
  EXPECT_TRUE(loggedBy("HBN_core_expandCmdSend_irStart", "IR LEARNING:7"));
  EXPECT_TRUE(loggedBy("HBN_core_expandCmdRecv_irStatus", "STATUS IR=7"));
  EXPECT_TRUE(loggedBy("HBN_core_expandCmdSend_irGet", "IR_CODE_READBACK_GET:"));
  EXPECT_TRUE(loggedBy("HBN_core_expandCmdRecv_irReport", "data report finish;total len=9"));
  EXPECT_TRUE(loggedBy("HBN_core_expandCmdSend_irSend", "IR_REPEATER_REPEAT:"));
}

TEST_F(IrExpand, OtherFramesAndShortOnesAreHandledAsSpecified) {
  EXPECT_EQ(send({0xA0, 0x01, 0x07}), 0);  // other 0xA0 commands pass through
  EXPECT_EQ(send({0x25, 0x01, 0xFF}), 0);
  EXPECT_EQ(send({0xA0}), 0);
  EXPECT_EQ(send({0xA0, 0x03, 0x07}), 1);              // too short: swallowed
  EXPECT_EQ(send({0xA0, 0x09, 0x07, 0x00, 0x02}), 1);  // readback of report 2: swallowed
  EXPECT_TRUE(nextPacket(50).empty());
  EXPECT_EQ(recv({0x25, 0x03, 0xFF}), 0);
  EXPECT_EQ(recv({0xA0, 0x01, 0x00}), 0);
  EXPECT_EQ(recv({0xA0, 0x0A, 0x01}), 1);
  EXPECT_EQ(cloudReceive(50).first, -1);
}

TEST_F(IrExpand, ReadbackOfTwoReportsIsAssembledOnce) {
  EXPECT_EQ(send({0xA0, 0x09, 0x05, 0x80, 0x01}), 1);  // high bit of the number is ignored
  EXPECT_EQ(commandOf(nextPacket()), (Bytes{0xA0, 0x09, 0x01, 0x80, 0x01}));
  Bytes d1{1, 2, 3, 4, 5, 6, 7, 8, 9}, d2{10, 11, 12, 13, 14, 15, 16};
  EXPECT_EQ(recv(codeReport(1, false, d1)), 1);
  Bytes next = nextPacket();
  EXPECT_EQ(next[0], 8);
  EXPECT_EQ(commandOf(next), (Bytes{0xA0, 0x09, 0x01, 0x00, 0x02}));
  EXPECT_EQ(recv(codeReport(1, false, d1)), 1);  // a repeat: ignored
  EXPECT_EQ(recv(codeReport(2, true, d2)), 1);
  EXPECT_TRUE(nextPacket(50).empty());
  auto r = cloudReceive();
  EXPECT_EQ(r.first, 8);
  // Header with IR number 5 and count 2, each report from its byte 3, then both lengths.
  Bytes expected{0xA0, 0x0A, 0x05, 0x00, 0x02};
  Bytes full1 = codeReport(1, false, d1), full2 = codeReport(2, true, d2);
  expected.insert(expected.end(), full1.begin() + 3, full1.end());
  expected.insert(expected.end(), full2.begin() + 3, full2.end());
  expected.push_back(static_cast<uint8_t>(full1.size() - 3));
  expected.push_back(static_cast<uint8_t>(full2.size() - 3));
  EXPECT_EQ(r.second, expected);
  EXPECT_EQ(cloudReceive(50).first, -1);
  // The IR number is forgotten after completion.
  EXPECT_EQ(recv({0xA0, 0x05, 0x01, 0x01}), 1);
  EXPECT_EQ(cloudReceive().second, (Bytes{0xA0, 0x05, 0x00, 0x01}));
}

TEST_F(IrExpand, ReadbackBeyondFortyReportsIsRefused) {
  EXPECT_EQ(send({0xA0, 0x09, 0x03, 0x00, 0x01}), 1);
  nextPacket();
  for (int n = 1; n <= 41; ++n) {
    EXPECT_EQ(recv(codeReport(n, n == 41, Bytes(4, static_cast<uint8_t>(n)))), 1);
    if (n < 41) {
      EXPECT_EQ(commandOf(nextPacket())[4], n + 1);
    }
  }
  EXPECT_EQ(cloudReceive(50).first, -1);
  // Forty reports fit, and a new readback starts from scratch.
  EXPECT_EQ(send({0xA0, 0x09, 0x03, 0x00, 0x01}), 1);
  nextPacket();
  for (int n = 1; n <= 40; ++n) {
    recv(codeReport(n, n == 40, Bytes(4, 0xEE)));
    if (n < 40) nextPacket();
  }
  auto r = cloudReceive();
  EXPECT_EQ(r.second.size(), 5u + 40 * 9 + 40);
  EXPECT_EQ(r.second[4], 40);
}

TEST_F(IrExpand, ReadbackOverflowSendsNothingPartial) {
  EXPECT_EQ(send({0xA0, 0x09, 0x03, 0x00, 0x01}), 1);
  nextPacket();
  // Reports of 255 bytes: the sixteenth would make the assembled message longer than one
  // 4096-byte cloud buffer, so the readback is abandoned there.
  for (int n = 1; n <= 16; ++n) {
    EXPECT_EQ(recv(codeReport(n, false, Bytes(250, 0x5A))), 1);
    if (n < 16) {
      EXPECT_EQ(commandOf(nextPacket())[4], n + 1);
    }
  }
  EXPECT_TRUE(nextPacket(50).empty());
  EXPECT_EQ(recv(codeReport(17, true, Bytes(4, 0x5A))), 1);
  EXPECT_EQ(cloudReceive(50).first, -1);
}

}  // namespace
