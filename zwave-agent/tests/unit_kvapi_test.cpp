// Adaptation layer: callback table checks, cloud mode mapping, the virtual node's record,
// reset, script and connection entry points.
#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "hbn_cloud.h"
#include "hbn_core.h"
#include "hbn_log.h"
#include "hbn_log_capture.h"
#include "hbn_node_info.h"
#include "hbn_os.h"
#include "kv_api.h"

namespace {

// Recording platform callbacks.
std::vector<unsigned> gNotices;
int gNoticeResult = 0;
std::vector<int> gConnect;
std::vector<std::pair<int, int>> gSecure;
int gFactoryResult = 1;
int gFactoryCalls = 0;
std::vector<int> gScripts;

int noticeFake(unsigned state) {
  gNotices.push_back(state);
  return gNoticeResult;
}
void connectFake(int connected) { gConnect.push_back(connected); }
void secureFake(int node, int keys) { gSecure.emplace_back(node, keys); }
int factoryFake() {
  ++gFactoryCalls;
  return gFactoryResult;
}
void completeFake() {}
int rebootFake() { return 0; }
int firmwareFake(const char*, const char*) { return 1; }
int scriptFake(int number) {
  gScripts.push_back(number);
  return number == 7 ? 42 : -1;
}

KV_api_interface_t fakeTable() {
  return {noticeFake,   connectFake, secureFake,   factoryFake,
          completeFake, rebootFake,  firmwareFake, scriptFake};
}

bool logged(const std::string& text) { return hbntest::logCount(text) > 0; }

class KvApi : public ::testing::Test {
 protected:
  void SetUp() override {
    gNotices.clear();
    gNoticeResult = 0;
    gConnect.clear();
    gSecure.clear();
    gFactoryResult = 1;
    gFactoryCalls = 0;
    gScripts.clear();
    hbntest::SyslogRecorder::start();
    HBN_log_setDebugToSyslog(true);
    const KV_api_interface_t t = fakeTable();
    ASSERT_EQ(KV_api_testInstall(&t, KV_API_STATE_IDLE), 0);
  }
  void TearDown() override { HBN_log_setSyslogHook(nullptr); }
};

TEST_F(KvApi, CheckInterfaceNamesTheFirstMissingSlot) {
  EXPECT_EQ(KV_api_checkInterface(nullptr), -1);
  EXPECT_TRUE(logged("KV_api_interface_t is NULL\n"));
  const char* names[8] = {"stateChangeNotice",     "cloudConnectNotice", "secureRequest",
                          "factoryResetRequest",   "resetComplite",      "rebootRequest",
                          "firmwareUpdateRequest", "execScript"};
  for (int slot = 0; slot < 8; ++slot) {
    KV_api_interface_t t = fakeTable();
    reinterpret_cast<void**>(&t)[slot] = nullptr;
    if (slot < 7) reinterpret_cast<void**>(&t)[7] = nullptr;  // a later gap is not the one named
    hbntest::SyslogRecorder::clear();
    EXPECT_EQ(KV_api_checkInterface(&t), -1) << slot;
    EXPECT_TRUE(logged(std::string("KV_api_interface_t.") + names[slot] + " is NULL\n")) << slot;
    EXPECT_EQ(hbntest::SyslogRecorder::lines().size(), 1u);
    EXPECT_EQ(KV_api_initialize(&t), 2);
  }
  const KV_api_interface_t full = fakeTable();
  EXPECT_EQ(KV_api_checkInterface(&full), 0);
}

TEST_F(KvApi, ModeToState) {
  struct Case {
    int mode, from, to;
  } cases[] = {
      {0, KV_API_STATE_INCLUSION, KV_API_STATE_IDLE},      {1, KV_API_STATE_IDLE, KV_API_STATE_INCLUSION},
      {3, KV_API_STATE_IDLE, KV_API_STATE_INCLUSION},      {4, KV_API_STATE_IDLE, KV_API_STATE_INCLUSION},
      {5, KV_API_STATE_IDLE, KV_API_STATE_INCLUSION},      {2, KV_API_STATE_IDLE, KV_API_STATE_EXCLUSION},
      {6, KV_API_STATE_EXCLUSION, KV_API_STATE_EXCLUSION}, {-1, KV_API_STATE_IDLE, KV_API_STATE_IDLE},
  };
  const KV_api_interface_t t = fakeTable();
  for (const auto& c : cases) {
    KV_api_testInstall(&t, c.from);
    gNotices.clear();
    EXPECT_EQ(KV_api_recvMode(c.mode, 0), 0) << c.mode;
    EXPECT_EQ(gNotices, std::vector<unsigned>({static_cast<unsigned>(c.to)})) << c.mode;
    EXPECT_EQ(KV_api_getState(), c.to) << c.mode;
    EXPECT_TRUE(logged("state change=" + std::to_string(c.from) + "->" + std::to_string(c.to) + "\n"));
  }
  // A refused notice keeps the state and refuses the request.
  KV_api_testInstall(&t, KV_API_STATE_IDLE);
  gNoticeResult = 1;
  EXPECT_EQ(KV_api_recvMode(1, -1), -1);
  EXPECT_EQ(KV_api_getState(), KV_API_STATE_IDLE);
  EXPECT_TRUE(logged("stateChangeRequest fail\n"));
}

TEST_F(KvApi, EntryPointsWithoutCore) {
  int count = 0;
  uint16_t ids[4] = {0};
  EXPECT_EQ(KV_api_getNodeList(&count, ids), 0);
  EXPECT_EQ(count, 1);
  EXPECT_EQ(ids[0], 1000);

  KV_api_stateChange(0);
  KV_api_stateChange(3);
  EXPECT_EQ(gConnect, std::vector<int>({1, 0}));

  EXPECT_EQ(KV_api_recvExecScript(7), 42);  // the callback's result, unchanged
  EXPECT_EQ(gScripts, std::vector<int>({7}));

  EXPECT_EQ(KV_api_recvReset(0), 0);
  EXPECT_EQ(KV_api_recvReset(1), 0);
  EXPECT_EQ(gFactoryCalls, 0);
  gFactoryResult = 0x201;  // only the low byte counts
  EXPECT_EQ(KV_api_recvReset(2), 0);
  gFactoryResult = 0x100;
  EXPECT_EQ(KV_api_recvReset(2), -1);
  EXPECT_EQ(gFactoryCalls, 2);
  EXPECT_TRUE(logged("factory reset request fail\n"));

  // Requested states without core work are notified but do not change the recorded state.
  EXPECT_EQ(KV_api_stateChangeRequest(KV_API_STATE_RESET), 0);
  EXPECT_EQ(gNotices, std::vector<unsigned>({KV_API_STATE_RESET}));
  EXPECT_EQ(KV_api_getState(), KV_API_STATE_IDLE);
}

// The cloud queue read back in place of the MQTT thread.
class KvApiCloud : public KvApi {
 protected:
  void SetUp() override {
    KvApi::SetUp();
    ASSERT_EQ(HBN_os_initialize(), 0);
    const HBN_core_interface_t core = {
        HBN_core_recvMode,      HBN_core_recvNodeUpdate,      HBN_core_recvNodeRemove,
        HBN_core_recvNodeSend,  HBN_core_recvNodeNopInterval, HBN_core_recvNodeFwUpdate,
        HBN_core_recvNodeKeyZW, HBN_core_recvNodeTestFrame,   HBN_core_recvBackup,
        HBN_core_recvRestore,   HBN_core_recvReset,           HBN_core_getMode,
        HBN_core_getGwID,       HBN_core_recvGwDSK,           HBN_core_getNodeList,
        HBN_core_recvSetPvList, HBN_core_recvGetPvList,       HBN_core_recvGetRssi,
    };
    ASSERT_EQ(HBN_cloud_initialize(&core), 0);
  }
  void TearDown() override {
    HBN_cloud_finalize();
    HBN_os_finalize();
    KvApi::TearDown();
  }
  bool receive(uint32_t* kind, uint32_t* p1, uint32_t* p2, uint32_t* p3, std::vector<uint8_t>* data) {
    data->assign(HBN_CLOUD_BUF_SIZE, 0);
    int length = 0;
    int rc =
        HBN_cloud_testReceive(500, kind, p1, p2, p3, data->data(), static_cast<int>(data->size()), &length);
    data->resize(static_cast<size_t>(length));
    return rc == 0;
  }
  bool nothingQueued() {
    uint32_t k, a, b, c;
    std::vector<uint8_t> d;
    d.resize(16);
    int len = 0;
    return HBN_cloud_testReceive(50, &k, &a, &b, &c, d.data(), 16, &len) == 1;
  }
};

TEST_F(KvApiCloud, Mode10IsNotSupportedAndKeepsTheState) {
  const KV_api_interface_t t = fakeTable();
  KV_api_testInstall(&t, KV_API_STATE_INCLUSION);
  EXPECT_EQ(KV_api_recvMode(10, 0), 0);
  EXPECT_EQ(KV_api_getState(), KV_API_STATE_INCLUSION);
  EXPECT_EQ(gNotices, std::vector<unsigned>({KV_API_STATE_INCLUSION}));
  uint32_t kind = 0, mode = 0, status = 0, notify = 9;
  std::vector<uint8_t> data;
  ASSERT_TRUE(receive(&kind, &mode, &status, &notify, &data));
  EXPECT_EQ(kind, static_cast<uint32_t>(HBN_CLOUD_KIND_MODE));
  EXPECT_EQ(mode, 10u);
  EXPECT_EQ(status, 1u);
  EXPECT_EQ(notify, 0u);
  EXPECT_EQ(std::string(data.begin(), data.end()).c_str(), std::string("Not Supported"));
  EXPECT_TRUE(nothingQueued());

  EXPECT_EQ(KV_api_recvMode(1, 0), 0);  // ordinary modes send nothing from here
  EXPECT_TRUE(nothingQueued());
}

TEST_F(KvApiCloud, NodeUpdateForTheVirtualNodeAndOthers) {
  for (int node : {1000, 1001}) {
    EXPECT_EQ(KV_api_recvNodeUpdate(node, 5), 0);
    uint32_t kind = 0, id = 0, status = 9, size = 0;
    std::vector<uint8_t> data;
    ASSERT_TRUE(receive(&kind, &id, &status, &size, &data)) << node;
    EXPECT_EQ(kind, static_cast<uint32_t>(HBN_CLOUD_KIND_NODE_UPDATE));
    EXPECT_EQ(id, static_cast<uint32_t>(node));
    if (node == 1001) {
      EXPECT_EQ(status, 1u);
      EXPECT_TRUE(logged("GWA:unknown node ID(1001)\n"));
      continue;
    }
    EXPECT_EQ(status, 0u);
    ASSERT_EQ(data.size(), sizeof(HBN_node_info_t));
    HBN_node_info_t r;
    std::memcpy(&r, data.data(), sizeof r);
    EXPECT_EQ(r.capabilityState, HBN_NODE_STATE_NONE);
    EXPECT_EQ(r.locationState, HBN_NODE_STATE_NONE);
    EXPECT_EQ(r.nameState, HBN_NODE_STATE_NONE);
    EXPECT_EQ(r.deviceIdState, HBN_NODE_STATE_NONE);
    EXPECT_EQ(r.zwavePlusState, HBN_NODE_STATE_NONE);
    EXPECT_EQ(r.manufacturerState, HBN_NODE_STATE_OBTAINED);
    EXPECT_EQ(r.manufacturerId, 0x010B);
    EXPECT_EQ(r.productType, 0xF1);
    EXPECT_EQ(r.productId, 1);
    EXPECT_EQ(r.commandClassState, HBN_NODE_STATE_OBTAINED);
    EXPECT_EQ(r.commandClassCount, 1);
    EXPECT_EQ(r.commandClasses[0], 0xF1);
    EXPECT_EQ(r.versions[0], 1);
    EXPECT_EQ(r.securityFlags[0], 0);
    EXPECT_EQ(r.wakeUpInterval, -1);
    EXPECT_EQ(r.nopInterval, -1);
    EXPECT_EQ(r.pairingStatus, 0u);
  }
}

}  // namespace
