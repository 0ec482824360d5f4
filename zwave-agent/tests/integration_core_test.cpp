// The core as a whole (request API, both core threads, Z/IP transport, IR handler, settings
// store) against the Z/IP gateway simulator on real FIFOs in a sandbox. The tests watch what
// reaches the gateway (the simulator's packet log) and what is queued for the cloud.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "hbn_cloud.h"
#include "hbn_core.h"
#include "hbn_core_thread.h"
#include "hbn_log.h"
#include "hbn_nvm.h"
#include "hbn_os.h"
#include "hbn_test.h"
#include "hbn_zip.h"
#include "zipgw_sim_client.h"

namespace {

using Bytes = std::vector<uint8_t>;
using zipgwsim::fromHex;

std::mutex g_logMutex;
std::vector<std::string> g_logLines;

void captureLog(int, const char* line) {
  std::lock_guard<std::mutex> lock(g_logMutex);
  g_logLines.emplace_back(line);
}

bool logged(const std::string& text) {
  std::lock_guard<std::mutex> lock(g_logMutex);
  for (const auto& line : g_logLines) {
    if (line.find(text) != std::string::npos) return true;
  }
  return false;
}

template <typename Pred>
bool waitFor(Pred pred, int timeoutMs = 3000) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < end) {
    if (pred()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return pred();
}

struct CloudMsg {
  uint32_t kind = 0, p1 = 0, p2 = 0, p3 = 0;
  Bytes data;
  std::string text() const { return std::string(data.begin(), data.end()).c_str(); }
};

class CoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    HBN_log_setSyslogHook(captureLog);
    sandbox_.mkdirs("/jffs2/hbn");
    sandbox_.mkdirs("/tmp");
  }
  void TearDown() override {
    HBN_core_finalize();
    HBN_nvm_finalize();
    HBN_os_finalize();
    sim_.reset();
    unsetenv("HBN_TIME_SCALE");
    HBN_log_setSyslogHook(nullptr);
  }

  // Starts the simulator with its network, then the core against it.
  void start(std::vector<std::string> simArgs = {"--gw", "1", "--nodes", "2,3"}) {
    sim_.reset(new zipgwsim::Client(sandbox_.root(), simArgs));
    ASSERT_TRUE(sim_->start());
    ASSERT_EQ(HBN_os_initialize(), 0);
    ASSERT_EQ(HBN_nvm_initialize(1), 0);
    ASSERT_EQ(HBN_core_initialize(), 0);
    ASSERT_TRUE(sim_->waitConnected());
  }

  // Cloud messages queued so far (waits until `count` arrived, or a short quiet period).
  std::vector<CloudMsg> cloud(size_t count = 0, int timeoutMs = 3000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      CloudMsg m;
      uint8_t buffer[4096];
      int length = 0;
      int result = HBN_cloud_testReceive(50, &m.kind, &m.p1, &m.p2, &m.p3, buffer, sizeof(buffer), &length);
      if (result == 0) {
        m.data.assign(buffer, buffer + (length > 0 ? length : 0));
        received_.push_back(m);
        continue;
      }
      if (received_.size() >= count || std::chrono::steady_clock::now() >= end) break;
    }
    std::vector<CloudMsg> out;
    out.swap(received_);
    return out;
  }

  // Mode reports among the cloud messages.
  static std::vector<CloudMsg> modes(const std::vector<CloudMsg>& msgs) {
    std::vector<CloudMsg> out;
    for (const auto& m : msgs) {
      if (m.kind == HBN_CLOUD_KIND_MODE) out.push_back(m);
    }
    return out;
  }

  // Z-Wave commands the agent sent from index `from` on (node ID byte first).
  std::vector<Bytes> commandsFrom(size_t from) {
    auto all = sim_->commands();
    return std::vector<Bytes>(all.begin() + static_cast<long>(std::min(from, all.size())), all.end());
  }

  // A command's class and command bytes with the destination, ignoring the sequence number.
  static bool is(const Bytes& c, uint8_t dst, uint8_t cls, uint8_t cmd) {
    return c.size() >= 3 && c[0] == dst && c[1] == cls && c[2] == cmd;
  }

  hbntest::Sandbox sandbox_;
  std::unique_ptr<zipgwsim::Client> sim_;
  std::vector<CloudMsg> received_;
};

TEST_F(CoreTest, StartReadsTheNodeListWithTheFirstSequenceNumbers) {
  start({"--gw", "1", "--home", "C0FFEE01", "--nodes", "2,3"});
  auto packets = sim_->received();
  ASSERT_FALSE(packets.empty());
  // node 0, 0x23 0x02, ack requested, header extension + command + secure, Z/IP sequence 1,
  // endpoints, extension, then 0x4D 0x0A with command sequence 0.
  EXPECT_EQ(packets[0], fromHex("00 23 02 80 D0 01 00 00 03 02 00 4D 0A 00"));

  int gw = 0;
  uint32_t home = 0;
  HBN_core_getGwID(&gw, &home);
  EXPECT_EQ(gw, 1);
  EXPECT_EQ(home, 0xC0FFEE01u);
  int length = 0;
  uint8_t list[29] = {};
  HBN_core_getNodeList(&length, list);
  EXPECT_EQ(length, 29);
  EXPECT_EQ(list[0], 0x06);  // nodes 2 and 3, never the gateway itself
  int mode = -1;
  HBN_core_getMode(&mode);
  EXPECT_EQ(mode, 0);
}

TEST_F(CoreTest, ModeChangesStopTheCurrentModeFirstAndReportOnce) {
  start();
  ASSERT_EQ(HBN_core_recvMode(2, 0), 0);
  auto msgs = modes(cloud(1));
  ASSERT_EQ(msgs.size(), 1u);
  EXPECT_EQ(msgs[0].p1, 2u);
  EXPECT_EQ(msgs[0].p2, 0u);

  size_t before = sim_->commands().size();
  ASSERT_EQ(HBN_core_recvMode(1, 0), 0);
  msgs = modes(cloud(1));
  ASSERT_EQ(msgs.size(), 1u);
  EXPECT_EQ(msgs[0].p1, 1u);
  EXPECT_EQ(msgs[0].p2, 0u);
  auto sent = commandsFrom(before);
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0], (Bytes{1, 0x34, 0x03, sent[0][3], 0x00, 0x05}));        // exclusion stop
  EXPECT_EQ(sent[1], (Bytes{1, 0x34, 0x01, sent[1][3], 0x00, 0x07, 0x00}));  // inclusion start
  EXPECT_EQ(static_cast<uint8_t>(sent[0][3] + 1), sent[1][3]);               // command sequence runs on

  // The current mode again: nothing sent, nothing reported.
  before = sim_->commands().size();
  ASSERT_EQ(HBN_core_recvMode(1, 0), 0);
  EXPECT_TRUE(cloud(0, 300).empty());
  EXPECT_EQ(sim_->commands().size(), before);
}

TEST_F(CoreTest, AJoiningNodeIsAddedStoredAndEndsInclusion) {
  start();
  ASSERT_TRUE(sim_->command("join 5"));
  ASSERT_EQ(HBN_core_recvMode(1, 0), 0);
  auto msgs = cloud(3);
  ASSERT_GE(msgs.size(), 3u);
  EXPECT_EQ(msgs[0].kind, static_cast<uint32_t>(HBN_CLOUD_KIND_MODE));
  EXPECT_EQ(msgs[0].p1, 1u);

  const CloudMsg* add = nullptr;
  for (const auto& m : msgs) {
    if (m.kind == HBN_CLOUD_KIND_NODE_ADD) add = &m;
  }
  ASSERT_NE(add, nullptr);
  EXPECT_EQ(add->p1, 5u);
  ASSERT_EQ(add->data.size(), sizeof(HBN_node_info_t));
  HBN_node_info_t record;
  memcpy(&record, add->data.data(), sizeof(record));
  EXPECT_GT(record.commandClassCount, 0);
  for (int i = 0; i < record.commandClassCount; ++i) {
    EXPECT_EQ(HBN_nvm_isSecureClass(5, record.commandClasses[i]) != 0, record.securityFlags[i] != 0) << i;
  }

  const CloudMsg& last = msgs.back();
  EXPECT_EQ(last.kind, static_cast<uint32_t>(HBN_CLOUD_KIND_MODE));
  EXPECT_EQ(last.p1, 0u);
  EXPECT_EQ(last.p3, 1u);  // the platform hears of the end of inclusion

  int length = 0;
  uint8_t list[29] = {};
  HBN_core_getNodeList(&length, list);
  EXPECT_EQ(list[0], 0x16);  // nodes 2, 3 and 5
}

TEST_F(CoreTest, LearnIsRefusedOnAGatewayThatHasItsOwnNodes) {
  start({"--gw", "1", "--nodes", "2"});
  size_t before = sim_->commands().size();
  ASSERT_EQ(HBN_core_recvMode(4, 0), 0);
  auto msgs = modes(cloud(1));
  ASSERT_EQ(msgs.size(), 1u);
  EXPECT_EQ(msgs[0].p1, 4u);
  EXPECT_EQ(msgs[0].p2, 1u);
  EXPECT_EQ(msgs[0].text(), "Internal Error");
  EXPECT_EQ(sim_->commands().size(), before);
  int mode = -1;
  HBN_core_getMode(&mode);
  EXPECT_EQ(mode, 0);
}

TEST_F(CoreTest, LearnOnAGatewayThatIsNotNodeOneJoinsTheOtherNetwork) {
  start({"--gw", "5", "--home", "C0FFEE01", "--nodes", "2"});
  ASSERT_TRUE(sim_->command("learn 7"));
  size_t before = sim_->commands().size();
  ASSERT_EQ(HBN_core_recvMode(4, 0), 0);
  // The start is reported before the end, however fast the gateway is; then, once the new
  // node list is in, the cloud hears "connected".
  // The DSK asked for before learn mode goes to the cloud as well.
  auto all = cloud(4);
  std::vector<CloudMsg> msgs;
  size_t dsks = 0;
  for (const auto& m : all) {
    if (m.kind == HBN_CLOUD_KIND_GW_DSK) {
      ++dsks;
      EXPECT_EQ(m.data.size(), 16u);
    } else {
      msgs.push_back(m);
    }
  }
  EXPECT_EQ(dsks, 1u);
  ASSERT_EQ(msgs.size(), 3u);
  EXPECT_EQ(msgs[0].kind, static_cast<uint32_t>(HBN_CLOUD_KIND_MODE));
  EXPECT_EQ(msgs[0].p1, 4u);
  EXPECT_EQ(msgs[0].p2, 0u);
  EXPECT_EQ(msgs[1].kind, static_cast<uint32_t>(HBN_CLOUD_KIND_MODE));
  EXPECT_EQ(msgs[1].p1, 0u);
  EXPECT_EQ(msgs[1].p3, 0u);
  EXPECT_EQ(msgs[2].kind, static_cast<uint32_t>(HBN_CLOUD_KIND_CONNECTED));

  auto sent = commandsFrom(before);
  ASSERT_GE(sent.size(), 3u);
  EXPECT_TRUE(is(sent[0], 5, 0x4D, 0x08));  // DSK get
  EXPECT_EQ(sent[1], (Bytes{5, 0x4D, 0x01, sent[1][3], 0x00, 0x01}));
  EXPECT_TRUE(is(sent[2], 0, 0x4D, 0x0A));  // the new node list
  int gw = 0, mode = -1;
  uint32_t home = 0;
  HBN_core_getGwID(&gw, &home);
  HBN_core_getMode(&mode);
  EXPECT_EQ(gw, 7);
  EXPECT_EQ(home, 0xC0FFEE01u + 0x100);
  EXPECT_EQ(mode, 0);
}

TEST_F(CoreTest, ASilentGatewayEndsInATimeoutAndAnInternalError) {
  start();
  setenv("HBN_TIME_SCALE", "20", 1);  // acknowledgement wait of half a second
  ASSERT_TRUE(sim_->command("reply silent 1"));
  ASSERT_EQ(HBN_core_recvMode(1, 0), 0);
  auto msgs = modes(cloud(1, 5000));
  ASSERT_EQ(msgs.size(), 1u);
  EXPECT_EQ(msgs[0].p1, 1u);
  EXPECT_EQ(msgs[0].p2, 1u);
  EXPECT_EQ(msgs[0].text(), "Internal Error");
  EXPECT_EQ(HBN_core_zipCmdGetStatus(), static_cast<int>(HBN_ZIP_STATUS_TIMEOUT));
  EXPECT_TRUE(logged("Transmission was timeout."));
}

TEST_F(CoreTest, AGatewayThatHangsUpStopsTheCommandThread) {
  start();
  ASSERT_TRUE(sim_->command("hangup"));
  EXPECT_TRUE(waitFor([] { return logged("Z/IP is down"); }));
  EXPECT_TRUE(waitFor([] { return logged("CORE cmd thread finish"); }));
  // The entry sees the Z-Wave side gone and ends the agent for a restart.
  EXPECT_EQ(HBN_core_isZipDown(), 1);
  auto t0 = std::chrono::steady_clock::now();
  HBN_core_finalize();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
}

TEST_F(CoreTest, AStartWithoutANodeListFailsInsteadOfHanging) {
  sim_.reset(new zipgwsim::Client(sandbox_.root(), {"--gw", "1"}));
  ASSERT_TRUE(sim_->start());
  ASSERT_TRUE(sim_->command("reply silent"));
  setenv("HBN_TIME_SCALE", "20", 1);
  ASSERT_EQ(HBN_os_initialize(), 0);
  ASSERT_EQ(HBN_nvm_initialize(1), 0);
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_NE(HBN_core_initialize(), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(3));
  EXPECT_TRUE(logged("CORE thread create fail"));
}

TEST_F(CoreTest, ARestartRecreatesThreadsQueuesAndTheConnection) {
  start();
  HBN_core_finalize();
  ASSERT_TRUE(sim_->waitHangup());
  ASSERT_EQ(HBN_core_initialize(), 0);
  ASSERT_TRUE(sim_->waitConnected(2));
  int mode = -1;
  HBN_core_getMode(&mode);
  EXPECT_EQ(mode, 0);
  // The new connection starts its sequence numbers again with the node list request.
  auto packets = sim_->received();
  size_t lists = 0;
  for (const auto& p : packets) {
    if (p == fromHex("00 23 02 80 D0 01 00 00 03 02 00 4D 0A 00")) ++lists;
  }
  EXPECT_EQ(lists, 2u);
  ASSERT_EQ(HBN_core_recvMode(2, 0), 0);
  auto msgs = modes(cloud(1));
  ASSERT_EQ(msgs.size(), 1u);
  EXPECT_EQ(msgs[0].p1, 2u);
  EXPECT_EQ(msgs[0].p2, 0u);
}

TEST_F(CoreTest, AnIrReadbackOfTwoReportsReachesTheCloudAsOneMessage) {
  start();
  ASSERT_TRUE(sim_->command("irchunk 10"));
  ASSERT_TRUE(sim_->command("ircode 000102030405060708090A0B0C0D0E0F10111213"));
  size_t before = sim_->commands().size();
  Bytes get = {0xA0, 0x09, 0x07, 0x00, 0x01};
  ASSERT_EQ(HBN_core_recvNodeSend(2, get.data(), static_cast<int>(get.size())), 0);

  auto msgs = cloud(1);
  ASSERT_EQ(msgs.size(), 1u);
  const CloudMsg& m = msgs[0];
  EXPECT_EQ(m.kind, static_cast<uint32_t>(HBN_CLOUD_KIND_NODE_RECEIVE));
  EXPECT_EQ(m.p1, 2u);
  ASSERT_GE(m.data.size(), 7u);
  EXPECT_EQ(Bytes(m.data.begin(), m.data.begin() + 5), (Bytes{0xA0, 0x0A, 0x07, 0x00, 0x02}));
  // The last two bytes are the report lengths; together they cover the data in between.
  size_t lengths = m.data[m.data.size() - 2] + m.data[m.data.size() - 1];
  EXPECT_EQ(m.data.size(), 5 + lengths + 2);

  auto sent = commandsFrom(before);
  size_t gets = 0, getNext = 0;
  for (const auto& c : sent) {
    if (c == (Bytes{2, 0xA0, 0x09, 0x01, 0x00, 0x01})) ++gets;
    if (c == (Bytes{2, 0xA0, 0x09, 0x01, 0x00, 0x02})) ++getNext;
  }
  EXPECT_EQ(gets, 1u);
  EXPECT_EQ(getNext, 1u);
}

TEST_F(CoreTest, AnS2JoinAnswersTheDskWithTheGrantedKey) {
  start();
  ASSERT_TRUE(sim_->command("join 6 s2"));
  ASSERT_EQ(HBN_core_recvMode(1, 0), 0);
  // The mode report and the key request come from different threads, in either order.
  auto msgs = cloud(2);
  ASSERT_EQ(msgs.size(), 2u);
  const CloudMsg& key = msgs[0].kind == HBN_CLOUD_KIND_NODE_KEY ? msgs[0] : msgs[1];
  EXPECT_EQ(key.kind, static_cast<uint32_t>(HBN_CLOUD_KIND_NODE_KEY));
  EXPECT_EQ(key.p1, 6u);
  EXPECT_EQ(key.p2, 0x87u);

  size_t before = sim_->commands().size();
  ASSERT_EQ(HBN_core_recvNodeKeyZW(6, 0x87, 12345), 0);  // PIN 12345 = 0x3039
  msgs = cloud(2);
  ASSERT_EQ(msgs.size(), 2u);
  EXPECT_EQ(msgs[0].kind, static_cast<uint32_t>(HBN_CLOUD_KIND_NODE_ADD));
  EXPECT_EQ(msgs[0].p1, 6u);
  EXPECT_EQ(msgs[1].kind, static_cast<uint32_t>(HBN_CLOUD_KIND_MODE));
  EXPECT_EQ(msgs[1].p1, 0u);
  auto sent = commandsFrom(before);
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0], (Bytes{1, 0x34, 0x12, sent[0][3], 0x01, 0x87}));
  EXPECT_EQ(sent[1], (Bytes{1, 0x34, 0x14, sent[1][3], 0x82, 0x30, 0x39}));
}

TEST_F(CoreTest, NodeRequestsReachTheGatewayAndTheirAnswersTheCloud) {
  start({"--gw", "1", "--nodes", "2,3"});
  // Node information: the record is stored, and decides which frames go out with security.
  ASSERT_EQ(HBN_core_recvNodeUpdate(2, 0), 0);
  auto msgs = cloud(1);
  ASSERT_EQ(msgs.size(), 1u);
  EXPECT_EQ(msgs[0].kind, static_cast<uint32_t>(HBN_CLOUD_KIND_NODE_UPDATE));
  EXPECT_EQ(msgs[0].p1, 2u);
  EXPECT_TRUE(HBN_nvm_isSecureClass(2, 0x25));
  EXPECT_FALSE(HBN_nvm_isSecureClass(2, 0x86));

  size_t before = sim_->received().size();
  Bytes secure = {0x25, 0x01, 0xFF}, plain = {0x86, 0x11};
  ASSERT_EQ(HBN_core_recvNodeSend(2, secure.data(), 3), 0);
  ASSERT_EQ(HBN_core_recvNodeSend(2, plain.data(), 2), 0);
  ASSERT_TRUE(sim_->waitReceived(before + 2));
  std::vector<Bytes> frames;
  for (const auto& body : sim_->received()) {
    if (body.size() > 11 && body[0] == 2) frames.push_back(body);
  }
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0][4], 0xD0);  // with security
  EXPECT_EQ(Bytes(frames[0].begin() + 11, frames[0].end()), secure);
  EXPECT_EQ(frames[1][4], 0xC0);
  EXPECT_EQ(Bytes(frames[1].begin() + 11, frames[1].end()), plain);

  // Failed-node removal: a known node goes, an unknown one is reported as not removed.
  ASSERT_EQ(HBN_core_recvNodeRemove(3, 0), 0);
  ASSERT_EQ(HBN_core_recvNodeRemove(9, 0), 0);
  ASSERT_EQ(HBN_core_recvGetRssi(2), 0);
  msgs = cloud(3);
  ASSERT_EQ(msgs.size(), 3u);
  EXPECT_EQ(msgs[0].kind, static_cast<uint32_t>(HBN_CLOUD_KIND_NODE_REMOVE));
  EXPECT_EQ(msgs[0].p1, 3u);
  EXPECT_EQ(msgs[0].p2, 0u);
  EXPECT_EQ(msgs[1].p1, 9u);
  EXPECT_EQ(msgs[1].p2, 1u);
  EXPECT_EQ(msgs[2].kind, static_cast<uint32_t>(HBN_CLOUD_KIND_RSSI));
  EXPECT_EQ(static_cast<int32_t>(msgs[2].p2), -60);
  int length = 0;
  uint8_t list[29] = {};
  HBN_core_getNodeList(&length, list);
  EXPECT_EQ(list[0], 0x02);
}

TEST_F(CoreTest, TheProvisioningListIsReadEntryByEntryAndEmptiedByAReset) {
  start();
  ASSERT_TRUE(sim_->command("pv 000102030405060708090A0B0C0D0E0F 7"));
  ASSERT_TRUE(sim_->command("pv 101112131415161718191A1B1C1D1E1F 8"));
  ASSERT_EQ(HBN_core_recvGetPvList(), 0);
  auto msgs = cloud(1);
  ASSERT_EQ(msgs.size(), 1u);
  EXPECT_EQ(msgs[0].kind, static_cast<uint32_t>(HBN_CLOUD_KIND_PVLIST));
  ASSERT_EQ(msgs[0].p1, 2u);
  ASSERT_EQ(msgs[0].data.size(), 34u);
  EXPECT_EQ(msgs[0].data[0], 0x00);
  EXPECT_EQ(msgs[0].data[16], 7);
  EXPECT_EQ(msgs[0].data[17], 0x10);
  EXPECT_EQ(msgs[0].data[33], 8);

  size_t before = sim_->commands().size();
  ASSERT_EQ(HBN_core_recvReset(0), 0);
  msgs = cloud(1);
  ASSERT_EQ(msgs.size(), 1u);
  EXPECT_EQ(msgs[0].kind, static_cast<uint32_t>(HBN_CLOUD_KIND_RESET));
  EXPECT_EQ(msgs[0].p2, 0u);
  auto sent = commandsFrom(before);
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0], (Bytes{1, 0x78, 0x02, sent[0][3], 0x00}));  // every entry deleted first
  EXPECT_TRUE(is(sent[1], 1, 0x4D, 0x06));
  int length = 0;
  uint8_t list[29] = {0xFF};
  HBN_core_getNodeList(&length, list);
  EXPECT_EQ(list[0], 0x00);

  ASSERT_EQ(HBN_core_recvGetPvList(), 0);
  msgs = cloud(1);
  ASSERT_EQ(msgs.size(), 1u);
  EXPECT_EQ(msgs[0].p1, 0u);
}

TEST_F(CoreTest, ReplaceAndExclusionEndWithTheGatewaysReports) {
  start({"--gw", "1", "--nodes", "2,3,4"});
  ASSERT_TRUE(sim_->command("replace fail"));
  size_t before = sim_->commands().size();
  ASSERT_EQ(HBN_core_recvMode(3, 4), 0);
  // Nothing is reported for the start itself: "ready" gives mode 3, "failed" mode 0.
  auto msgs = cloud(2);
  ASSERT_EQ(msgs.size(), 2u);
  EXPECT_EQ(msgs[0].p1, 3u);
  EXPECT_EQ(msgs[0].p3, 0u);
  EXPECT_EQ(msgs[1].p1, 0u);
  EXPECT_EQ(msgs[1].p2, 1u);
  EXPECT_EQ(msgs[1].p3, 1u);
  EXPECT_EQ(msgs[1].text(), "not replaced");
  auto sent = commandsFrom(before);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0], (Bytes{1, 0x34, 0x09, sent[0][3], 0x04, 0x00, 0x07}));

  ASSERT_TRUE(sim_->command("leave 3"));
  ASSERT_EQ(HBN_core_recvMode(2, 0), 0);
  msgs = cloud(3);
  ASSERT_EQ(msgs.size(), 3u);
  EXPECT_EQ(msgs[0].kind, static_cast<uint32_t>(HBN_CLOUD_KIND_MODE));
  EXPECT_EQ(msgs[0].p1, 2u);
  EXPECT_EQ(msgs[1].kind, static_cast<uint32_t>(HBN_CLOUD_KIND_NODE_REMOVE));
  EXPECT_EQ(msgs[1].p1, 3u);
  EXPECT_EQ(msgs[2].kind, static_cast<uint32_t>(HBN_CLOUD_KIND_MODE));
  EXPECT_EQ(msgs[2].p1, 0u);
  int length = 0;
  uint8_t list[29] = {};
  HBN_core_getNodeList(&length, list);
  EXPECT_EQ(list[0], 0x0A);  // nodes 2 and 4
}

TEST_F(CoreTest, ForcedRemovalProbesTheNodeFirstAndTestFramesReportEachAnswer) {
  start({"--gw", "1", "--nodes", "2,3"});
  setenv("HBN_TIME_SCALE", "50", 1);  // the pause after the probe becomes 100 ms
  size_t before = sim_->received().size();
  ASSERT_EQ(HBN_core_recvNodeRemove(3, 1), 0);
  auto msgs = cloud(1);
  ASSERT_EQ(msgs.size(), 1u);
  EXPECT_EQ(msgs[0].kind, static_cast<uint32_t>(HBN_CLOUD_KIND_NODE_REMOVE));
  EXPECT_EQ(msgs[0].p2, 0u);
  auto bodies = sim_->received();
  std::vector<Bytes> sent;
  for (size_t i = before; i < bodies.size(); ++i) {
    if (bodies[i].size() > 7) sent.push_back(bodies[i]);  // not the acknowledgements
  }
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0][0], 3);
  EXPECT_EQ(sent[0][4], 0xC8);  // untracked probe
  EXPECT_EQ(Bytes(sent[0].begin() + 11, sent[0].end()), (Bytes{0x20, 0x02}));
  EXPECT_EQ(Bytes(sent[1].begin() + 11, sent[1].begin() + 13), (Bytes{0x34, 0x07}));

  ASSERT_EQ(HBN_core_recvNodeTestFrame(2, 3), 0);
  msgs = cloud(3);
  ASSERT_EQ(msgs.size(), 3u);
  for (uint32_t i = 0; i < 3; ++i) {
    EXPECT_EQ(msgs[i].kind, static_cast<uint32_t>(HBN_CLOUD_KIND_NODE_TEST_FRAME));
    EXPECT_EQ(msgs[i].p1, 2u);
    EXPECT_EQ(msgs[i].p2, (3u << 16) | ((i + 1) << 8) | (i + 1)) << i;
  }
}

TEST_F(CoreTest, TheVersionReportComesADayAfterTheStartNotAtIt) {
  start();
  setenv("HBN_TIME_SCALE", "172800", 1);  // a day becomes half a second
  auto quiet = cloud(0, 150);
  for (const auto& m : quiet) EXPECT_NE(m.kind, static_cast<uint32_t>(HBN_CLOUD_KIND_VERSION));
  auto later = cloud(1, 2000);
  bool version = false;
  for (const auto& m : later) version = version || m.kind == HBN_CLOUD_KIND_VERSION;
  EXPECT_TRUE(version);
}

}  // namespace
