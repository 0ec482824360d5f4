// Core request API: what each request puts on the core queue, what is refused, and the three
// queries. The queue is read directly (HBN_core_testSetup creates pool and queue without the
// core threads or the cloud module).
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "hbn_core.h"
#include "hbn_log.h"
#include "hbn_log_capture.h"
#include "hbn_os.h"

namespace {

using hbntest::logCount;

using hbntest::loggedBy;

struct Element {
  uint32_t kind = 0, first = 0, second = 0, third = 0;
  bool hasBuffer = false;
  std::vector<uint8_t> data = std::vector<uint8_t>(HBN_CORE_BUF_SIZE);
};

class CoreApiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    hbntest::SyslogRecorder::start();
    ASSERT_EQ(0, HBN_os_initialize());
    ASSERT_EQ(0, HBN_core_testSetup());
  }
  void TearDown() override {
    HBN_core_testTeardown();
    HBN_os_finalize();
    HBN_log_setSyslogHook(nullptr);
  }
  // The next element; fails the test when none comes within a short time.
  Element next() {
    Element e;
    int result = HBN_core_testReceive(200, &e.kind, &e.first, &e.second, &e.third, &e.hasBuffer,
                                      e.data.data(), static_cast<int>(e.data.size()));
    EXPECT_EQ(0, result) << "no element queued";
    return e;
  }
  bool queueEmpty() {
    uint32_t k, a, b, c;
    return HBN_core_testReceive(50, &k, &a, &b, &c, nullptr, nullptr, 0) == 1;
  }
};

TEST_F(CoreApiTest, EachRequestQueuesItsKindAndWords) {
  struct Case {
    const char* name;
    std::function<int()> call;
    uint32_t kind, first, second, third;
  };
  const std::vector<Case> cases = {
      {"recvMode", [] { return HBN_core_recvMode(5, 17); }, 0, 5, 17, 0},
      {"changeNormal", [] { return HBN_core_changeNormal(); }, 0, 0, 0, 0},
      {"changeInclusion", [] { return HBN_core_changeInclusion(); }, 0, 1, 0, 0},
      {"changeExclusion", [] { return HBN_core_changeExclusion(); }, 0, 2, 0, 0},
      {"nodeUpdate", [] { return HBN_core_recvNodeUpdate(12, 3); }, 1, 12, 3, 0},
      {"nodeRemove", [] { return HBN_core_recvNodeRemove(9, 1); }, 2, 9, 1, 0},
      {"nopInterval", [] { return HBN_core_recvNodeNopInterval(4, 600); }, 4, 4, 600, 0},
      {"nodeKey", [] { return HBN_core_recvNodeKeyZW(6, 0x87, 0xBEEF); }, 5, 6, 0x87, 0xBEEF},
      {"testFrame", [] { return HBN_core_recvNodeTestFrame(8, 20); }, 6, 8, 20, 0},
      {"backup gw", [] { return HBN_core_recvBackup(1); }, 7, 1, 0, 0},
      {"backup zwave", [] { return HBN_core_recvBackup(0); }, 7, 0, 0, 0},
      {"gwDSK", [] { return HBN_core_recvGwDSK(); }, 10, 0, 0, 0},
      {"getPvList", [] { return HBN_core_recvGetPvList(); }, 13, 255, 0, 0},
      {"getRssi", [] { return HBN_core_recvGetRssi(33); }, 14, 33, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(0, c.call());
    Element e = next();
    EXPECT_EQ(c.kind, e.kind);
    EXPECT_EQ(c.first, e.first);
    EXPECT_EQ(c.second, e.second);
    EXPECT_EQ(c.third, e.third);
    EXPECT_FALSE(e.hasBuffer);
  }
  EXPECT_EQ(1, logCount("change mode[Norm]\n"));
  EXPECT_EQ(1, logCount("change mode[In]\n"));
  EXPECT_EQ(1, logCount("change mode[Ex]\n"));
  EXPECT_EQ(1, logCount("change mode[5]\n"));
  EXPECT_EQ(1, logCount("CORE get provisioning list\n"));
  EXPECT_EQ(1, logCount("CORE get RSSI\n"));
}

TEST_F(CoreApiTest, InvalidModeAndSubjectsAreIgnoredWithoutLogLine) {
  EXPECT_EQ(0, HBN_core_recvMode(6, 1));
  EXPECT_EQ(0, HBN_core_recvMode(-1, 1));
  EXPECT_EQ(0, HBN_core_recvBackup(2));
  EXPECT_EQ(0, HBN_core_recvRestore(2, "/tmp/x"));
  EXPECT_EQ(0, HBN_core_recvRestore(-1, "/tmp/x"));
  EXPECT_EQ(0, HBN_core_recvNodeFwUpdate(3, reinterpret_cast<const uint8_t*>("ab"), 2));
  EXPECT_TRUE(queueEmpty());
  EXPECT_EQ(0, logCount("fail"));
}

TEST_F(CoreApiTest, NodeSendCopiesUpToOneBufferAndRefusesMore) {
  std::vector<uint8_t> data(HBN_CORE_BUF_SIZE + 1);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + 1);

  ASSERT_EQ(0, HBN_core_recvNodeSend(21, data.data(), HBN_CORE_BUF_SIZE));
  Element e = next();
  EXPECT_EQ(3u, e.kind);
  EXPECT_EQ(21u, e.first);
  EXPECT_EQ(static_cast<uint32_t>(HBN_CORE_BUF_SIZE), e.second);
  ASSERT_TRUE(e.hasBuffer);
  EXPECT_EQ(0, std::memcmp(data.data(), e.data.data(), HBN_CORE_BUF_SIZE));

  EXPECT_EQ(-1, HBN_core_recvNodeSend(21, data.data(), HBN_CORE_BUF_SIZE + 1));
  EXPECT_EQ(-1, HBN_core_recvNodeSend(21, nullptr, 5));
  EXPECT_EQ(-1, HBN_core_recvNodeSend(21, data.data(), -1));
  EXPECT_TRUE(queueEmpty());
}

TEST_F(CoreApiTest, RestoreCopiesThePathText) {
  ASSERT_EQ(0, HBN_core_recvRestore(1, "/tmp/HBN_DW_5.tmp"));
  Element e = next();
  EXPECT_EQ(8u, e.kind);
  EXPECT_EQ(1u, e.first);
  ASSERT_TRUE(e.hasBuffer);
  EXPECT_STREQ("/tmp/HBN_DW_5.tmp", reinterpret_cast<const char*>(e.data.data()));

  ASSERT_EQ(0, HBN_core_recvRestore(0, "/a"));
  EXPECT_EQ(0u, next().first);

  std::string tooLong(HBN_CORE_BUF_SIZE, 'p');
  EXPECT_EQ(-1, HBN_core_recvRestore(0, tooLong.c_str()));
  EXPECT_EQ(-1, HBN_core_recvRestore(0, nullptr));
  EXPECT_TRUE(queueEmpty());
}

TEST_F(CoreApiTest, ResetClearsProvisioningListFirstExceptForSettings) {
  struct Case {
    int subject;
    bool removesAll;
    uint32_t resetKind;
  };
  for (const Case& c : {Case{0, true, 0}, Case{1, false, 2}, Case{2, true, 3}, Case{9, true, 0}}) {
    SCOPED_TRACE(c.subject);
    ASSERT_EQ(0, HBN_core_recvReset(c.subject));
    if (c.removesAll) {
      Element remove = next();
      EXPECT_EQ(12u, remove.kind);
      EXPECT_EQ(0xFFFFFFFFu, remove.first);
      EXPECT_FALSE(remove.hasBuffer);
    }
    Element reset = next();
    EXPECT_EQ(9u, reset.kind);
    EXPECT_EQ(c.resetKind, reset.first);
    EXPECT_TRUE(queueEmpty());
  }
  EXPECT_EQ(3, logCount("CORE remove all provisioning list\n"));
}

TEST_F(CoreApiTest, ProvisioningListQueuesRemoveThenAdd) {
  // Two empty lists still give one remove and one add element, each with count 0.
  ASSERT_EQ(0, HBN_core_recvSetPvList(0, nullptr, 0, nullptr));
  Element remove = next();
  Element add = next();
  EXPECT_EQ(12u, remove.kind);
  EXPECT_EQ(0u, remove.first);
  EXPECT_EQ(11u, add.kind);
  EXPECT_EQ(0u, add.first);
  EXPECT_EQ(1, logCount("CORE update provisioning list[0,0]\n"));

  std::vector<uint8_t> adds(3 * 16), removes(2 * 16);
  for (size_t i = 0; i < adds.size(); ++i) adds[i] = static_cast<uint8_t>(i);
  for (size_t i = 0; i < removes.size(); ++i) removes[i] = static_cast<uint8_t>(200 - i);
  ASSERT_EQ(0, HBN_core_recvSetPvList(3, adds.data(), 2, removes.data()));
  remove = next();
  add = next();
  EXPECT_EQ(12u, remove.kind);
  EXPECT_EQ(2u, remove.first);
  EXPECT_EQ(0, std::memcmp(removes.data(), remove.data.data(), removes.size()));
  EXPECT_EQ(11u, add.kind);
  EXPECT_EQ(3u, add.first);
  EXPECT_EQ(0, std::memcmp(adds.data(), add.data.data(), adds.size()));

  // A list of 257 entries does not fit one buffer and is refused as a whole.
  std::vector<uint8_t> big(257 * 16);
  EXPECT_EQ(-1, HBN_core_recvSetPvList(257, big.data(), 0, nullptr));
  EXPECT_EQ(0, HBN_core_recvSetPvList(256, big.data(), 0, nullptr));
  EXPECT_EQ(12u, next().kind);
  EXPECT_EQ(256u, next().first);
  EXPECT_TRUE(queueEmpty());
}

TEST_F(CoreApiTest, ExhaustedPoolDropsRequestsAndBuffersComeBack) {
  uint8_t byte = 0x20;
  for (int i = 0; i < HBN_CORE_BUF_COUNT; ++i) ASSERT_EQ(0, HBN_core_recvNodeSend(2, &byte, 1));
  EXPECT_EQ(-1, HBN_core_recvNodeSend(2, &byte, 1));
  EXPECT_EQ(1, logCount("CLOUD buffer all busy fail\n"));
  EXPECT_TRUE(loggedBy("HBN_core_recvNodeSend", "CLOUD buffer all busy fail\n"));
  // The provisioning update needs two buffers; with none free nothing is queued.
  EXPECT_EQ(-1, HBN_core_recvSetPvList(0, nullptr, 0, nullptr));
  // Requests without data still go through.
  EXPECT_EQ(0, HBN_core_recvGwDSK());

  for (int i = 0; i < HBN_CORE_BUF_COUNT; ++i) EXPECT_EQ(3u, next().kind);
  EXPECT_EQ(10u, next().kind);
  // Every buffer was given back: a full round of sends works again.
  for (int i = 0; i < HBN_CORE_BUF_COUNT; ++i) ASSERT_EQ(0, HBN_core_recvNodeSend(2, &byte, 1));
  for (int i = 0; i < HBN_CORE_BUF_COUNT; ++i) next();
}

TEST_F(CoreApiTest, QueriesReadTheSharedState) {
  HBN_core_state_t* state = HBN_core_getState();
  int mode = -1;
  // While starting (mode 6) the mode reads 0.
  ASSERT_EQ(6, state->mode.load());
  EXPECT_EQ(0, HBN_core_getMode(&mode));
  EXPECT_EQ(0, mode);
  state->mode.store(3);
  HBN_core_getMode(&mode);
  EXPECT_EQ(3, mode);

  int length = 0;
  uint8_t bitmap[HBN_CORE_NODELIST_SIZE];
  std::memset(bitmap, 0xAA, sizeof bitmap);
  EXPECT_EQ(0, HBN_core_getNodeList(&length, bitmap));
  EXPECT_EQ(29, length);
  for (uint8_t b : bitmap) EXPECT_EQ(0, b);

  {
    std::lock_guard<std::mutex> guard(state->mutex);
    state->nodeList[0] = 0x03;   // nodes 1 and 2
    state->nodeList[28] = 0x80;  // node 232
    state->homeId = 0xC0FFEE01;
    state->gwNodeId = 1;
  }
  HBN_core_getNodeList(&length, bitmap);
  EXPECT_EQ(0x03, bitmap[0]);
  EXPECT_EQ(0x80, bitmap[28]);

  int gw = 0;
  uint32_t home = 0;
  EXPECT_EQ(0, HBN_core_getGwID(&gw, &home));
  EXPECT_EQ(1, gw);
  EXPECT_EQ(0xC0FFEE01u, home);
  EXPECT_EQ(1, logCount("CORE get node list\n") > 0 ? 1 : 0);
  EXPECT_EQ(1, logCount("CORE get node info\n"));
}

TEST_F(CoreApiTest, FailedPushIsLoggedByTheRequest) {
  HBN_core_testTeardown();  // no queue: every push fails
  EXPECT_EQ(-1, HBN_core_recvGwDSK());
  EXPECT_EQ(-1, HBN_core_recvMode(1, 0));
  EXPECT_TRUE(loggedBy("HBN_core_recvGwDSK", "CORE send queue push fail\n"));
  EXPECT_TRUE(loggedBy("HBN_core_recvMode", "CORE send queue push fail\n"));
}

TEST(CoreApiNoQueue, RequestsFailCleanlyWhenTheCoreIsNotRunning) {
  EXPECT_EQ(-1, HBN_core_recvGwDSK());
  uint8_t byte = 1;
  EXPECT_EQ(-1, HBN_core_recvNodeSend(1, &byte, 1));
  EXPECT_EQ(-1, HBN_core_recvReset(0));
  HBN_core_finalize();  // nothing to stop: no effect
}

}  // namespace
