// Report parsers of the core command thread, driven directly with byte arrays: what they do to
// the shared state, the settings store, the core queue and the cloud queue, and that no report,
// however short, long or malformed, reads or writes outside its buffers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "hbn_cloud.h"
#include "hbn_core.h"
#include "hbn_core_thread.h"
#include "hbn_log_capture.h"
#include "hbn_nvm.h"
#include "hbn_os.h"
#include "hbn_test.h"
#include "hbn_zip.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct CloudMsg {
  uint32_t kind = 0, p1 = 0, p2 = 0, p3 = 0;
  Bytes data;
};

class CoreCmdTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sandbox_.mkdirs("/jffs2/hbn");
    ASSERT_EQ(HBN_os_initialize(), 0);
    ASSERT_EQ(HBN_nvm_initialize(1), 0);
    ASSERT_EQ(HBN_queue_create(&queue_), 0);
    state_.mode.store(HBN_CORE_MODE_NORMAL);
    state_.homeId = 0;
    state_.gwNodeId = 1;
    memset(state_.nodeList, 0, sizeof(state_.nodeList));
    HBN_core_threadBind(nullptr, queue_, &state_);
    ASSERT_EQ(HBN_cloud_testSetup(), 0);
  }
  void TearDown() override {
    HBN_cloud_testTeardown();
    HBN_queue_delete(queue_);
    HBN_nvm_finalize();
    HBN_os_finalize();
  }

  // Everything queued for the cloud so far, in order.
  std::vector<CloudMsg> cloud(int waitMs = 20) {
    std::vector<CloudMsg> out;
    for (;;) {
      CloudMsg m;
      uint8_t buffer[4096];
      int length = 0;
      if (HBN_cloud_testReceive(waitMs, &m.kind, &m.p1, &m.p2, &m.p3, buffer, sizeof(buffer), &length) != 0)
        break;
      m.data.assign(buffer, buffer + (length > 0 ? length : 0));
      out.push_back(m);
    }
    return out;
  }

  bool nodeBit(int node) const { return (state_.nodeList[(node - 1) / 8] >> ((node - 1) % 8)) & 1; }

  static HBN_node_info_t record(const CloudMsg& m) {
    HBN_node_info_t r;
    EXPECT_EQ(m.data.size(), sizeof(r));
    memcpy(&r, m.data.data(), m.data.size() < sizeof(r) ? m.data.size() : sizeof(r));
    return r;
  }

  hbntest::Sandbox sandbox_;
  HBN_queue_t* queue_ = nullptr;
  HBN_core_state_t state_;
};

// A gateway node report: status, reserved, node, NIF length, five device bytes, then `rest`.
Bytes nodeReport(uint8_t status, uint8_t node, const Bytes& rest) {
  Bytes b(9 + rest.size());
  const uint8_t head[9] = {status, 0, node, 0, 0xD3, 0x9C, 0x04, 0x10, 0x01};
  std::copy(head, head + 9, b.begin());
  std::copy(rest.begin(), rest.end(), b.begin() + 9);
  return b;
}

// Three classes (0x25 secure), every block present, text device ID "AB", flags bit 1.
Bytes fullNodeReport(uint8_t status, uint8_t node) {
  return nodeReport(
      status, node,
      {3,   0x25, 0x86, 0x5E,                          // classes
       2,   1,    5,    0,    0x07, 0x00, 0x07, 0x01,  // Z-Wave Plus: v1, role 5, type 0, icons 0x700, 0x701
       2,   0x01, 0x0B, 0x00, 0xF1, 0x00, 0x01,        // manufacturer 0x010B, type 0xF1, product 1
       2,   1,    0,    2,    'A',  'B',               // device ID type 1, text "AB"
       2,   0,    3,    'K',  'i',  't',               // location "Kit"
       2,   0,    4,    'L',  'a',  'm',  'p',         // name "Lamp"
       2,   2,    3,    1,                             // versions
       1,   0,    0,                                   // security flags
       0x02});                                         // flags
}

TEST_F(CoreCmdTest, NodeListOfExactly34BytesReplacesIdentityAndNeverListsTheGateway) {
  for (int length : {33, 35}) {
    Bytes bad(static_cast<size_t>(length), 0xFF);
    HBN_core_threadShared().firstListAvailable = false;
    HBN_core_threadParseNodeList(bad.data(), length);
    EXPECT_EQ(state_.homeId, 0u) << length;
    EXPECT_FALSE(HBN_core_threadShared().firstListAvailable) << "signal released by a bad list";
  }

  Bytes list(34, 0);
  list[0] = 0xC0, list[1] = 0xFF, list[2] = 0xEE, list[3] = 0x01, list[4] = 9;  // gateway is node 9
  list[5] = 0x06;                                                               // nodes 2, 3
  list[5 + 1] = 0x01;                                                           // node 9 (the gateway itself)
  list[5 + 28] = 0x80;                                                          // node 232
  HBN_core_threadParseNodeList(list.data(), 34);
  EXPECT_EQ(state_.homeId, 0xC0FFEE01u);
  EXPECT_EQ(state_.gwNodeId, 9u);
  EXPECT_TRUE(nodeBit(2) && nodeBit(3) && nodeBit(232));
  EXPECT_FALSE(nodeBit(9));
  EXPECT_TRUE(HBN_core_threadShared().firstListAvailable);
  EXPECT_TRUE(cloud().empty());

  // After a learn the next list announces "connected" instead of releasing the start signal.
  HBN_core_threadShared().firstListAvailable = false;
  HBN_core_threadShared().sendConnectedAfterList.store(true);
  HBN_core_threadParseNodeList(list.data(), 34);
  auto msgs = cloud();
  ASSERT_EQ(msgs.size(), 1u);
  EXPECT_EQ(msgs[0].kind, static_cast<uint32_t>(HBN_CLOUD_KIND_CONNECTED));
  EXPECT_FALSE(HBN_core_threadShared().sendConnectedAfterList.load());
  EXPECT_FALSE(HBN_core_threadShared().firstListAvailable);
}

TEST_F(CoreCmdTest, InclusionBuildsTheRecordSetsTheBitStoresSecureClassesAndEndsTheMode) {
  state_.mode.store(HBN_CORE_MODE_INCLUSION);
  Bytes report = fullNodeReport(6, 5);
  HBN_core_threadParseInclusion(report.data(), static_cast<int>(report.size()));

  EXPECT_TRUE(nodeBit(5));
  EXPECT_TRUE(HBN_nvm_isSecureClass(5, 0x25));
  EXPECT_FALSE(HBN_nvm_isSecureClass(5, 0x86));
  EXPECT_EQ(state_.mode.load(), HBN_CORE_MODE_NORMAL);

  auto msgs = cloud();
  ASSERT_EQ(msgs.size(), 2u);
  EXPECT_EQ(msgs[0].kind, static_cast<uint32_t>(HBN_CLOUD_KIND_NODE_ADD));
  EXPECT_EQ(msgs[0].p1, 5u);
  EXPECT_EQ(msgs[0].p2, 0u);
  HBN_node_info_t r = record(msgs[0]);
  EXPECT_EQ(r.capabilityState, 0);
  EXPECT_EQ(r.capability, 0xD3);
  EXPECT_EQ(r.specific, 0x01);
  EXPECT_EQ(r.commandClassState, 2);
  ASSERT_EQ(r.commandClassCount, 3);
  EXPECT_EQ(r.commandClasses[2], 0x5E);
  EXPECT_EQ(r.versions[0], 2);
  EXPECT_EQ(r.versions[3], 255);
  EXPECT_EQ(r.securityFlags[0], 1);
  EXPECT_EQ(r.zwavePlusState, 2);
  EXPECT_EQ(r.roleType, 5);
  EXPECT_EQ(r.installerIconType, 0x0700);
  EXPECT_EQ(r.userIconType, 0x0701);
  EXPECT_EQ(r.manufacturerId, 0x010B);
  EXPECT_EQ(r.productType, 0xF1);
  EXPECT_EQ(r.productId, 1);
  EXPECT_STREQ(r.deviceId, "AB");
  EXPECT_EQ(r.deviceIdType, 1);
  EXPECT_STREQ(r.locationName, "Kit");
  EXPECT_STREQ(r.nodeName, "Lamp");
  EXPECT_EQ(r.wakeUpInterval, 60);
  EXPECT_EQ(r.nopInterval, 0);
  EXPECT_EQ(r.pairingStatus, 2u);

  EXPECT_EQ(msgs[1].kind, static_cast<uint32_t>(HBN_CLOUD_KIND_MODE));
  EXPECT_EQ(msgs[1].p1, 0u);  // mode
  EXPECT_EQ(msgs[1].p2, 0u);  // status
  EXPECT_EQ(msgs[1].p3, 1u);  // platform notice
}

TEST_F(CoreCmdTest, InclusionStatusDecidesWhetherANodeIsAdded) {
  struct Case {
    uint8_t status, node;
    bool added;
    uint32_t pairing;
  } cases[] = {{7, 5, false, 0}, {6, 0, false, 0}, {9, 6, true, 4}, {6, 240, false, 0}};
  for (const Case& c : cases) {
    state_.mode.store(HBN_CORE_MODE_INCLUSION);
    Bytes report = fullNodeReport(c.status, c.node);
    HBN_core_threadParseInclusion(report.data(), static_cast<int>(report.size()));
    auto msgs = cloud();
    ASSERT_EQ(msgs.size(), c.added ? 2u : 1u) << int(c.status) << "/" << int(c.node);
    if (c.added) {
      EXPECT_EQ(record(msgs[0]).pairingStatus, c.pairing);
      EXPECT_TRUE(nodeBit(c.node));
    }
    EXPECT_EQ(msgs.back().kind, static_cast<uint32_t>(HBN_CLOUD_KIND_MODE));
    EXPECT_EQ(msgs.back().p3, 1u);
  }
  // Already in normal mode: no second mode report.
  Bytes report = fullNodeReport(7, 5);
  HBN_core_threadParseInclusion(report.data(), static_cast<int>(report.size()));
  EXPECT_TRUE(cloud().empty());
}

TEST_F(CoreCmdTest, NodeReportBlocksAreCutToTheRecordCapacities) {
  HBN_node_info_t r;
  // No classes: class state 0, no security flag bytes, flags byte right after the version block.
  Bytes none = nodeReport(6, 4, {0, 0, 0, 0, 0, 0, 0, 0x01});
  ASSERT_EQ(HBN_core_threadParseBaseInfo(none.data(), static_cast<int>(none.size()), &r), 0);
  EXPECT_EQ(r.commandClassState, 0);
  EXPECT_EQ(r.commandClassCount, 0);
  EXPECT_EQ(r.pairingStatus, 1u);

  // Binary device ID of 4 bytes -> 8 upper-case hex characters.
  Bytes bin = nodeReport(6, 4, {0, 0, 0, 2, 0, 1, 4, 0xDE, 0xAD, 0xbe, 0x0f, 0, 0, 0, 0});
  ASSERT_EQ(HBN_core_threadParseBaseInfo(bin.data(), static_cast<int>(bin.size()), &r), 0);
  EXPECT_STREQ(r.deviceId, "DEADBE0F");
  EXPECT_EQ(r.deviceIdLength, 8);

  // 70 classes, a 40-byte binary ID, 200-character names: all cut, the walk still reaches the flags.
  Bytes big = {70};
  for (int i = 0; i < 70; ++i) big.push_back(static_cast<uint8_t>(i + 1));
  big.insert(big.end(), {0, 0, 2, 0, 1, 40});
  big.insert(big.end(), 40, 0xAB);
  for (int block = 0; block < 2; ++block) {
    big.insert(big.end(), {2, 0, 200});
    big.insert(big.end(), 200, 'x');
  }
  big.push_back(2);
  big.insert(big.end(), 70, 3);  // versions
  big.insert(big.end(), 70, 1);  // security flags
  big.push_back(0x04);
  Bytes report = nodeReport(6, 4, big);
  memset(&r, 0x5A, sizeof(r));
  ASSERT_EQ(HBN_core_threadParseBaseInfo(report.data(), static_cast<int>(report.size()), &r), 0);
  EXPECT_EQ(r.commandClassCount, 64);
  EXPECT_EQ(r.commandClasses[63], 64);
  EXPECT_EQ(strlen(r.deviceId), 32u);
  EXPECT_EQ(strlen(r.locationName), 96u);
  EXPECT_EQ(strlen(r.nodeName), 96u);
  EXPECT_EQ(r.versions[63], 3);
  EXPECT_EQ(r.securityFlags[63], 1);
  EXPECT_EQ(r.pairingStatus, 1u);

  // Pairing status from the flags byte, and from a short report.
  struct Case {
    uint8_t status, flags;
    uint32_t pairing;
  } cases[] = {{6, 0x01, 1}, {6, 0x06, 2}, {6, 0x04, 1}, {6, 0x00, 0}, {9, 0x01, 4}};
  for (const Case& c : cases) {
    Bytes b = nodeReport(c.status, 4, {0, 0, 0, 0, 0, 0, 0, c.flags});
    ASSERT_EQ(HBN_core_threadParseBaseInfo(b.data(), static_cast<int>(b.size()), &r), 0);
    EXPECT_EQ(r.pairingStatus, c.pairing) << int(c.flags);
  }
  Bytes shortReport = {9, 0, 4, 0, 1, 2};
  ASSERT_EQ(HBN_core_threadParseBaseInfo(shortReport.data(), 6, &r), 0);
  EXPECT_EQ(r.commandClassCount, 0);
  EXPECT_EQ(r.wakeUpInterval, 0);
  EXPECT_EQ(r.pairingStatus, 4u);
  EXPECT_EQ(r.capability, 1);
}

TEST_F(CoreCmdTest, ExclusionAndRemovalForgetTheNode) {
  state_.nodeList[0] = 0x1E;  // nodes 2..5
  HBN_nvm_setSecureClasses(3, Bytes{0x25}.data(), Bytes{1}.data(), 1);
  state_.mode.store(HBN_CORE_MODE_EXCLUSION);

  Bytes tooLong = {6, 3, 0};
  HBN_core_threadParseExclusion(tooLong.data(), 3);
  EXPECT_TRUE(nodeBit(3));

  Bytes excl = {6, 3};
  HBN_core_threadParseExclusion(excl.data(), 2);
  EXPECT_FALSE(nodeBit(3));
  EXPECT_FALSE(HBN_nvm_isSecureClass(3, 0x25));
  EXPECT_EQ(state_.mode.load(), HBN_CORE_MODE_NORMAL);
  auto msgs = cloud();
  ASSERT_EQ(msgs.size(), 2u);
  EXPECT_EQ(msgs[0].kind, static_cast<uint32_t>(HBN_CLOUD_KIND_NODE_REMOVE));
  EXPECT_EQ(msgs[0].p1, 3u);
  EXPECT_EQ(msgs[1].kind, static_cast<uint32_t>(HBN_CLOUD_KIND_MODE));
  EXPECT_EQ(msgs[1].p3, 1u);

  Bytes removed = {1, 4}, notRemoved = {2, 5}, other = {0, 2};
  HBN_core_threadParseRemove(removed.data(), 2);
  HBN_core_threadParseRemove(notRemoved.data(), 2);
  HBN_core_threadParseRemove(other.data(), 2);
  EXPECT_FALSE(nodeBit(4));
  EXPECT_TRUE(nodeBit(5));
  EXPECT_TRUE(nodeBit(2));
  msgs = cloud();
  ASSERT_EQ(msgs.size(), 2u);
  EXPECT_EQ(msgs[0].p1, 4u);
  EXPECT_EQ(msgs[0].p2, 0u);
  EXPECT_EQ(msgs[1].p1, 5u);
  EXPECT_EQ(msgs[1].p2, 1u);
}

TEST_F(CoreCmdTest, ReplaceStatusesSetTheModeAndReport) {
  struct Case {
    uint8_t status;
    int mode;
    bool reported;
    uint32_t notify, code;
    std::string text;
  } cases[] = {{3, 3, true, 0, 0, ""},
               {4, 0, true, 1, 0, ""},
               {5, 0, true, 1, 1, "not replaced"},
               {9, 2, false, 0, 0, ""}};
  for (const Case& c : cases) {
    state_.mode.store(HBN_CORE_MODE_EXCLUSION);
    Bytes report = {c.status, 7, 0, 0};
    HBN_core_threadParseReplace(report.data(), 4);
    EXPECT_EQ(state_.mode.load(), c.mode) << int(c.status);
    auto msgs = cloud();
    ASSERT_EQ(msgs.size(), c.reported ? 1u : 0u) << int(c.status);
    if (!c.reported) continue;
    EXPECT_EQ(msgs[0].p1, static_cast<uint32_t>(c.mode));
    EXPECT_EQ(msgs[0].p2, c.code);
    EXPECT_EQ(msgs[0].p3, c.notify);
    EXPECT_EQ(std::string(msgs[0].data.begin(), msgs[0].data.end()).c_str(), c.text);
  }
}

TEST_F(CoreCmdTest, LearnDoneTakesTheNewIdentityAndWaitsForTheNodeList) {
  state_.mode.store(HBN_CORE_MODE_LEARN_CLASSIC);
  HBN_nvm_setSecureClasses(3, Bytes{0x25}.data(), Bytes{1}.data(), 1);
  Bytes done = {6, 0, 17};
  HBN_core_threadParseLearn(done.data(), 3);
  EXPECT_EQ(state_.gwNodeId, 17u);
  EXPECT_EQ(state_.mode.load(), HBN_CORE_MODE_NORMAL);
  EXPECT_FALSE(HBN_nvm_isSecureClass(3, 0x25));
  EXPECT_TRUE(HBN_core_threadShared().sendConnectedAfterList.load());
  auto msgs = cloud();
  ASSERT_EQ(msgs.size(), 1u);
  EXPECT_EQ(msgs[0].kind, static_cast<uint32_t>(HBN_CLOUD_KIND_MODE));
  EXPECT_EQ(msgs[0].p3, 0u);

  // A "done" too short to carry the node ID keeps the old one (the node list brings it).
  Bytes shortDone = {6, 0};
  HBN_core_threadParseLearn(shortDone.data(), 2);
  EXPECT_EQ(state_.gwNodeId, 17u);

  HBN_core_threadShared().sendConnectedAfterList.store(false);
  state_.mode.store(HBN_CORE_MODE_LEARN_NWI);
  Bytes failed = {7, 0, 0};
  cloud();
  HBN_core_threadParseLearn(failed.data(), 3);
  EXPECT_EQ(state_.mode.load(), HBN_CORE_MODE_NORMAL);
  EXPECT_FALSE(HBN_core_threadShared().sendConnectedAfterList.load());
  msgs = cloud();
  ASSERT_EQ(msgs.size(), 1u);
  EXPECT_EQ(msgs[0].p2, 0u);
}

TEST_F(CoreCmdTest, ResetClearsEverythingAndReportsItsResult) {
  for (uint8_t status : {6, 7}) {
    state_.nodeList[0] = 0x06;
    HBN_nvm_setSecureClasses(2, Bytes{0x25}.data(), Bytes{1}.data(), 1);
    Bytes report = {status};
    HBN_core_threadParseReset(report.data(), 1);
    EXPECT_EQ(state_.nodeList[0], 0);
    EXPECT_FALSE(HBN_nvm_isSecureClass(2, 0x25));
    auto msgs = cloud();
    ASSERT_EQ(msgs.size(), 1u);
    EXPECT_EQ(msgs[0].kind, static_cast<uint32_t>(HBN_CLOUD_KIND_RESET));
    EXPECT_EQ(static_cast<int32_t>(msgs[0].p2), status == 6 ? 0 : -1);
  }
}

using hbntest::loggedBy;

TEST_F(CoreCmdTest, SecurityAndSmallReportsReachTheCloud) {
  hbntest::SyslogRecorder recorder;
  Bytes keys = {0x00, 0x87, 12};
  HBN_core_threadParseSecureKind(keys.data(), 3);
  Bytes dsk(17);
  for (int i = 0; i < 17; ++i) dsk[i] = static_cast<uint8_t>(i);
  HBN_core_threadParseGetDSK(dsk.data(), 17);
  HBN_core_threadParseGetDSK(dsk.data(), 16);  // wrong length
  Bytes dsk2(40, 0x11);
  HBN_core_threadParseGetDSK_2(dsk2.data(), 40);
  HBN_core_threadParseGetDSK_2(dsk2.data(), 31);  // too short
  Bytes rssi = {7, 0xC4};                         // -60
  HBN_core_threadNodeRssi(rssi.data(), 2);
  Bytes frames = {3, 2, 1};
  HBN_core_threadDispatch(HBN_ZIP_KIND_TEST_RESULT, 9, frames.data(), 3);
  HBN_core_threadDispatch(HBN_ZIP_KIND_KEEP_ALIVE, 8, nullptr, 0);

  auto msgs = cloud();
  ASSERT_EQ(msgs.size(), 6u);
  EXPECT_EQ(msgs[0].kind, static_cast<uint32_t>(HBN_CLOUD_KIND_NODE_KEY));
  EXPECT_EQ(msgs[0].p1, 12u);
  EXPECT_EQ(msgs[0].p2, 0x87u);
  EXPECT_EQ(msgs[1].kind, static_cast<uint32_t>(HBN_CLOUD_KIND_GW_DSK));
  EXPECT_EQ(msgs[1].data, Bytes(dsk.begin() + 1, dsk.end()));
  EXPECT_EQ(msgs[2].kind, static_cast<uint32_t>(HBN_CLOUD_KIND_GW_DSK_2));
  EXPECT_EQ(msgs[2].p1, 40u);
  EXPECT_EQ(msgs[3].kind, static_cast<uint32_t>(HBN_CLOUD_KIND_RSSI));
  EXPECT_EQ(static_cast<int32_t>(msgs[3].p2), -60);
  EXPECT_EQ(msgs[4].kind, static_cast<uint32_t>(HBN_CLOUD_KIND_NODE_TEST_FRAME));
  EXPECT_EQ(msgs[4].p2, 0x030201u);
  EXPECT_EQ(msgs[5].kind, static_cast<uint32_t>(HBN_CLOUD_KIND_NODE_KEEPALIVE));
  EXPECT_EQ(msgs[5].p1, 8u);
  // The DSK words are logged by the parser that read them.
  EXPECT_TRUE(loggedBy("HBN_core_threadParseGetDSK", "dsk=258\n"));
  EXPECT_TRUE(loggedBy("HBN_core_threadParseGetDSK_2", "dsk=4369\n"));
}

TEST_F(CoreCmdTest, SmartStartEntersInclusionWithAPlatformNotice) {
  Bytes report(17, 0);
  HBN_core_threadSmartStart(report.data(), 16);  // too short: nothing
  EXPECT_TRUE(cloud().empty());
  HBN_core_threadSmartStart(report.data(), 17);
  EXPECT_EQ(state_.mode.load(), HBN_CORE_MODE_INCLUSION);
  auto msgs = cloud();
  ASSERT_EQ(msgs.size(), 1u);
  EXPECT_EQ(msgs[0].p1, 1u);
  EXPECT_EQ(msgs[0].p3, 1u);
}

// One provisioning iteration report: remaining count, DSK, and metadata items from byte 19.
Bytes pvReport(uint8_t remaining, uint8_t dskSeed, const Bytes& meta) {
  Bytes b(28, 0);
  b[0] = remaining;
  b[1] = 0x10;
  for (int i = 0; i < 16; ++i) b[2 + i] = static_cast<uint8_t>(dskSeed + i);
  for (size_t i = 0; i < meta.size() && 19 + i < b.size(); ++i) b[19 + i] = meta[i];
  return b;
}

TEST_F(CoreCmdTest, ProvisioningIterationCollectsEntriesUntilTheLast) {
  // First entry: a name item (type 0x32) then the network status (type 0x37) with node 6.
  Bytes first = pvReport(1, 0x10, {0x32 << 1, 1, 'a', 0x37 << 1, 2, 6, 1});
  HBN_core_threadPvList(first.data(), 28);
  uint32_t kind = 0, w2 = 0, w3 = 0, w4 = 0;
  uintptr_t buffer = 0;
  ASSERT_EQ(HBN_queue_receiveTimeout(queue_, 200, &kind, &w2, &w3, &w4, &buffer), 0);
  EXPECT_EQ(kind, static_cast<uint32_t>(HBN_CORE_KIND_PVLIST_GET));
  EXPECT_EQ(w2, 1u);
  EXPECT_TRUE(cloud().empty());

  // Second entry without network status, a length byte that points far beyond the report.
  Bytes second = pvReport(0, 0x40, {0x35 << 1, 250});
  HBN_core_threadPvList(second.data(), 28);
  auto msgs = cloud();
  ASSERT_EQ(msgs.size(), 1u);
  EXPECT_EQ(msgs[0].kind, static_cast<uint32_t>(HBN_CLOUD_KIND_PVLIST));
  ASSERT_EQ(msgs[0].p1, 2u);
  ASSERT_EQ(msgs[0].data.size(), 34u);
  EXPECT_EQ(msgs[0].data[0], 0x10);
  EXPECT_EQ(msgs[0].data[16], 6);
  EXPECT_EQ(msgs[0].data[17], 0x40);
  EXPECT_EQ(msgs[0].data[33], 0);
  EXPECT_EQ(HBN_core_threadShared().pvCount.load(), 0);

  // A report of another length counts nothing but still ends the iteration.
  Bytes odd = {0, 1, 2};
  HBN_core_threadPvList(odd.data(), 3);
  msgs = cloud();
  ASSERT_EQ(msgs.size(), 1u);
  EXPECT_EQ(msgs[0].p1, 0u);
}

// Every parser, fed with random reports of every length up to well past the receive buffer:
// nothing may crash or touch memory outside the report (the sanitizer builds check the latter).
TEST_F(CoreCmdTest, RandomReportsNeverBreakTheParsers) {
  std::mt19937 random(12345);
  // The node-report walk: valid reports cut short and with random bytes changed.
  const Bytes base = fullNodeReport(6, 4);
  for (int round = 0; round < 20000; ++round) {
    Bytes report = base;
    for (int flips = static_cast<int>(random() % 4); flips > 0; --flips) {
      report[random() % report.size()] = static_cast<uint8_t>(random());
    }
    int length = static_cast<int>(random() % (report.size() + 1));
    // An exact-size heap copy so that any read past the end is caught.
    std::unique_ptr<uint8_t[]> data(new uint8_t[length > 0 ? length : 1]);
    std::copy(report.begin(), report.begin() + length, data.get());
    HBN_node_info_t r;
    if (HBN_core_threadParseBaseInfo(data.get(), length, &r) == 0) {
      ASSERT_LE(r.commandClassCount, 64);
      ASSERT_LT(strlen(r.deviceId), sizeof(r.deviceId));
      ASSERT_LT(strlen(r.locationName), sizeof(r.locationName));
      ASSERT_LT(strlen(r.nodeName), sizeof(r.nodeName));
    }
  }

  // Every report kind with random data of any length.
  for (int round = 0; round < 800; ++round) {
    int length = static_cast<int>(random() % 600);
    std::unique_ptr<uint8_t[]> data(new uint8_t[length > 0 ? length : 1]);
    for (int i = 0; i < length; ++i) data[i] = static_cast<uint8_t>(random());
    if (length > 2 && round % 3 == 0) data[0] = (round % 2) ? 6 : 9;  // reach the node-report walk
    int kind = 2 + static_cast<int>(random() % 18);
    HBN_core_threadDispatch(kind, static_cast<int>(random() % 256), data.get(), length);
    if (round % 5 == 0) cloud(1);  // a queue holds only a few elements
    uint32_t w[4];
    uintptr_t b;
    while (kind == HBN_ZIP_KIND_PV_LIST &&
           HBN_queue_receiveTimeout(queue_, 1, &w[0], &w[1], &w[2], &w[3], &b) == 0) {
    }
  }
  cloud();
}

}  // namespace
