// Z/IP transport against real FIFOs in a sandbox, the test playing the gateway: command
// frames byte for byte, sequence numbers, the acknowledgement protocol (ack, rejection,
// "not yet", wrong sequence, silence), header-extension walk, classification of reports,
// framing errors and hang-up.
#include <future>
#include <functional>
#include <string>

#include "fixture_zip_pipes.h"
#include "hbn_log_capture.h"

namespace {

using ziptest::Bytes;
using ziptest::Report;

class ZipTransport : public ziptest::ZipPipes {};

constexpr int GW = 1;
const uint8_t kDskA[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};

struct FrameCase {
  const char* name;
  std::function<int()> call;
  int dst;
  uint8_t flags1;
  bool usesCmdSeq;  // byte 2 of the command is the command sequence number
  Bytes command;    // byte 2 shown as 0 where the command sequence number goes
  bool tracked;     // waits for the acknowledgement
};

// Every command: destination, flags, sequence numbers and bytes. The first packet after start
// carries Z/IP sequence 1 and command sequence 0; both advance with every packet/command.
TEST_F(ZipTransport, EveryCommandFrameByteForByte) {
  const uint8_t pin[2] = {0x12, 0x34};
  const uint8_t data[] = {0x25, 0x01, 0xFF};
  std::vector<FrameCase> cases = {
      {"inclusion start",
       [] { return HBN_core_zipCmdInclusionStart(GW); },
       GW,
       0xD0,
       true,
       {0x34, 0x01, 0, 0x00, 0x07, 0x00},
       true},
      {"inclusion stop",
       [] { return HBN_core_zipCmdInclusionStop(GW); },
       GW,
       0xD0,
       true,
       {0x34, 0x01, 0, 0x00, 0x05, 0x00},
       true},
      {"exclusion start",
       [] { return HBN_core_zipCmdExclusionStart(GW); },
       GW,
       0xD0,
       true,
       {0x34, 0x03, 0, 0x00, 0x01},
       true},
      {"exclusion stop",
       [] { return HBN_core_zipCmdExclusionStop(GW); },
       GW,
       0xD0,
       true,
       {0x34, 0x03, 0, 0x00, 0x05},
       true},
      {"force failing", [] { return HBN_core_zipCmdForceFailing(9); }, 9, 0xC8, false, {0x20, 0x02}, false},
      {"remove failed",
       [] { return HBN_core_zipCmdRemoveFailed(GW, 9); },
       GW,
       0xD0,
       true,
       {0x34, 0x07, 0, 9},
       true},
      {"replace start",
       [] { return HBN_core_zipCmdReplaceStart(GW, 9); },
       GW,
       0xD0,
       true,
       {0x34, 0x09, 0, 9, 0x00, 0x07},
       true},
      {"replace stop",
       [] { return HBN_core_zipCmdReplaceStop(GW); },
       GW,
       0xD0,
       true,
       {0x34, 0x09, 0, 0x00, 0x00, 0x05},
       true},
      {"learn classic",
       [] { return HBN_core_zipCmdLearnStart(GW, HBN_ZIP_LEARN_CLASSIC); },
       GW,
       0xD0,
       true,
       {0x4D, 0x01, 0, 0x00, 0x01},
       true},
      {"learn nwi",
       [] { return HBN_core_zipCmdLearnStart(GW, HBN_ZIP_LEARN_NWI); },
       GW,
       0xD0,
       true,
       {0x4D, 0x01, 0, 0x00, 0x02},
       true},
      {"learn stop",
       [] { return HBN_core_zipCmdLearnStop(GW); },
       GW,
       0xD0,
       true,
       {0x4D, 0x01, 0, 0x00, 0x00},
       true},
      {"send plain",
       [&] { return HBN_core_zipCmdSend(7, data, sizeof(data), 0); },
       7,
       0xC0,
       false,
       {0x25, 0x01, 0xFF},
       false},
      {"send secure",
       [&] { return HBN_core_zipCmdSend(7, data, sizeof(data), 1); },
       7,
       0xD0,
       false,
       {0x25, 0x01, 0xFF},
       false},
      {"node list", [] { return HBN_core_zipCmdGetNodeList(1); }, 0, 0xD0, true, {0x4D, 0x0A, 0}, true},
      {"node info",
       [] { return HBN_core_zipCmdGetNodeInfo(GW, 9); },
       GW,
       0xD0,
       true,
       {0x4D, 0x0C, 0, 9},
       true},
      {"set keys",
       [] { return HBN_core_zipCmdSetKeys(GW, 0x87); },
       GW,
       0xD0,
       true,
       {0x34, 0x12, 0, 0x01, 0x87},
       false},
      {"set dsk",
       [&] { return HBN_core_zipCmdSetDSK(GW, 2, pin); },
       GW,
       0xD0,
       true,
       {0x34, 0x14, 0, 0x82, 0x12, 0x34},
       false},
      {"set dsk mod 16",
       [&] { return HBN_core_zipCmdSetDSK(GW, 18, pin); },
       GW,
       0xD0,
       true,
       {0x34, 0x14, 0, 0x82, 0x12, 0x34},
       false},
      {"get dsk", [] { return HBN_core_zipCmdGetDSK(GW); }, GW, 0xD0, true, {0x4D, 0x08, 0, 0x00}, true},
      {"get gw dsk", [] { return HBN_core_zipCmdGetGwDSK(GW); }, GW, 0xD0, true, {0x4D, 0xA8, 0}, true},
      {"reset", [] { return HBN_core_zipCmdReset(GW); }, GW, 0xD0, true, {0x4D, 0x06, 0}, true},
      {"pv set",
       [] { return HBN_core_zipCmdPvSet(GW, kDskA); },
       GW,
       0xD0,
       true,
       {0x78, 0x01, 0, 0x10, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16},
       true},
      {"pv delete",
       [] { return HBN_core_zipCmdPvDelete(GW, kDskA); },
       GW,
       0xD0,
       true,
       {0x78, 0x02, 0, 0x10, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16},
       true},
      {"pv delete all",
       [] { return HBN_core_zipCmdPvDelete(GW, nullptr); },
       GW,
       0xD0,
       true,
       {0x78, 0x02, 0, 0x00},
       true},
      {"pv get", [] { return HBN_core_zipCmdPvGet(GW, 255); }, GW, 0xD0, true, {0x78, 0x03, 0, 0xFF}, true},
      {"rssi", [] { return HBN_core_zipCmdGetRssi(GW, 9); }, GW, 0xD0, false, {0x67, 0x09, 9}, true},
  };
  uint8_t zipSeq = 0;
  uint8_t cmdSeq = 0;
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto result = std::async(std::launch::async, c.call);
    Bytes body = nextPacket();
    ++zipSeq;
    Bytes expected{
        static_cast<uint8_t>(c.dst), 0x23, 0x02, 0x80, c.flags1, zipSeq, 0x00, 0x00, 0x03, 0x02, 0x00};
    Bytes command = c.command;
    if (c.usesCmdSeq) command[2] = cmdSeq++;
    expected.insert(expected.end(), command.begin(), command.end());
    EXPECT_EQ(body, expected);
    if (c.tracked) {
      // Still waiting until the acknowledgement arrives.
      EXPECT_EQ(result.wait_for(std::chrono::milliseconds(30)), std::future_status::timeout);
      answer(zipSeq);
    }
    EXPECT_EQ(result.get(), 0);
    if (c.tracked) {
      EXPECT_EQ(HBN_core_zipCmdGetStatus(), HBN_ZIP_STATUS_OK);
    }
  }
}

using hbntest::loggedBy;

TEST_F(ZipTransport, CommandOf501BytesIsSentAnd502Refused) {
  hbntest::SyslogRecorder recorder;
  Bytes big(502, 0x25);
  EXPECT_EQ(HBN_core_zipPacketSend(7, big.data(), 502, 0, HBN_ZIP_SEND_TRACKED), 0);
  EXPECT_EQ(HBN_core_zipCmdSend(7, big.data(), 502, 0), -1);
  EXPECT_TRUE(loggedBy("HBN_core_zipCmdSend", "zconnection_send_async fail\n"));
  // The refusal left the transport idle: a 501-byte command goes out as a 512-byte body.
  EXPECT_EQ(HBN_core_zipCmdSend(7, big.data(), 501, 0), 0);
  Bytes body = nextPacket();
  ASSERT_EQ(body.size(), 512u);
  EXPECT_EQ(body[5], 1);  // the refused packets used no sequence number
}

TEST_F(ZipTransport, PacketAskingForAckIsAcknowledgedWithSwappedEndpoints) {
  hbntest::SyslogRecorder recorder;
  injectCommand(5, {0x25, 0x03, 0xFF}, 0x80, 0x42);
  // Endpoints 3 (source) and 4 (destination) come back swapped.
  inject(Bytes{0x05, 0x23, 0x02, 0x80, 0x40, 0x43, 0x03, 0x04, 0x25, 0x03, 0x00});
  Bytes raw1 = nextPacket();
  Bytes raw2 = nextPacket();
  EXPECT_EQ(raw1, (Bytes{0x23, 0x02, 0x40, 0x00, 0x42, 0x00, 0x00}));
  EXPECT_EQ(raw2, (Bytes{0x23, 0x02, 0x40, 0x00, 0x43, 0x04, 0x03}));
  auto r = reports(2);
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0].kind, HBN_ZIP_KIND_NODE);
  EXPECT_EQ(r[0].node, 5);
  EXPECT_EQ(r[0].data, (Bytes{0x25, 0x03, 0xFF}));
  EXPECT_TRUE(loggedBy("HBN_core_zipCmdRecv", "read len=11\n"));  // the body, read in one part
  // Without the request no acknowledgement is written.
  injectCommand(5, {0x25, 0x03, 0x01}, 0x00);
  reports(3);
  EXPECT_TRUE(nextPacket(50).empty());
}

struct AnswerCase {
  const char* name;
  std::vector<std::pair<int, uint8_t>> answers;  // (sequence offset from the sent one, flags 0)
  int result;
  int status;
};

// What the gateway answers decides the completion: only the answer to the packet just sent
// counts; "not yet" keeps the sender waiting; silence ends in a time-out.
TEST_F(ZipTransport, CompletionFollowsTheAnswerToTheLastPacket) {
  std::vector<AnswerCase> cases = {
      {"ack", {{0, 0x40}}, 0, HBN_ZIP_STATUS_OK},
      {"rejected", {{0, 0x20}}, -1, HBN_ZIP_STATUS_REJECTED},
      {"other sequence, then ack", {{1, 0x40}, {0, 0x40}}, 0, HBN_ZIP_STATUS_OK},
      {"not yet, then ack", {{0, 0x30}, {0, 0x40}}, 0, HBN_ZIP_STATUS_OK},
      {"no answer", {}, -1, HBN_ZIP_STATUS_TIMEOUT},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto started = std::chrono::steady_clock::now();
    auto result = std::async(std::launch::async, [] { return HBN_core_zipCmdGetNodeInfo(GW, 4); });
    Bytes body = nextPacket();
    ASSERT_GE(body.size(), 6u);
    for (auto& a : c.answers) {
      answer(static_cast<uint8_t>(body[5] + a.first), a.second);
      if (a.first != 0 || a.second == 0x30) {
        EXPECT_EQ(result.wait_for(std::chrono::milliseconds(40)), std::future_status::timeout);
      }
    }
    EXPECT_EQ(result.get(), c.result);
    EXPECT_EQ(HBN_core_zipCmdGetStatus(), c.status);
    // The time-out is 10 s scaled by 20 here.
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
  }
  // A late acknowledgement of the timed-out packet settles nothing new.
  auto result = std::async(std::launch::async, [] { return HBN_core_zipCmdGetNodeInfo(GW, 4); });
  Bytes body = nextPacket();
  answer(static_cast<uint8_t>(body[5] - 1));
  answer(body[5]);
  EXPECT_EQ(result.get(), 0);
}

TEST_F(ZipTransport, SendWhileWaitingIsRefusedAndUntrackedSendsDoNotWait) {
  hbntest::SyslogRecorder recorder;
  auto result = std::async(std::launch::async, [] { return HBN_core_zipCmdReset(GW); });
  Bytes first = nextPacket();
  const uint8_t probe[] = {0x20, 0x02};
  EXPECT_EQ(HBN_core_zipPacketSend(9, probe, 2, 0, HBN_ZIP_SEND_TRACKED), 0);
  EXPECT_EQ(HBN_core_zipCmdForceFailing(9), -1);
  EXPECT_TRUE(loggedBy("HBN_core_zipCmdForceFailing", "zconnection_send_async fail\n"));
  answer(first[5]);
  EXPECT_EQ(result.get(), 0);
  // Untracked: the transport is idle right after the send, no answer needed, and the status
  // of the last tracked packet stays what its sender is to read.
  EXPECT_EQ(HBN_core_zipCmdForceFailing(9), 0);
  EXPECT_EQ(HBN_core_zipCmdForceFailing(9), 0);
  EXPECT_EQ(HBN_core_zipCmdGetStatus(), HBN_ZIP_STATUS_OK);
  EXPECT_EQ(nextPacket()[4], 0xC8);
}

TEST_F(ZipTransport, NodeListWithoutWaitExpiresIfNeverAnswered) {
  EXPECT_EQ(HBN_core_zipCmdGetNodeList(0), 0);
  nextPacket();
  // Outstanding: a second packet is refused until the wait has run out (500 ms here).
  EXPECT_EQ(HBN_core_zipCmdForceFailing(9), -1);
  std::this_thread::sleep_for(std::chrono::milliseconds(550));
  EXPECT_EQ(HBN_core_zipCmdForceFailing(9), 0);
}

TEST_F(ZipTransport, FinishWakesTheWaitingSender) {
  auto result = std::async(std::launch::async, [] { return HBN_core_zipCmdReset(GW); });
  nextPacket();
  running_ = false;
  receiver_.join();
  HBN_core_zipCmdFinish();
  EXPECT_EQ(result.get(), -1);
  EXPECT_EQ(HBN_core_zipCmdGetStatus(), HBN_ZIP_STATUS_TIMEOUT);
  EXPECT_EQ(HBN_core_zipCmdReset(GW), -1);  // closed
}

struct ExtensionCase {
  const char* name;
  Bytes extension;  // length byte included
  bool handedOn;
};

// The header extension is walked option by option: types 1 to 4 and non-critical unknown
// types are skipped; a critical unknown type or a malformed extension drops the packet, and
// with it any completion it would have brought.
TEST_F(ZipTransport, HeaderExtensionWalk) {
  std::vector<ExtensionCase> cases = {
      {"installation info", {0x03, 0x02, 0x00}, true},
      {"types 1 to 4 with values",
       {0x0C, 0x01, 0x01, 0xAA, 0x03, 0x00, 0x04, 0x02, 0x01, 0x02, 0x84, 0x00},
       true},
      {"unknown, not critical", {0x06, 0x05, 0x01, 0x09, 0x02, 0x00}, true},
      {"unknown critical", {0x05, 0x02, 0x00, 0x85, 0x00}, false},
      {"option runs past extension", {0x04, 0x02, 0x05, 0x00}, false},
      {"extension runs past packet", {0x30, 0x02, 0x00}, false},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    size_t before = reports(0).size();
    auto result = std::async(std::launch::async, [] { return HBN_core_zipCmdGetRssi(GW, 3); });
    Bytes sent = nextPacket();
    // An acknowledgement of the outstanding packet that also carries a node command.
    Bytes body{0x03, 0x23, 0x02, 0x40, 0xC0, sent[5], 0x00, 0x00};
    body.insert(body.end(), c.extension.begin(), c.extension.end());
    body.insert(body.end(), {0x67, 0x0A, 0x03, 0xC4});
    if (!c.handedOn && c.name == std::string("extension runs past packet")) body.resize(body.size() - 4);
    inject(body);
    if (c.handedOn) {
      EXPECT_EQ(result.get(), 0);
      auto r = reports(before + 1);
      ASSERT_EQ(r.size(), before + 1);
      EXPECT_EQ(r.back().kind, HBN_ZIP_KIND_NODE_RSSI);
      EXPECT_EQ(r.back().data, (Bytes{0x03, 0xC4}));
    } else {
      EXPECT_EQ(result.wait_for(std::chrono::milliseconds(40)), std::future_status::timeout);
      answer(sent[5]);
      EXPECT_EQ(result.get(), 0);
      EXPECT_EQ(reports(before + 1, 50).size(), before);
    }
  }
}

struct ClassCase {
  Bytes command;
  int kind;
  Bytes data;
};

TEST(ZipClassify, ReportKindsAndTheirData) {
  const Bytes nodeList = [] {
    Bytes b{0x4D, 0x0B, 0x07};
    for (int i = 0; i < 34; ++i) b.push_back(static_cast<uint8_t>(i));
    return b;
  }();
  std::vector<ClassCase> cases = {
      {{0x52, 0x01, 0x00}, HBN_ZIP_KIND_NONE, {}},
      {{0x34, 0x02, 0x09, 0x06, 0x00, 0x05, 0x00}, HBN_ZIP_KIND_INCLUSION, {0x06, 0x00, 0x05, 0x00}},
      {{0x34, 0x04, 0x09, 0x06, 0x05}, HBN_ZIP_KIND_EXCLUSION, {0x06, 0x05}},
      {{0x34, 0x08, 0x09, 0x01, 0x05}, HBN_ZIP_KIND_REMOVE, {0x01, 0x05}},
      {{0x34, 0x0A, 0x09, 0x04, 0x05, 0x00, 0x00}, HBN_ZIP_KIND_REPLACE, {0x04, 0x05, 0x00, 0x00}},
      {{0x34, 0x11, 0x09, 0x00, 0x87, 0x05}, HBN_ZIP_KIND_KEYS, {0x00, 0x87, 0x05}},
      {{0x34, 0x13, 0x09, 0x02}, HBN_ZIP_KIND_DSK, {0x02}},
      {{0x34, 0x15, 0x09, 0x10}, HBN_ZIP_KIND_SMART_START, {0x10}},
      {{0x34, 0x01, 0x09, 0x00}, HBN_ZIP_KIND_NONE, {}},
      {{0x4D, 0x02, 0x01, 0x06, 0x00, 0x0C}, HBN_ZIP_KIND_LEARN, {0x06, 0x00, 0x0C}},
      {{0x4D, 0x07, 0x01, 0x06}, HBN_ZIP_KIND_RESET, {0x06}},
      {{0x4D, 0x09, 0x01, 0x00, 0x11}, HBN_ZIP_KIND_GW_DSK, {0x00, 0x11}},
      {nodeList, HBN_ZIP_KIND_NODE_LIST, Bytes(nodeList.begin() + 3, nodeList.end())},
      // The node information status byte becomes 6 whatever the gateway sent.
      {{0x4D, 0x0D, 0x01, 0x00, 0x00, 0x05, 0x01}, HBN_ZIP_KIND_NODE_INFO, {0x06, 0x00, 0x05, 0x01}},
      {{0x4D, 0xA9, 0x01, 0x11, 0x22}, HBN_ZIP_KIND_GW_DSK_2, {0x11, 0x22}},
      {{0x4D, 0x03, 0x01}, HBN_ZIP_KIND_NONE, {}},
      {{0x00}, HBN_ZIP_KIND_KEEP_ALIVE, {0x00}},
      {{0x78, 0x04, 0x01, 0x00, 0x10}, HBN_ZIP_KIND_PV_LIST, {0x00, 0x10}},
      {{0x78, 0x05, 0x01}, HBN_ZIP_KIND_NONE, {}},
      {{0xFA, 0xFA, 0x03, 0x02, 0x01}, HBN_ZIP_KIND_TEST_RESULT, {0x03, 0x02, 0x01}},
      {{0xFA, 0xFA, 0x03, 0x02, 0x01, 0x00}, HBN_ZIP_KIND_NONE, {}},
      {{0xFA, 0x01, 0x03, 0x02, 0x01}, HBN_ZIP_KIND_NONE, {}},
      {{0x67, 0x08, 0x01, 0xA0, 0xA1}, HBN_ZIP_KIND_CH_RSSI, {0x01, 0xA0, 0xA1}},
      {{0x67, 0x0A, 0x05, 0xC4}, HBN_ZIP_KIND_NODE_RSSI, {0x05, 0xC4}},
      {{0x67, 0x01}, HBN_ZIP_KIND_NONE, {}},
      // Encapsulated: the command from the fifth byte, as long as the fourth byte says.
      {{0x6C, 0x01, 0x05, 0x03, 0xA0, 0x05, 0x01, 0xEE}, HBN_ZIP_KIND_NODE, {0xA0, 0x05, 0x01}},
      {{0x6C, 0x01, 0x05, 0x05, 0xA0, 0x05, 0x01}, HBN_ZIP_KIND_NONE, {}},
      {{0x6C, 0x01, 0x05}, HBN_ZIP_KIND_NONE, {}},
      {{0x25, 0x03, 0xFF}, HBN_ZIP_KIND_NODE, {0x25, 0x03, 0xFF}},
      // Too short to carry the sequence number, or the command byte.
      {{0x34, 0x02}, HBN_ZIP_KIND_NONE, {}},
      {{0x4D}, HBN_ZIP_KIND_NONE, {}},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.command));
    Bytes command = c.command;
    const uint8_t* data = nullptr;
    int length = -1;
    EXPECT_EQ(HBN_core_zipClassify(command.data(), static_cast<int>(command.size()), &data, &length), c.kind);
    if (c.kind != HBN_ZIP_KIND_NONE) {
      ASSERT_NE(data, nullptr);
      EXPECT_EQ(Bytes(data, data + length), c.data);
    }
  }
}

// Framing: an over-long packet is read away and dropped, a packet without a command gives no
// report, and the following packet is still read in step.
TEST_F(ZipTransport, OverlongAndEmptyPacketsAreDroppedInStep) {
  Bytes huge(3000, 0x25);
  huge[0] = 0x05;
  inject(huge);
  inject(Bytes{});
  inject(Bytes{0x05});
  inject(Bytes{0x05, 0x23, 0x02, 0x00, 0x00, 0x01, 0x00, 0x00});
  injectCommand(6, {0x25, 0x03, 0x00});
  auto r = reports(1);
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].node, 6);
  EXPECT_EQ(r[0].data, (Bytes{0x25, 0x03, 0x00}));
  EXPECT_EQ(reports(2, 50).size(), 1u);
}

// Each test frame is waited for, and every answer gives one test result report with frames
// requested, frame index and acknowledgements counted so far.
TEST_F(ZipTransport, TestFramesReportEachAnswer) {
  auto result = std::async(std::launch::async, [] { return HBN_core_zipCmdTestFrame(9, 3); });
  const uint8_t answers[] = {0x40, 0x20, 0x40};
  for (uint8_t flags0 : answers) {
    Bytes body = nextPacket();
    ASSERT_EQ(body.size(), 14u);
    EXPECT_EQ(body[4], 0xCC);
    EXPECT_EQ(commandOf(body), (Bytes{0x20, 0x01, 0x00}));
    answer(body[5], flags0);
  }
  EXPECT_EQ(result.get(), 0);
  auto r = reports(3);
  ASSERT_EQ(r.size(), 3u);
  EXPECT_EQ(r[0].data, (Bytes{3, 1, 1}));
  EXPECT_EQ(r[1].data, (Bytes{3, 2, 1}));
  EXPECT_EQ(r[2].data, (Bytes{3, 3, 2}));
  for (auto& rep : r) EXPECT_EQ(rep.kind, HBN_ZIP_KIND_TEST_RESULT);
  // The run is over: later acknowledgements give no test report.
  auto more = std::async(std::launch::async, [] { return HBN_core_zipCmdReset(GW); });
  answer(nextPacket()[5]);
  EXPECT_EQ(more.get(), 0);
  EXPECT_EQ(reports(4, 50).size(), 3u);
}

class ZipRawRead : public ziptest::ZipPipes {
 protected:
  bool runReceiver() const override { return false; }
};

TEST_F(ZipRawRead, HangUpOfTheGatewayIsSeenAndReadsFail) {
  injectCommand(4, {0x00});
  int kind = 0, node = 0, length = 0;
  const uint8_t* data = nullptr;
  ASSERT_EQ(HBN_core_zipCmdRecv(&kind, &node, &data, &length), 0);
  EXPECT_EQ(kind, HBN_ZIP_KIND_KEEP_ALIVE);
  EXPECT_EQ(node, 4);
  // A length without its body, then the gateway goes away.
  const uint8_t half[] = {0x10, 0x00, 0x04};
  ASSERT_EQ(write(toAgent_, half, sizeof(half)), 3);
  close(toAgent_);
  toAgent_ = -1;
  EXPECT_EQ(HBN_core_zipCmdRecv(&kind, &node, &data, &length), -1);
  EXPECT_EQ(kind, HBN_ZIP_KIND_NONE);
  struct pollfd p = {HBN_core_zipCmdGetFd(), POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 500), 1);
  EXPECT_TRUE(p.revents & POLLHUP);
  // Writing to a gateway that closed its pipe fails cleanly (no SIGPIPE).
  close(fromAgent_);
  fromAgent_ = -1;
  EXPECT_EQ(HBN_core_zipCmdForceFailing(3), -1);
}

}  // namespace
