// Cloud send API: what each send operation puts on the cloud queue, its size rules and pool
// exhaustion. The queue is read in place of the MQTT thread (HBN_cloud_testSetup creates the
// pool and queue without a session; HBN_cloud_testReceive reads one element).
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "hbn_cloud.h"
#include "hbn_log.h"
#include "hbn_log_capture.h"
#include "hbn_os.h"

namespace {

using hbntest::logCount;

struct Element {
  uint32_t kind = 0, p1 = 0, p2 = 0, p3 = 0;
  int length = -1;
  std::vector<uint8_t> data = std::vector<uint8_t>(HBN_CLOUD_BUF_SIZE + 16);
};

HBN_node_info_t patternRecord(uint8_t seed) {
  HBN_node_info_t record;
  auto* bytes = reinterpret_cast<uint8_t*>(&record);
  for (size_t i = 0; i < sizeof record; ++i) bytes[i] = static_cast<uint8_t>(seed + i);
  return record;
}

class CloudSendTest : public ::testing::Test {
 protected:
  void SetUp() override {
    hbntest::SyslogRecorder::start();
    ASSERT_EQ(0, HBN_os_initialize());
    ASSERT_EQ(0, HBN_cloud_testSetup());
  }
  void TearDown() override {
    HBN_cloud_testTeardown();
    HBN_os_finalize();
    HBN_log_setSyslogHook(nullptr);
  }
  Element next() {
    Element e;
    int result = HBN_cloud_testReceive(200, &e.kind, &e.p1, &e.p2, &e.p3, e.data.data(),
                                       static_cast<int>(e.data.size()), &e.length);
    EXPECT_EQ(0, result) << "nothing queued";
    return e;
  }
  bool queueEmpty() {
    uint32_t k, a, b, c;
    return HBN_cloud_testReceive(50, &k, &a, &b, &c, nullptr, 0, nullptr) == 1;
  }
};

TEST_F(CloudSendTest, FixedDataMessagesQueueTheirWords) {
  struct Case {
    const char* name;
    std::function<void()> send;
    uint32_t kind, p1, p2, p3;
  };
  const std::vector<Case> cases = {
      {"connected", [] { HBN_cloud_sendConnected(); }, 0, 0, 0, 0},
      {"nodeRemove", [] { HBN_cloud_sendNodeRemove(14, 1); }, 4, 14, 1, 0},
      {"nop", [] { HBN_cloud_sendNodeNopInterval(3, 900); }, 7, 3, 900, 0},
      {"nodeKeepAlive", [] { HBN_cloud_sendNodeKeepAlive(6); }, 9, 6, 0, 0},
      {"key", [] { HBN_cloud_sendNodeKeyZW(8, 0x87); }, 10, 8, 0x87, 0},
      {"testFrame", [] { HBN_cloud_sendNodeTestFrame(2, 10, 9, 8); }, 11, 2, 0x0A0908, 0},
      // Counters above 255 keep their low 8 bits.
      {"testFrame cut", [] { HBN_cloud_sendNodeTestFrame(2, 0x1FF, 0x102, 0x3AB); }, 11, 2, 0xFF02AB, 0},
      {"restore", [] { HBN_cloud_sendRestore(2, 1); }, 13, 2, 1, 0},
      {"reset", [] { HBN_cloud_sendReset(0, -1); }, 14, 0, 0xFFFFFFFF, 0},
      {"version", [] { HBN_cloud_sendVersion(); }, 15, 0, 0, 0},
      {"keepalive", [] { HBN_cloud_sendKeepAlive(); }, 16, 0, 0, 0},
      {"rssi", [] { HBN_cloud_sendRssi(5, -70); }, 18, 5, static_cast<uint32_t>(-70), 0},
      {"mode without text", [] { HBN_cloud_sendMode(1, 1, 0, nullptr); }, 1, 1, 0, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    c.send();
    Element e = next();
    EXPECT_EQ(c.kind, e.kind);
    EXPECT_EQ(c.p1, e.p1);
    EXPECT_EQ(c.p2, e.p2);
    EXPECT_EQ(c.p3, e.p3);
    EXPECT_EQ(0, e.length);
  }
}

TEST_F(CloudSendTest, NodeRecordsAreCopiedWhole) {
  struct Case {
    void (*send)(int, const HBN_node_info_t*, int);
    uint32_t kind;
  };
  for (const Case& c : {Case{HBN_cloud_sendNodeAdd, 2}, Case{HBN_cloud_sendNodeUpdate, 3},
                        Case{HBN_cloud_sendNodeReplace, 5}}) {
    SCOPED_TRACE(c.kind);
    HBN_node_info_t record = patternRecord(static_cast<uint8_t>(c.kind));
    c.send(44, &record, 1);
    std::memset(&record, 0, sizeof record);  // the queued copy is independent of the caller's
    Element e = next();
    EXPECT_EQ(c.kind, e.kind);
    EXPECT_EQ(44u, e.p1);
    EXPECT_EQ(1u, e.p2);
    EXPECT_EQ(468u, e.p3);
    ASSERT_EQ(468, e.length);
    HBN_node_info_t expected = patternRecord(static_cast<uint8_t>(c.kind));
    EXPECT_EQ(0, std::memcmp(&expected, e.data.data(), 468));
  }
}

TEST_F(CloudSendTest, CallerDataIsCopiedUpToOneBuffer) {
  struct Case {
    const char* name;
    std::function<void(int, const uint8_t*)> send;
    uint32_t kind;
    bool lengthInP1;  // gateway keys carry the length first, node data second
  };
  const std::vector<Case> cases = {
      {"receive", [](int n, const uint8_t* d) { HBN_cloud_sendNodeReceive(30, n, d); }, 6, false},
      {"filter", [](int n, const uint8_t* d) { HBN_cloud_sendNodeFilter(30, n, d); }, 8, false},
      {"gwkey", [](int n, const uint8_t* d) { HBN_cloud_spSendGwDSK(n, d); }, 19, true},
      {"gwkey_ex", [](int n, const uint8_t* d) { HBN_cloud_spSendGwDSK_2(n, d); }, 20, true},
  };
  std::vector<uint8_t> data(HBN_CLOUD_BUF_SIZE + 1);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i ^ 0x5A);
  int refusals = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    c.send(HBN_CLOUD_BUF_SIZE, data.data());
    Element e = next();
    EXPECT_EQ(c.kind, e.kind);
    EXPECT_EQ(static_cast<uint32_t>(HBN_CLOUD_BUF_SIZE), c.lengthInP1 ? e.p1 : e.p2);
    ASSERT_EQ(HBN_CLOUD_BUF_SIZE, e.length);
    EXPECT_EQ(0, std::memcmp(data.data(), e.data.data(), HBN_CLOUD_BUF_SIZE));

    c.send(HBN_CLOUD_BUF_SIZE + 1, data.data());
    c.send(-1, data.data());
    c.send(4, nullptr);
    refusals += 3;
    EXPECT_EQ(refusals, logCount("CLOUD buffer is small\n"));
    EXPECT_TRUE(queueEmpty());
  }
}

TEST_F(CloudSendTest, ModeTextIsAttachedWhenItFits) {
  HBN_cloud_sendMode(10, 0, 1, "Not Supported");
  Element e = next();
  EXPECT_EQ(1u, e.kind);
  EXPECT_EQ(10u, e.p1);
  EXPECT_EQ(1u, e.p2);
  EXPECT_EQ(0u, e.p3);
  EXPECT_STREQ("Not Supported", reinterpret_cast<const char*>(e.data.data()));

  // A text too long for a buffer is left out, but the mode message still goes.
  HBN_cloud_sendMode(0, 1, 1, std::string(5000, 'm').c_str());
  e = next();
  EXPECT_EQ(1u, e.kind);
  EXPECT_EQ(1u, e.p3);
  EXPECT_EQ(0, e.length);
  EXPECT_EQ(1, logCount("CLOUD buffer is small\n"));

  HBN_cloud_sendMode(0, 1, 0, std::string(4094, 'm').c_str());
  EXPECT_EQ(4095, next().length);
  HBN_cloud_sendMode(0, 1, 0, std::string(4095, 'm').c_str());
  EXPECT_EQ(0, next().length);
}

TEST_F(CloudSendTest, BackupDataTravelsInAHeapBlock) {
  const uint8_t data[] = {1, 2, 3, 4, 5};
  HBN_cloud_sendBackup(1, 0, 5, data);
  Element e = next();
  EXPECT_EQ(12u, e.kind);
  EXPECT_EQ(1u, e.p1);
  EXPECT_EQ(5u, e.p3);
  ASSERT_EQ(5, e.length);
  EXPECT_EQ(0, std::memcmp(data, e.data.data(), 5));

  HBN_cloud_sendBackup(0, 1, 5, nullptr);
  e = next();
  EXPECT_EQ(0u, e.p3);
  EXPECT_EQ(0, e.length);
  // Backups use no pool buffer: all eight are still free.
  HBN_node_info_t record = patternRecord(0);
  for (int i = 0; i < HBN_CLOUD_BUF_COUNT; ++i) HBN_cloud_sendNodeAdd(i, &record, 0);
  EXPECT_EQ(0, logCount("CLOUD buffer all busy fail\n"));
}

TEST_F(CloudSendTest, ProvisioningListIsBoundedByOneBuffer) {
  std::vector<uint8_t> entries(241 * 17);
  for (size_t i = 0; i < entries.size(); ++i) entries[i] = static_cast<uint8_t>(i * 3);
  HBN_cloud_sendPvList(240, entries.data());
  Element e = next();
  EXPECT_EQ(17u, e.kind);
  EXPECT_EQ(240u, e.p1);
  ASSERT_EQ(240 * 17, e.length);
  EXPECT_EQ(0, std::memcmp(entries.data(), e.data.data(), 240 * 17));

  HBN_cloud_sendPvList(0, nullptr);
  EXPECT_EQ(0u, next().p1);

  HBN_cloud_sendPvList(241, entries.data());
  EXPECT_EQ(1, logCount("CLOUD buffer is small\n"));
  EXPECT_TRUE(queueEmpty());
}

TEST_F(CloudSendTest, FullPoolDropsDataMessagesButNotPlainOnes) {
  // Session down: eight record messages hold all eight buffers.
  HBN_node_info_t record = patternRecord(9);
  for (int i = 0; i < HBN_CLOUD_BUF_COUNT; ++i) HBN_cloud_sendNodeUpdate(i + 1, &record, 0);
  EXPECT_EQ(0, logCount("CLOUD buffer all busy fail\n"));
  HBN_cloud_sendNodeAdd(99, &record, 0);
  EXPECT_EQ(1, logCount("CLOUD buffer all busy fail\n"));
  HBN_cloud_sendVersion();
  HBN_cloud_sendMode(2, 1, 0, "text");  // queued without its text
  EXPECT_EQ(2, logCount("CLOUD buffer all busy fail\n"));

  for (int i = 0; i < HBN_CLOUD_BUF_COUNT; ++i) {
    Element e = next();
    EXPECT_EQ(3u, e.kind);
    EXPECT_EQ(static_cast<uint32_t>(i + 1), e.p1);
  }
  EXPECT_EQ(15u, next().kind);
  Element mode = next();
  EXPECT_EQ(1u, mode.kind);
  EXPECT_EQ(0, mode.length);
  EXPECT_TRUE(queueEmpty());
  // The buffers came back with the reads.
  HBN_cloud_sendNodeAdd(99, &record, 0);
  EXPECT_EQ(2u, next().kind);
}

// Each send operation's lines carry that operation's name, not the name of a shared helper.
TEST_F(CloudSendTest, LinesNameTheSendOperation) {
  const uint8_t data[1] = {0};
  HBN_node_info_t record = patternRecord(1);
  for (int i = 0; i < HBN_CLOUD_BUF_COUNT; ++i) HBN_cloud_sendNodeUpdate(i, &record, 0);
  HBN_cloud_sendNodeReceive(3, HBN_CLOUD_BUF_SIZE + 1, data);
  HBN_cloud_sendNodeFilter(3, 1, data);
  HBN_cloud_sendNodeAdd(3, &record, 0);
  HBN_cloud_sendPvList(1, data);
  HBN_cloud_spSendGwDSK_2(1, data);
  HBN_cloud_sendMode(0, 1, 0, "text");
  const std::pair<const char*, const char*> expected[] = {
      {"HBN_cloud_sendNodeReceive", "CLOUD buffer is small\n"},
      {"HBN_cloud_sendNodeFilter", "CLOUD buffer all busy fail\n"},
      {"HBN_cloud_sendNodeAdd", "CLOUD buffer all busy fail\n"},
      {"HBN_cloud_sendPvList", "CLOUD buffer all busy fail\n"},
      {"HBN_cloud_spSendGwDSK_2", "CLOUD buffer all busy fail\n"},
      {"HBN_cloud_sendMode", "CLOUD buffer all busy fail\n"},
  };
  for (const auto& e : expected) {
    SCOPED_TRACE(e.first);
    const std::string name = std::string("/") + e.first + "[";
    const std::string tail = std::string("]:") + e.second;
    int found = 0;
    for (const auto& line : hbntest::SyslogRecorder::lines()) {
      const std::string& text = line.second;
      if (text.find(name) != std::string::npos && text.size() >= tail.size() &&
          text.compare(text.size() - tail.size(), tail.size(), tail) == 0)
        ++found;
    }
    EXPECT_EQ(1, found);
  }
}

TEST(CloudSendInit, IncompleteCoreTableIsRefused) {
  hbntest::SyslogRecorder::start();
  EXPECT_EQ(-1, HBN_cloud_initialize(nullptr));
  EXPECT_EQ(1, logCount("interface is NULL\n"));
  HBN_core_interface_t table = {
      HBN_core_recvMode,
      HBN_core_recvNodeUpdate,
      HBN_core_recvNodeRemove,
      HBN_core_recvNodeSend,
      HBN_core_recvNodeNopInterval,
      HBN_core_recvNodeFwUpdate,
      HBN_core_recvNodeKeyZW,
      HBN_core_recvNodeTestFrame,
      HBN_core_recvBackup,
      HBN_core_recvRestore,
      HBN_core_recvReset,
      HBN_core_getMode,
      HBN_core_getGwID,
      nullptr,
      HBN_core_getNodeList,
      HBN_core_recvSetPvList,
      HBN_core_recvGetPvList,
      HBN_core_recvGetRssi,
  };
  EXPECT_EQ(-1, HBN_cloud_initialize(&table));
  EXPECT_EQ(1, logCount("interface function is NULL\n"));
  EXPECT_EQ(nullptr, HBN_cloud_getQueue());
  // Sends without a module are dropped with the queue message, never a crash.
  HBN_cloud_sendVersion();
  EXPECT_EQ(1, logCount("CLOUD send queue push fail\n"));
  HBN_cloud_finalize();
  HBN_log_setSyslogHook(nullptr);
}

}  // namespace
