// The MQTT session against a real Mosquitto broker, with recording core and adaptation tables
// in place of the real modules: connect and subscribe, every request topic reaching its target,
// the immediate answers, queued messages, reconnection and TLS.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "apmib.h"
#include "hbn_broker.h"
#include "hbn_cloud.h"
#include "hbn_core.h"
#include "hbn_log_capture.h"
#include "hbn_os.h"
#include "hbn_test.h"
#include "kv_api.h"

namespace {

std::mutex gLock;
std::vector<std::string> gCalls;

void record(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void record(const char* fmt, ...) {
  char line[256];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(line, sizeof line, fmt, ap);
  va_end(ap);
  std::lock_guard<std::mutex> g(gLock);
  gCalls.push_back(line);
}

std::vector<std::string> calls() {
  std::lock_guard<std::mutex> g(gLock);
  return gCalls;
}

bool waitForCall(const std::string& call, int timeoutMs = 5000) {
  for (int waited = 0; waited <= timeoutMs; waited += 20) {
    for (const auto& c : calls())
      if (c == call) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

bool waitUntil(bool (*condition)(), int timeoutMs) {
  for (int waited = 0; waited <= timeoutMs; waited += 20) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

std::string hex(const uint8_t* d, int n) {
  std::string s;
  char b[3];
  for (int i = 0; i < n; ++i) {
    snprintf(b, sizeof b, "%02X", d[i]);
    s += b;
  }
  return s;
}

// ---- recording core table
int cMode(int mode, int node) { return record("core.mode(%d,%d)", mode, node), 0; }
int cUpdate(int node, int status) { return record("core.update(%d,%d)", node, status), 0; }
int cRemove(int node, int force) { return record("core.remove(%d,%d)", node, force), 0; }
int cSend(int node, const uint8_t* d, int n) {
  return record("core.send(%d,%s)", node, hex(d, n).c_str()), 0;
}
int cNop(int node, int s) { return record("core.nop(%d,%d)", node, s), 0; }
int cFw(int node, const uint8_t* d, int n) { return record("core.fw(%d,%s)", node, hex(d, n).c_str()), 0; }
int cKey(int node, int kind, int key) { return record("core.key(%d,%d,%d)", node, kind, key), 0; }
int cTest(int node, int count) { return record("core.test(%d,%d)", node, count), 0; }
int cBackup(int subject) { return record("core.backup(%d)", subject), 0; }
int cRestore(int subject, const char* path) { return record("core.restore(%d,%s)", subject, path), 0; }
int cReset(int subject) { return record("core.reset(%d)", subject), 0; }
int cGetMode(int* mode) { return *mode = 0, 0; }
int cGetGwID(int* node, uint32_t* home) { return *node = 1, *home = 0xC0FFEE, 0; }
int cGwDsk() { return record("core.gwdsk()"), 0; }
int cNodeList(int* length, uint8_t* bitmap) {
  memset(bitmap, 0, 29);
  bitmap[0] = 0x11;  // nodes 1 (the gateway) and 5
  *length = 29;
  return 0;
}
int cSetPv(int addCount, const uint8_t* add, int removeCount, const uint8_t*) {
  return record("core.setpv(%d,%d,%s)", addCount, removeCount, addCount ? hex(add, 16).c_str() : ""), 0;
}
int cGetPv() { return record("core.getpv()"), 0; }
int cRssi(int node) { return record("core.rssi(%d)", node), 0; }

const HBN_core_interface_t kCore = {cMode,    cUpdate, cRemove,   cSend,    cNop,   cFw,
                                    cKey,     cTest,   cBackup,   cRestore, cReset, cGetMode,
                                    cGetGwID, cGwDsk,  cNodeList, cSetPv,   cGetPv, cRssi};

// ---- recording adaptation table
std::atomic<int> gModeResult{0};  // what the adaptation answers to a mode
int kMode(int mode, int button) { return record("kv.mode(%d,%d)", mode, button), gModeResult.load(); }
int kUpdate(int node, int status) { return record("kv.update(%d,%d)", node, status), 0; }
int kSend(int node, const uint8_t* d, int n) { return record("kv.send(%d,%s)", node, hex(d, n).c_str()), 0; }
int kSecure(int node, int keys) { return record("kv.secure(%d,%d)", node, keys), 0; }
int kFilter(int node, const uint8_t* d, int n) {
  return record("kv.filter(%d,%.*s)", node, n, reinterpret_cast<const char*>(d)), 0;
}
int kFw(int node, const uint8_t* d, int n) { return record("kv.fw(%d,%s)", node, hex(d, n).c_str()), 0; }
int kBackup(int subject) { return record("kv.backup(%d)", subject), 0; }
int kRestore(int subject, const char* path) { return record("kv.restore(%d,%s)", subject, path), 0; }
int kReset(int subject) { return record("kv.reset(%d)", subject), 0; }
int kFwUpdate(const char* url, const char* sum) { return record("kv.fwupdate(%s,%s)", url, sum), 0; }
int kScript(int number) { return record("kv.script(%d)", number), 0; }
int kGetMode(int* mode) { return *mode = 3, 0; }
int kNodeList(int* count, uint16_t* ids) { return *count = 1, ids[0] = 1000, 0; }
int kState(int state) { return record("kv.state(%d)", state), 0; }

const KV_api_cloudHandler_t kKv = {kMode,    kUpdate, kSend,     kSecure, kFilter,  kFw,       kBackup,
                                   kRestore, kReset,  kFwUpdate, kScript, kGetMode, kNodeList, kState};

bool connected() { return HBN_cloud_isConnected() == 1; }
bool disconnected() { return HBN_cloud_isConnected() == 0; }

void setText(int id, const std::string& value) {
  char buf[256] = {0};
  snprintf(buf, sizeof buf, "%s", value.c_str());
  apmib_set(id, buf);
}

class CloudSession : public ::testing::Test {
 protected:
  void configure(bool tls) {
    broker_.reset(new hbntest::Broker(box_.path("/broker"), tls));
    apmib_init();
    setText(1410, "SER1");
    setText(1411, "vexor");
    setText(1412, "127.0.0.1");
    setText(1413, std::to_string(broker_->port()));
    unsigned char flag = tls ? 1 : 0;
    apmib_set(1414, &flag);
    apmib_update(4);
    if (tls) {
      ASSERT_TRUE(broker_->start());
      for (const char* f : {"ca.crt", "client.crt", "client.key"})
        box_.write(std::string("/jffs2/mqtt/cloud/") + f, readFile(broker_->dir() + "/" + f));
    }
  }
  static std::string readFile(const std::string& p) {
    FILE* f = fopen(p.c_str(), "rb");
    std::string s;
    if (!f) return s;
    char b[4096];
    size_t n;
    while ((n = fread(b, 1, sizeof b, f)) > 0) s.append(b, n);
    fclose(f);
    return s;
  }
  void SetUp() override {
    gCalls.clear();
    gModeResult = 0;
    hbntest::SyslogRecorder::start();
    ASSERT_EQ(HBN_os_initialize(), 0);
  }
  void startSession() {
    HBN_cloud_setApiHandler(&kKv);
    ASSERT_EQ(HBN_cloud_initialize(&kCore), 0);
  }
  void TearDown() override {
    HBN_cloud_finalize();
    HBN_os_finalize();
    HBN_log_setSyslogHook(nullptr);
  }
  // Publishes a request and then a status request; the status answer shows the first request
  // was handled (the callback thread takes messages in order).
  void request(const std::string& suffix, const std::string& payload, hbntest::Subscriber& sub) {
    static int round = 0;
    ASSERT_TRUE(broker_->publish("req/vexor/SER1/" + suffix, payload));
    ++round;
    ASSERT_TRUE(broker_->publish("req/vexor/SER1/status", ""));
    // Each status answer is the same text; count them instead.
    for (int waited = 0; waited < 5000; waited += 20) {
      int answers = 0;
      for (const auto& l : sub.lines())
        if (l.rfind("gw/vexor/SER1/status ", 0) == 0) ++answers;
      if (answers >= round) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    FAIL() << "no status answer after " << suffix;
  }

  hbntest::Sandbox box_;
  std::unique_ptr<hbntest::Broker> broker_;
};

}  // namespace

TEST_F(CloudSession, ConnectsSubscribesAndAnswersAtOnce) {
  configure(false);
  ASSERT_TRUE(broker_->start());
  hbntest::Subscriber sub(*broker_, "#");
  startSession();
  ASSERT_TRUE(waitUntil(connected, 5000));
  EXPECT_TRUE(waitForCall("kv.state(0)"));
  EXPECT_TRUE(sub.waitFor("gw/vexor/SER1/connected",
                          "{\"home_id\":12648430,\"mode\":3,\"node_ids\":[5,1000],\"model\":\"QM7T4PX118\","
                          "\"version\":\"\",\"root_no\":0}"));

  ASSERT_TRUE(broker_->publish("req/vexor/SER1/node_list", ""));
  EXPECT_TRUE(sub.waitFor("gw/vexor/SER1/node_list", "{\"node_ids\":[5,1000]}"));
  ASSERT_TRUE(broker_->publish("req/vexor/SER1/status", ""));
  EXPECT_TRUE(sub.waitFor("gw/vexor/SER1/status", "{\"home_id\":12648430,\"mode\":3}"));
  box_.write("/etc/build.info", "02.01.00.05\r\n");
  ASSERT_TRUE(broker_->publish("req/vexor/SER1/version", ""));
  EXPECT_TRUE(sub.waitFor("gw/vexor/SER1/version",
                          "{\"model\":\"QM7T4PX118\",\"version\":\"02.01.00.05\",\"root_no\":0,"
                          "\"hbn_ver\":\"01.00.03.01\",\"zip_ver\":\"7.13.01\"}"));
  ASSERT_TRUE(broker_->publish("req/vexor/SER1/netinfo", "{\"ifname\":\"lo\"}"));
  EXPECT_TRUE(sub.waitFor("sp/vexor/SER1/netinfo",
                          "{\"ifname\":\"lo\",\"mac\":\"000000000000\",\"ipv4\":\"127.0.0.1\"}"));
}

TEST_F(CloudSession, EveryRequestTopicReachesItsTarget) {
  configure(false);
  ASSERT_TRUE(broker_->start());
  hbntest::Subscriber sub(*broker_, "gw/#");
  startSession();
  ASSERT_TRUE(waitUntil(connected, 5000));
  // The connect's notice to the adaptation layer comes just after the state changes: wait for it,
  // so that it is not taken for a call of the first request.
  ASSERT_TRUE(waitUntil(
      [] {
        for (const auto& c : calls())
          if (c == "kv.state(0)") return true;
        return false;
      },
      5000));
  struct Case {
    const char* suffix;
    const char* payload;
    std::vector<std::string> expected;  // calls in order; empty: the request is dropped
  } cases[] = {
      {"mode", "{\"mode\":1}", {"kv.mode(1,-1)", "core.mode(1,-1)"}},
      {"mode", "{\"mode\":3,\"node_id\":9}", {"kv.mode(3,-1)", "core.mode(3,9)"}},
      {"mode", "{\"mode\":3}", {}},
      {"mode", "{\"mode\":10,\"button_id\":2}", {"kv.mode(10,2)"}},
      {"mode", "{\"mode\":7}", {"kv.mode(7,-1)"}},
      {"mode", "{\"mode\":\"1\"}", {}},
      {"mode", "not json", {}},
      {"node/233/update", "{\"pairing_status\":1}", {"core.update(233,1)"}},
      {"node/234/update", "{\"pairing_status\":1}", {"kv.update(234,1)"}},
      {"node/5/remove", "", {"core.remove(5,0)"}},
      {"node/5/remove", "{\"force\":1}", {"core.remove(5,1)"}},
      {"node/240/remove", "{\"force\":1}", {}},
      {"node/5/send", "\x25\x01\xFF", {"core.send(5,2501FF)"}},
      {"node/1000/send", "\x20\x02", {"kv.send(1000,2002)"}},
      {"node/5/nop_interval", "{\"seconds\":30}", {"core.nop(5,30)"}},
      {"node/1000/filter", "abc", {"kv.filter(1000,abc)"}},
      {"node/5/filter", "abc", {}},
      {"node/5/fwupdate", "\x01\x02", {"core.fw(5,0102)"}},
      {"node/1000/fwupdate", "\x01", {"kv.fw(1000,01)"}},
      {"node/5/key", "{\"kind\":[\"S2_UNAUTHENTICATED\",\"S0\"]}", {"core.key(5,129,0)"}},
      {"node/5/key", "{\"kind\":\"S2_ACCESS\",\"key\":\"12345\"}", {"core.key(5,4,12345)"}},
      {"node/5/key", "{\"kind\":\"S2_ACCESS\",\"key\":\"12a45\"}", {}},
      {"node/5/key", "{\"kind\":\"S2_ACCESS\"}", {}},
      {"node/5/key", "{\"kind\":[\"S0\",\"S9\"]}", {}},
      {"node/5/rssi", "", {"core.rssi(5)"}},
      {"node/5x/update", "{\"pairing_status\":1}", {}},
      {"node/12345678901/update", "{\"pairing_status\":1}", {}},
      {"node/-3/update", "{\"pairing_status\":1}", {}},
      {"node/42", "", {}},
      {"node/5/bogus", "", {}},
      {"backup", "{\"subject\":\"gw\"}", {"core.backup(1)", "kv.backup(1)"}},
      {"backup", "{\"subject\":\"tv\"}", {}},
      {"reset", "{\"subject\":\"setting\"}", {"core.reset(1)", "kv.reset(1)"}},
      {"fwupdate",
       "{\"download_url\":\"http://a/fw\",\"checksum_url\":\"http://a/sum\"}",
       {"kv.fwupdate(http://a/fw,http://a/sum)"}},
      {"fwupdate", "{\"download_url\":\"http://a/fw\"}", {}},
      {"gwkey_ex", "", {"core.gwdsk()"}},
      {"smartstart/set",
       "{\"add\":[{\"dsk\":\"00001-00002-00003-00004-00005-00006-00007-00008\"}],\"remove\":[]}",
       {"core.setpv(1,0,00010002000300040005000600070008)"}},
      {"smartstart/set", "{\"add\":[],\"remove\":[]}", {"core.setpv(0,0,)"}},
      {"smartstart/set", "{\"add\":[{\"dsk\":\"1-2-3\"}],\"remove\":[]}", {}},
      {"smartstart/set", "{\"add\":[]}", {}},
      {"smartstart/get", "", {"core.getpv()"}},
      {"script", "{\"no\":7}", {"kv.script(7)"}},
      {"script", "{}", {}},
      {"unknown/topic", "", {}},
      // Texts are compared whole: a NUL inside one, and what follows it, names nothing.
      {"backup", "{\"subject\":\"gw\\u0000x\"}", {}},
      {"reset", "{\"subject\":\"zwave\\u0000; reboot\"}", {}},
      {"node/5/key", "{\"kind\":[\"S0\\u0000x\"]}", {}},
      {"node/5/key", "{\"kind\":\"S2_ACCESS\",\"key\":\"12345\\u0000\"}", {}},
      {"fwupdate", "{\"download_url\":\"http://a/fw\\u0000x\",\"checksum_url\":\"http://a/sum\"}", {}},
      {"smartstart/set",
       "{\"add\":[{\"dsk\":\"00001-00002-00003-00004-00005-00006-00007-00008\\u0000x\"}],\"remove\":[]}",
       {}},
  };
  for (const auto& c : cases) {
    size_t before = calls().size();
    request(c.suffix, c.payload, sub);
    std::vector<std::string> all = calls();
    std::vector<std::string> got(all.begin() + static_cast<long>(before), all.end());
    EXPECT_EQ(got, c.expected) << c.suffix << " " << c.payload;
  }
  // An over-long request is refused whole, and the session keeps serving.
  size_t before = calls().size();
  request("mode", "{\"mode\":1,\"pad\":\"" + std::string(5000, 'x') + "\"}", sub);
  EXPECT_EQ(calls().size(), before);
}

TEST_F(CloudSession, QueuedMessagesArePublishedWithTheirTopics) {
  configure(false);
  ASSERT_TRUE(broker_->start());
  hbntest::Subscriber sub(*broker_, "#");
  startSession();
  ASSERT_TRUE(waitUntil(connected, 5000));
  ASSERT_FALSE(sub.waitForTopic("gw/vexor/SER1/connected").empty());
  HBN_cloud_sendMode(1, 0, 0, nullptr);
  EXPECT_TRUE(sub.waitFor("gw/vexor/SER1/mode", "{\"status\":0,\"mode\":1}"));
  HBN_cloud_sendMode(10, 0, 1, "Not Supported");
  EXPECT_TRUE(sub.waitFor("gw/vexor/SER1/mode", "{\"status\":1,\"mode\":10,\"message\":\"Not Supported\"}"));
  HBN_cloud_sendMode(2, 1, 1, "say \"hi\"");
  EXPECT_TRUE(sub.waitFor("gw/vexor/SER1/mode", "{\"status\":1,\"mode\":2,\"message\":\"say \\\"hi\\\"\"}"));
  EXPECT_TRUE(waitForCall("kv.mode(2,-1)"));
  // A mode the adaptation refuses is logged by the MQTT thread, and still published.
  gModeResult = -5;
  HBN_cloud_sendMode(4, 1, 0, nullptr);
  EXPECT_TRUE(sub.waitFor("gw/vexor/SER1/mode", "{\"status\":0,\"mode\":4}"));
  int refusals = 0;
  for (const auto& line : hbntest::SyslogRecorder::lines())
    if (line.second.find("/HBN_cloud_commMqttThread[") != std::string::npos &&
        line.second.find("]:Adaption send Mode fail(-5)") != std::string::npos)
      ++refusals;
  EXPECT_EQ(refusals, 1);
  HBN_cloud_sendNodeRemove(5, 0);
  EXPECT_TRUE(sub.waitFor("gw/vexor/SER1/node/remove", "{\"status\":0,\"node_id\":5}"));
  HBN_cloud_sendNodeKeyZW(5, 0x86);
  EXPECT_TRUE(
      sub.waitFor("gw/vexor/SER1/node/5/key", "{\"kind\":[\"S0\",\"S2_ACCESS\",\"S2_AUTHENTICATED\"]}"));
  EXPECT_TRUE(waitForCall("kv.secure(5,134)"));
  HBN_cloud_sendNodeTestFrame(5, 3 + 256, 2, 1);
  EXPECT_TRUE(sub.waitFor("gw/vexor/SER1/node/5/test_frame", "{\"count\":3,\"send\":2,\"ack\":1}"));
  HBN_cloud_sendNodeNopInterval(5, 60);
  EXPECT_TRUE(sub.waitFor("gw/vexor/SER1/node/5/nop_interval", "{\"seconds\":60}"));
  HBN_cloud_sendRestore(2, 0);
  EXPECT_TRUE(sub.waitFor("gw/vexor/SER1/restore", "{\"status\":0,\"subject\":\"ir\"}"));
  HBN_cloud_sendReset(2, 0);
  EXPECT_TRUE(sub.waitFor("gw/vexor/SER1/reset", "{\"status\":0,\"subject\":\"gw\"}"));
  HBN_cloud_sendRssi(5, -70);
  EXPECT_TRUE(sub.waitFor("gw/vexor/SER1/node/5/update", "{\"rssi\":-70}"));
  const uint8_t data[] = {'a', 'b', 'c'};
  HBN_cloud_sendBackup(0, 0, 3, data);
  EXPECT_TRUE(sub.waitFor("gw/vexor/SER1/backup",
                          "{\"status\":0,\"subject\":\"zwave\",\"model\":\"QM7T4PX118\",\"version\":\"\","
                          "\"data\":\"YWJj\"}"));
  HBN_cloud_sendBackup(1, 5, 3, data);
  EXPECT_TRUE(sub.waitFor("gw/vexor/SER1/backup",
                          "{\"status\":5,\"subject\":\"gw\",\"model\":\"QM7T4PX118\",\"version\":\"\","
                          "\"data\":\"\"}"));
  uint8_t dsk[16] = {0, 1};
  HBN_cloud_spSendGwDSK(16, dsk);
  EXPECT_TRUE(
      sub.waitFor("sp/vexor/SER1/gwkey", "{\"gwkey\":\"00001-00000-00000-00000-00000-00000-00000-00000\"}"));
  HBN_cloud_sendKeepAlive();
  EXPECT_TRUE(sub.waitFor("gw/vexor/SER1/keepalive", ""));
}

TEST_F(CloudSession, ReconnectsAfterTheBrokerReturnsAndPublishesWhatWaited) {
  configure(false);
  ASSERT_TRUE(broker_->start());
  startSession();
  ASSERT_TRUE(waitUntil(connected, 5000));
  broker_->stop();
  ASSERT_TRUE(waitUntil(disconnected, 5000));
  EXPECT_TRUE(waitForCall("kv.state(1)"));
  // Queued while the broker is away: they wait in the queue, in order.
  HBN_cloud_sendNodeRemove(5, 0);
  HBN_cloud_sendNodeRemove(6, 0);
  ASSERT_TRUE(broker_->start());
  ASSERT_TRUE(waitUntil(connected, 8000));
  std::vector<std::string> expected = {"gw/vexor/SER1/node/remove", "gw/vexor/SER1/node/remove",
                                       "gw/vexor/SER1/connected"};
  // The broker's log ends with what the agent published after it came back.
  std::vector<std::string> got;
  for (int waited = 0; waited < 5000 && got != expected; waited += 50) {
    std::vector<std::string> all = broker_->receivedTopics();
    if (all.size() >= 3) got.assign(all.end() - 3, all.end());
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_EQ(got, expected);
  // Requests are served again: the subscription was renewed.
  hbntest::Subscriber sub(*broker_, "gw/#");
  ASSERT_TRUE(broker_->publish("req/vexor/SER1/node_list", ""));
  EXPECT_TRUE(sub.waitFor("gw/vexor/SER1/node_list", "{\"node_ids\":[5,1000]}"));
}

TEST_F(CloudSession, TlsSessionStartedBeforeTheBroker) {
  configure(true);
  broker_->stop();  // the certificates exist; the broker is not up yet
  startSession();
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_FALSE(connected());
  ASSERT_TRUE(broker_->start());
  hbntest::Subscriber sub(*broker_, "gw/#");
  ASSERT_TRUE(waitUntil(connected, 8000));
  ASSERT_TRUE(broker_->publish("req/vexor/SER1/status", ""));
  EXPECT_TRUE(sub.waitFor("gw/vexor/SER1/status", "{\"home_id\":12648430,\"mode\":3}"));
}

TEST_F(CloudSession, TlsClientWithoutATrustedCertificateIsRefused) {
  configure(true);
  box_.write("/jffs2/mqtt/cloud/client.crt", readFile(broker_->dir() + "/rogue.crt"));
  box_.write("/jffs2/mqtt/cloud/client.key", readFile(broker_->dir() + "/rogue.key"));
  startSession();
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  EXPECT_FALSE(connected());
}

TEST_F(CloudSession, WaitsForIdentityThenConnects) {
  configure(false);
  setText(1410, "");
  apmib_update(4);
  ASSERT_TRUE(broker_->start());
  startSession();
  std::this_thread::sleep_for(std::chrono::milliseconds(1200));
  EXPECT_FALSE(connected());
  setText(1410, "SER1");
  apmib_update(4);
  EXPECT_TRUE(waitUntil(connected, 5000));
}
