// The built router-cloud-agent between a real TLS Mosquitto broker and a test client, with the
// build's configtool and recording fakes for the platform commands: the "connected" set and its
// timing, the information answers byte for byte, control and configuration requests, update
// hand-offs, script requests on a real message queue, dropped requests, platform commands that
// hang when the agent is killed, a broker restart and a server that never answers.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <mqueue.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "e2e_router_fixture.h"
#include "hbn_log_capture.h"
#include "hbn_process.h"

namespace {

using router::kSerial;
using router::MqttClient;
using router::RouterWorld;
using router::waitUntil;

class RouterAgent : public ::testing::Test {
 protected:
  // Seeds (`ids` over the default single wired WAN), starts broker, client and agent.
  void bringUp(const std::vector<std::pair<std::string, std::string>>& ids = {},
               const std::vector<std::string>& env = {}) {
    queue_ = hbntest::uniqueName("/router_e2e");
    world_.reset(new RouterWorld);
    world_->recordContract();
    ASSERT_EQ(world_->seed(ids), "");
    std::vector<std::string> fullEnv = {"HBN_SCRIPT_QUEUE=" + queue_};
    fullEnv.insert(fullEnv.end(), env.begin(), env.end());
    startedMs_ = hbntest::nowMs();
    ASSERT_EQ(world_->start(fullEnv), "");
  }
  // bringUp, then the announce "connected" that a synchronised clock brings at once.
  void bringUpAnnounced(const std::vector<std::pair<std::string, std::string>>& ids = {}) {
    bringUp(ids);
    MqttClient::Message m;
    ASSERT_TRUE(client().next(gw("connected"), &m, 10000)) << world_->err();
    connected_ = m.payload;
    ASSERT_TRUE(client().next(gw("connected/wanip/" + std::string(kSerial)), &m)) << world_->err();
  }
  void TearDown() override {
    // The agent never ends on its own, and a sanitizer build reports its findings on stderr.
    if (world_) {
      EXPECT_EQ(world_->box().problem(), "");
      EXPECT_EQ(world_->checkContract(), "");
    }
    world_.reset();
  }

  MqttClient& client() { return world_->client(); }
  hbntest::Sandbox& sandbox() { return world_->sandbox(); }
  static std::string gw(const std::string& name) { return RouterWorld::gw(name); }
  bool publish(const std::string& name, const std::string& payload) {
    return client().publish(RouterWorld::req(name), payload);
  }
  // A request outside the contract, sent on purpose.
  bool publishMalformed(const std::string& name, const std::string& payload) {
    world_->malformed(RouterWorld::req(name), payload);
    return publish(name, payload);
  }
  // Answered version request: everything published before it was handled first.
  void barrier() { ASSERT_NE(world_->ask("version", "", gw("version")), "<none>"); }
  bool logged(char level, const std::string& func, const std::string& message) {
    return hbntest::hasLogLine(world_->err(), level, func, message);
  }
  bool waitLogged(char level, const std::string& func, const std::string& message, int timeoutMs = 5000) {
    return waitUntil([&] { return logged(level, func, message); }, timeoutMs);
  }
  // The power-on member of a "connected" or "version" payload.
  static std::string powerOn(const std::string& payload) {
    size_t at = payload.find("\"power_on\":\"");
    return at == std::string::npos ? "" : payload.substr(at + 12, 25);
  }
  // The "version" payload (`version`) or the "connected" one of the seeded box.
  std::string factsPayload(const std::string& power, bool version) {
    return std::string("{\"model\":\"KRW-BLDA-PV37\",\"fw_version_lan\":\"") + router::kVersion +
           "\",\"fw_version_lte\":\"LTE-3.2.1\",\"login_password\":\"noChange\",\"power_on\":\"" + power +
           (version ? "\",\"is_sim\":\"no" : "") +
           "\",\"wan_ip_address\":\"100.64.0.9\",\"tls_client_exp\":\"" + world_->certificateExpiry() + "\"}";
  }

  std::unique_ptr<RouterWorld> world_;
  std::string queue_;
  std::string connected_;
  double startedMs_ = 0;
};

// "YYYY-MM-DDThh:mm:ss+09:00" of `t`, broken down without a time zone.
std::string powerOnText(time_t t) {
  struct tm parts;
  gmtime_r(&t, &parts);
  char text[64];
  snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d+09:00", parts.tm_year + 1900, parts.tm_mon + 1,
           parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec);
  return text;
}

// Until the clock is synchronised nothing is announced, but a "connected" request is answered
// with the unknown power-on time; the synchronisation brings the set in its order, with the
// power-on time it found.
TEST_F(RouterAgent, ConnectedSetWaitsForTheSynchronisedClock) {
  bringUp({{"7263", "0"}});
  sandbox().write("/var/tmp/timeStatus", "1\n");
  ASSERT_TRUE(world_->box().waitErr("MQTT connect success(", 1, 10000)) << world_->err();
  std::string answer = world_->ask("connected", "", gw("connected"));
  EXPECT_EQ(powerOn(answer), "1970-01-01T00:00:00+09:00") << answer;
  // Nothing but answers to the requests.
  MqttClient::Message m;
  while (client().nextAny(&m, 1500)) EXPECT_EQ(m.topic, gw("connected")) << m.payload;

  time_t before = time(nullptr);
  sandbox().write("/var/tmp/timeStatus", "2\n");
  const std::vector<std::pair<std::string, std::string>> set = {
      {gw("connected"), ""},
      {gw("connected/version"), std::string("{\"fw_version_lan\":\"") + router::kVersion + "\"}"},
      {gw("connected/tls"), "{\"tls_client_exp\":\"" + world_->certificateExpiry() + "\"}"},
      {gw("connected/wanip/" + std::string(kSerial)), "{\"wan_ip_address\":\"100.64.0.9\"}"}};
  for (const auto& expected : set) {
    ASSERT_TRUE(client().nextAny(&m, 5000)) << expected.first;
    EXPECT_EQ(m.topic, expected.first);
    if (!expected.second.empty()) {
      EXPECT_EQ(m.payload, expected.second);
    }
    if (m.topic == gw("connected")) {
      std::string power = powerOn(m.payload);
      EXPECT_TRUE(power == powerOnText(before) || power == powerOnText(before + 1) ||
                  power == powerOnText(before + 2))
          << power;
      EXPECT_EQ(m.payload, factsPayload(power, false));
    }
  }
  // Any text after "connected/wanip/" is answered on the session's own serial.
  EXPECT_EQ(world_->ask("connected/wanip/whatever/else", "", gw("connected/wanip/" + std::string(kSerial))),
            "{\"wan_ip_address\":\"100.64.0.9\"}");
}

// Scaled twentyfold (20 s become 1 s): the announce comes within 7263 seconds of the start, the
// first keep-alive 7139..7139+7264 seconds after the first connected pass, later ones every
// period.
TEST_F(RouterAgent, AnnounceAndKeepAliveDelaysStayInTheirBounds) {
  bringUp({{"7263", "20"}, {"7264", "20"}, {"7138", "1"}, {"7139", "20"}}, {"HBN_TIME_SCALE=20"});
  double connectedMs = 0;
  ASSERT_TRUE(waitUntil(
      [&] {
        connectedMs = hbntest::nowMs();
        return world_->err().find("MQTT connect success(") != std::string::npos;
      },
      10000));
  MqttClient::Message m;
  ASSERT_TRUE(client().next(gw("connected"), &m, 3000));
  // The thread's first connected pass comes up to a second after the connect (its pause after
  // a connect attempt), the announce at that pass or before the 1 s bound.
  EXPECT_LT(m.at - connectedMs, 1000 + 400) << "announce after the first delay's bound";
  std::vector<double> keepAlives;
  while (keepAlives.size() < 3 && client().next(gw("keepalive"), &m, 3000)) {
    EXPECT_EQ(m.payload, "");
    keepAlives.push_back(m.at);
  }
  ASSERT_EQ(keepAlives.size(), 3u);
  EXPECT_GE(keepAlives[0] - connectedMs, 1000 - 100);
  EXPECT_LE(keepAlives[0] - connectedMs, 1000 + 1000 + 1000 + 400);
  for (size_t i = 1; i < keepAlives.size(); ++i) {
    EXPECT_GE(keepAlives[i] - keepAlives[i - 1], 1000 - 100);
    EXPECT_LE(keepAlives[i] - keepAlives[i - 1], 1000 + 300);
  }
}

TEST_F(RouterAgent, InformationAnswersByteForByte) {
  bringUpAnnounced();
  // Start-up: the version (also in its file, without a line end), then the WAN judgement.
  EXPECT_EQ(world_->out().rfind(std::string("KV_TX440:Version:") + router::kVersion +
                                    "\n"
                                    "KV_TX440:net:isDual=0\n"
                                    "KV_TX440:net:main=0,sub=-1\n"
                                    "KV_TX440:net:main=,sub=\n"
                                    "KV_TX440:net:main:check=0,optimize=0\n"
                                    "KV_TX440:net:sub :check=0,optimize=0\n"
                                    "KV_TX440:mqtt:setting=0,0\n"
                                    "KV_TX440:ping:main=-1,sub=-1\n",
                                0),
            0u)
      << world_->out();
  EXPECT_EQ(sandbox().read("/var/pqv_version"), router::kVersion);
  const std::string power = powerOn(connected_);
  EXPECT_NE(power, "1970-01-01T00:00:00+09:00");
  EXPECT_EQ(world_->ask("version", "", gw("version")), factsPayload(power, true));
  EXPECT_EQ(connected_, factsPayload(power, false));
  EXPECT_EQ(world_->ask("connected/version", "", gw("connected/version")),
            std::string("{\"fw_version_lan\":\"") + router::kVersion + "\"}");
  EXPECT_EQ(world_->ask("netinfo", "{\"ifname\":\"lo\"}", gw("netinfo")),
            "{\"ifname\":\"lo\",\"mac\":\"000000000000\",\"ipv4\":\"127.0.0.1\"}");
  EXPECT_EQ(world_->ask("netinfo", "{\"ifname\":\"nosuch9\"}", gw("netinfo")),
            "{\"ifname\":\"nosuch9\",\"mac\":\"000000000000\",\"ipv4\":\"0.0.0.0\"}");
  // A name from the network is escaped in the answer.
  EXPECT_EQ(world_->ask("netinfo", "{\"ifname\":\"a\\\"b\"}", gw("netinfo")),
            "{\"ifname\":\"a\\\"b\",\"mac\":\"000000000000\",\"ipv4\":\"0.0.0.0\"}");
  // However long the text after "connected/wanip/".
  EXPECT_EQ(world_->ask("connected/wanip/" + std::string(2000, 'w'), "",
                        gw("connected/wanip/" + std::string(kSerial))),
            "{\"wan_ip_address\":\"100.64.0.9\"}");
  // Without the address file the session's interface speaks: no binding means "br0".
  sandbox().write("/var/lte0_gip.inf", "");
  EXPECT_EQ(world_->ask("connected/wanip/x", "", gw("connected/wanip/" + std::string(kSerial))),
            "{\"wan_ip_address\":\"\"}");
  unlink(sandbox().path("/var/lte0_gip.inf").c_str());
  EXPECT_EQ(world_->ask("connected/wanip/x", "", gw("connected/wanip/" + std::string(kSerial))),
            "{\"wan_ip_address\":\"0.0.0.0\"}");
}

// Each control kind runs its command (recorded by the fakes) or its action, and nothing else.
TEST_F(RouterAgent, ControlKindsRunTheirCommands) {
  bringUpAnnounced();
  struct Case {
    const char* kind;
    const char* command;  // fake that must have recorded `line`; null: none may run
    const char* line;
  };
  const Case cases[] = {
      {"all", "reboot", "\n"},
      {"hard_reset", "auxlink", "-r\n"},
      {"ipsec_reset", "sysconf", "conn l2tp_ipsec reconfig\n"},
      {"l2tp_reset", "sysconf", "conn l2tp_ipsec reconfig\nconn l2tp_ipsec reconfig\n"},
      {"l2tpOverIpsec_reset", "sysconf",
       "conn l2tp_ipsec reconfig\nconn l2tp_ipsec reconfig\nconn l2tp_ipsec reconfig\n"},
      {"lte_module", "kv_lte_reset.sh", "\n"},
      {"soft_reset", nullptr, nullptr},
      {"bogus", nullptr, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.kind);
    const std::string payload = std::string("{\"reboot\":\"") + c.kind + "\"}";
    ASSERT_TRUE(std::string(c.kind) == "bogus" ? publishMalformed("control", payload)
                                               : publish("control", payload));
    barrier();
    if (c.command != nullptr) {
      EXPECT_EQ(sandbox().recorded(c.command), c.line);
    }
  }
  EXPECT_EQ(sandbox().recorded("reboot"), "\n");
  EXPECT_EQ(sandbox().recorded("auxlink"), "-r\n");
  EXPECT_EQ(sandbox().recorded("kv_lte_reset.sh"), "\n");
  EXPECT_TRUE(logged('D', "HBN_cloud_commMqttRecvControl", "MQTT Request(reboot):kind=[soft_reset]"));
  EXPECT_FALSE(logged('E', "HBN_cloud_commMqttRecvControl", "MQTT Request(param unknown):kind=[soft_reset]"));
  EXPECT_TRUE(logged('E', "HBN_cloud_commMqttRecvControl", "MQTT Request(param unknown):kind=[bogus]"));
  // "reboot" wins over "upload".
  ASSERT_TRUE(publish("control", "{\"upload\":\"config-user\",\"reboot\":\"soft_reset\"}"));
  barrier();
  EXPECT_FALSE(world_->box().err().find("MQTT Request(upload)") != std::string::npos);

  // MQTT reset: the session reconnects and announces itself again.
  client().drain();
  ASSERT_TRUE(publish("control", "{\"reboot\":\"mqtt_reset\"}"));
  ASSERT_TRUE(world_->box().waitErr("MQTT connect success(", 2, 8000)) << world_->err();
  MqttClient::Message m;
  EXPECT_TRUE(client().next(gw("connected/wanip/" + std::string(kSerial)), &m, 5000));
  EXPECT_TRUE(client().next(gw("connected"), &m, 5000));
}

// "upload":"config" publishes the three real dumps, information first, then server, then user.
TEST_F(RouterAgent, ConfigUploadPublishesTheRealDumpsInOrder) {
  bringUpAnnounced();
  auto dump = [&](const char* operation) {
    std::string file = sandbox().path("/tmp/expected.dump");
    hbntest::Result r = hbntest::run({"configtool", operation, file});
    std::string text = hbntest::readFile(file);
    unlink(file.c_str());
    return text;
  };
  const std::string server = dump("dumpJsonSvr");
  const std::string user = dump("dumpJsonCfg");
  ASSERT_NE(user.find("\"setting\""), std::string::npos) << user;
  client().drain();
  ASSERT_TRUE(publish("control", "{\"upload\":\"config\"}"));
  MqttClient::Message m;
  ASSERT_TRUE(client().nextAny(&m, 10000));
  EXPECT_EQ(m.topic, gw("config/info"));
  EXPECT_NE(m.payload.find('\n'), std::string::npos) << m.payload;
  ASSERT_TRUE(client().nextAny(&m, 10000));
  EXPECT_EQ(m.topic, gw("config/server"));
  EXPECT_EQ(m.payload, server);
  ASSERT_TRUE(client().nextAny(&m, 10000));
  EXPECT_EQ(m.topic, gw("config/user"));
  EXPECT_EQ(m.payload, user);
  // The work files are gone.
  for (const char* f : {"/tmp/dumpInfo.txt", "/tmp/dumpSvr.json", "/tmp/dumpCfg.json"})
    EXPECT_FALSE(sandbox().exists(f)) << f;
  EXPECT_EQ(world_->ask("control", "{\"upload\":\"config-user\"}", gw("config/user")), user);
}

TEST_F(RouterAgent, ConfigLoadsStoreRebootOrReportTheirErrors) {
  bringUpAnnounced();
  auto stored = [](const char* id) {
    std::string v = hbntest::run({"mibctl", "get", id}).out;
    return v.substr(0, v.find('\n'));
  };
  const std::string before = stored("7255");
  // A bad document: its error document on ".../err", nothing stored, no reboot.
  const std::string bad = "{\"setting\":{\"bogusKey1\":\"x\",\"mode\":\"mobile\"}}";
  world_->malformed(RouterWorld::req("config/reboot"), bad);
  std::string err = world_->ask("config/reboot", bad, gw("config/reboot/err"));
  EXPECT_NE(err.find("bogusKey1"), std::string::npos) << err;
  EXPECT_EQ(stored("7255"), before);
  EXPECT_EQ(sandbox().recorded("reboot"), "");

  // "config/noreboot" stores and never reboots.
  ASSERT_TRUE(publish("config/noreboot", "{\"setting\":{\"mode\":\"non-mobile\"}}"));
  barrier();
  EXPECT_EQ(stored("7255"), "2");
  EXPECT_EQ(sandbox().recorded("reboot"), "");
  // A good "config/reboot" stores, then reboots.
  ASSERT_TRUE(publish("config/reboot", "{\"setting\":{\"mode\":\"mobile\"}}"));
  barrier();
  EXPECT_EQ(stored("7255"), "1");
  EXPECT_EQ(sandbox().recorded("reboot"), "\n");
  EXPECT_TRUE(sandbox().exists("/tmp/tmpCfg.json"));
  EXPECT_FALSE(sandbox().exists("/tmp/tmpErr.json"));

  // "setting_server" of any type selects the server-settings load.
  const std::string work = sandbox().path("/tmp/tmpCfg.json") + " " + sandbox().path("/tmp/tmpErr.json");
  for (const char* value : {"null", "false", "0", "\"\"", "{}"}) {
    SCOPED_TRACE(value);
    std::string before_ = sandbox().recorded("configtool");
    // Only an object is a server-settings document; the others are refused by its loader.
    const std::string payload =
        std::string("{\"setting\":{\"mode\":\"plugin\"},\"setting_server\":") + value + "}";
    ASSERT_TRUE(std::string(value) == "{}" ? publish("config/noreboot", payload)
                                           : publishMalformed("config/noreboot", payload));
    barrier();
    std::string calls = sandbox().recorded("configtool").substr(before_.size());
    EXPECT_EQ(calls, "loadJsonSvr " + work + "\n");
    EXPECT_EQ(stored("7255"), "1");
  }
  EXPECT_EQ(sandbox().recorded("reboot"), "\n");
}

TEST_F(RouterAgent, UpdateRequestsWriteTheHandOffFiles) {
  bringUpAnnounced();
  ASSERT_TRUE(
      publish("update/fw", "{\"download_url\":\"http://u/fw.bin\",\"checksum_url\":\"http://u/fw.md5\"}"));
  barrier();
  EXPECT_EQ(sandbox().read("/var/kv_cloudfwd.conf"), "http://u/fw.bin\nhttp://u/fw.md5\n");
  EXPECT_TRUE(sandbox().exists("/var/kv_cloudfwd.run"));
  EXPECT_TRUE(
      world_->box().waitOut("KV_TX440:HBNKV_firmwareUpdate:data=http://u/fw.bin,chksum=http://u/fw.md5\n"));
  unlink(sandbox().path("/var/kv_cloudfwd.run").c_str());

  ASSERT_TRUE(
      publish("update/tls", "{\"download_url\":\"http://u/c.tgz\",\"checksum_url\":\"http://u/c.md5\"}"));
  barrier();
  EXPECT_EQ(sandbox().read("/var/kv_cloudfwd.conf"), "http://u/c.tgz\nhttp://u/c.md5\ncert\n");
  EXPECT_TRUE(sandbox().exists("/var/kv_cloudfwd.run"));
  EXPECT_TRUE(world_->box().waitOut("KV_TX440:HBNKV_certUpdate:data=http://u/c.tgz,chksum=http://u/c.md5\n"));
  unlink(sandbox().path("/var/kv_cloudfwd.run").c_str());

  // The old name; and a URL with a line break, which would forge a hand-off line, is refused.
  ASSERT_TRUE(publish("fwupdate", "{\"download_url\":\"http://v/a\",\"checksum_url\":\"http://v/b\"}"));
  barrier();
  EXPECT_EQ(sandbox().read("/var/kv_cloudfwd.conf"), "http://v/a\nhttp://v/b\n");
  unlink(sandbox().path("/var/kv_cloudfwd.run").c_str());
  ASSERT_TRUE(publishMalformed("update/fw",
                               "{\"download_url\":\"http://w/a\\ncert\",\"checksum_url\":\"http://w/b\"}"));
  barrier();
  EXPECT_EQ(sandbox().read("/var/kv_cloudfwd.conf"), "http://v/a\nhttp://v/b\n");
  EXPECT_FALSE(sandbox().exists("/var/kv_cloudfwd.run"));
  EXPECT_EQ(world_->out().find("http://w/a"), std::string::npos);
}

// Scripts 0..9 become "2,<n>" on the script queue; 12 and "lteinfo" post and publish nothing.
TEST_F(RouterAgent, ScriptRequestsReachTheScriptQueue) {
  bringUpAnnounced();
  mq_attr attr{};
  attr.mq_maxmsg = 10;
  attr.mq_msgsize = 64;
  mqd_t q = mq_open(queue_.c_str(), O_CREAT | O_RDONLY | O_NONBLOCK, 0600, &attr);
  ASSERT_NE(q, static_cast<mqd_t>(-1));
  for (int n : {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 12, -1}) {
    const std::string payload = "{\"no\":" + std::to_string(n) + "}";
    ASSERT_TRUE(n >= 0 && n <= 9 ? publish("script", payload) : publishMalformed("script", payload));
  }
  ASSERT_TRUE(publish("lteinfo", "{\"no\":1}"));
  client().drain();
  barrier();
  std::vector<std::string> posted;
  char text[64];
  ssize_t got;
  while ((got = mq_receive(q, text, sizeof text, nullptr)) >= 0)
    posted.emplace_back(text, static_cast<size_t>(got));
  mq_close(q);
  mq_unlink(queue_.c_str());
  std::vector<std::string> expected;
  for (int n = 0; n < 10; ++n) expected.push_back("2," + std::to_string(n));
  EXPECT_EQ(posted, expected);
  EXPECT_TRUE(logged('D', "HBN_cloud_commMqttRecvLteInfo", "MQTT Request(lteinfo)"));
  // The agent's script requests print nothing on the console.
  EXPECT_EQ(world_->out().find("execScriptRequest"), std::string::npos);
  MqttClient::Message m;
  while (client().nextAny(&m, 300)) EXPECT_EQ(m.topic, gw("version"));
}

// Bad requests are dropped with their log line, and the agent goes on serving.
TEST_F(RouterAgent, BadRequestsAreDroppedWithTheirLogLines) {
  bringUpAnnounced();
  struct Case {
    std::string topic;  // full topic
    std::string payload;
    const char* func;
    std::string message;
  };
  const std::string big(65537, ' ');
  const std::vector<Case> cases = {
      {RouterWorld::req("script"), "no json", "HBN_cloud_commMqttRecvExecScript", "MQTT json parse fail"},
      {RouterWorld::req("script"), "[1,2]", "HBN_cloud_commMqttRecvExecScript", "MQTT json parse fail"},
      {RouterWorld::req("script"), "{\"no\":\"3\"}", "HBN_cloud_commMqttRecvExecScript",
       "MQTT json parse(script no) fail"},
      {RouterWorld::req("lteinfo"), "{\"no\":null}", "HBN_cloud_commMqttRecvLteInfo",
       "MQTT json parse(script no) fail"},
      {RouterWorld::req("update/fw"), "{\"download_url\":5,\"checksum_url\":\"c\"}",
       "HBN_cloud_commMqttRecvFwUpdate", "MQTT json parse(download_url) fail"},
      {RouterWorld::req("update/tls"), "{\"download_url\":\"u\"}", "HBN_cloud_commMqttRecvTlsUpdate",
       "MQTT json parse(checksum_url) fail"},
      {RouterWorld::req("control"), "{}", "HBN_cloud_commMqttRecvControl",
       "MQTT json parse(reboot or upload) fail"},
      {RouterWorld::req("control"), "{\"reboot\":1}", "HBN_cloud_commMqttRecvControl",
       "MQTT json parse(reboot or upload) fail"},
      {RouterWorld::req("netinfo"), "{\"ifname\":[]}", "HBN_cloud_commMqttRecvNetInfo",
       "MQTT json parse(ifname) fail"},
      {RouterWorld::req("config/reboot"), "{\"setting\":", "HBN_cloud_commMqttRecvConfigExecute",
       "MQTT json parse fail"},
      {RouterWorld::req("script"), "{\"no\":1}" + big, "HBN_cloud_commMqttRecvExecScript",
       "MQTT payload too long(65545)"},
      {RouterWorld::req("bogus"), "", "HBN_cloud_commMqttMsgarrvd", "MQTT topic unknown"},
      {std::string("req/") + router::kService + "/" + kSerial, "", "HBN_cloud_commMqttMsgarrvd",
       "MQTT topic length under"},
      {std::string("req/x/") + kSerial + "/", "", "HBN_cloud_commMqttMsgarrvd", "MQTT topic length under"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.topic + " " + c.payload.substr(0, 60));
    world_->malformed(c.topic, c.payload);
    ASSERT_TRUE(client().publish(c.topic, c.payload));
    EXPECT_TRUE(waitLogged('W', c.func, c.message));
    barrier();
  }
  // A payload of exactly 65,536 bytes still fits.
  ASSERT_TRUE(publishMalformed("script", "{\"no\":12}" + std::string(65536 - 9, ' ')));
  barrier();
  EXPECT_FALSE(logged('W', "HBN_cloud_commMqttRecvExecScript", "MQTT payload too long(65536)"));
  for (const char* fake : {"reboot", "sysconf", "auxlink", "kv_lte_reset.sh"})
    EXPECT_EQ(sandbox().recorded(fake), "") << fake;
  EXPECT_FALSE(sandbox().exists("/var/kv_cloudfwd.conf"));
}

// With all three cloud enables off (a single WAN does not consult them to start), every request
// is dropped without a trace.
TEST_F(RouterAgent, AllCloudsDisabledDropsEveryRequestSilently) {
  bringUpAnnounced({{"7101", "0"}, {"7115", "0"}, {router::kEnable0, "0"}});
  for (const char* name : {"version", "connected", "control", "script"})
    ASSERT_TRUE(publishMalformed(name, "{\"reboot\":\"all\",\"no\":1}"));
  MqttClient::Message m;
  EXPECT_FALSE(client().next(gw("version"), &m, 1500));
  EXPECT_EQ(world_->err().find("DUMP-topic="), std::string::npos);
  EXPECT_EQ(sandbox().recorded("reboot"), "");
}

// A restarted broker: the session reconnects at once and announces itself again (the queued
// "connected" and the three direct publishes); the platform hears both changes.
TEST_F(RouterAgent, BrokerRestartReannouncesAndNotifies) {
  bringUpAnnounced();
  const std::string notice = "KV_TX440:HBNKV_cloudConnectNotice:kind=0,state/new=";
  EXPECT_TRUE(world_->box().waitOut(notice + "T,old=F,first=F/check=0\n"));
  auto count = [&](const std::string& topic) {
    auto topics = world_->broker().receivedTopics();
    return std::count(topics.begin(), topics.end(), topic);
  };
  const std::string wanip = gw("connected/wanip/" + std::string(kSerial));
  const std::ptrdiff_t before[] = {count(gw("connected")), count(gw("connected/version")),
                                   count(gw("connected/tls")), count(wanip)};
  world_->broker().stop();
  EXPECT_TRUE(world_->box().waitOut(notice + "F,old=F,first=F/check=0\n", 1, 5000)) << world_->out();
  EXPECT_TRUE(world_->box().waitErr("MQTT connection lost"));
  ASSERT_TRUE(world_->broker().start());
  EXPECT_TRUE(world_->box().waitOut(notice + "T,old=F,first=F/check=0\n", 2, 8000)) << world_->out();
  EXPECT_TRUE(waitUntil(
      [&] {
        return count(gw("connected")) > before[0] && count(gw("connected/version")) > before[1] &&
               count(gw("connected/tls")) > before[2] && count(wanip) > before[3];
      },
      5000));
}

// A platform command that hangs when the agent is killed goes with the agent, and so does what
// it started (configtool runs under a shell); a reboot is meant to outlive the agent and goes on.
TEST_F(RouterAgent, HungCommandsEndWithTheKilledAgentButARebootGoesOn) {
  struct Case {
    const char* request;
    const char* payload;
    const char* command;  // the fake that hangs
    bool endsWithAgent;
  };
  const Case cases[] = {
      {"config/noreboot", "{\"setting\":{\"mode\":\"mobile\"}}", "configtool", true},
      {"control", "{\"upload\":\"config-user\"}", "configtool", true},
      {"control", "{\"reboot\":\"lte_module\"}", "kv_lte_reset.sh", true},
      {"control", "{\"reboot\":\"all\"}", "reboot", false},
  };
  bringUpAnnounced();
  const std::string pids = sandbox().path("/record/hung.pids");
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.request) + " " + c.payload);
    if (!world_->box().agent().running()) {
      // The next agent on the same broker: its "connected" follows its subscription.
      client().drain();
      ASSERT_TRUE(world_->box().startAgentPrefixed({}, "router-cloud-agent", {"HBN_SCRIPT_QUEUE=" + queue_}));
      MqttClient::Message m;
      ASSERT_TRUE(client().next(gw("connected"), &m, 10000)) << world_->err();
    }
    // The command records its shell's process and a child of its own, then waits for the child.
    unlink(pids.c_str());
    sandbox().fakeCommand(c.command, "echo $$ >> '" + pids + "'; sleep 60 & echo $! >> '" + pids + "'; wait");
    ASSERT_TRUE(publish(c.request, c.payload));
    std::vector<pid_t> started;
    ASSERT_TRUE(waitUntil(
        [&] {
          started.clear();
          std::istringstream in(hbntest::readFile(pids));
          for (long pid; in >> pid;) started.push_back(static_cast<pid_t>(pid));
          return started.size() == 2;
        },
        10000))
        << world_->err();
    EXPECT_EQ(world_->box().problem(), "");
    world_->box().agent().kill();
    auto allGone = [&] {
      for (pid_t pid : started)
        if (!hbntest::processGone(pid)) return false;
      return true;
    };
    if (c.endsWithAgent) {
      EXPECT_TRUE(waitUntil(allGone, 5000));
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
      EXPECT_FALSE(allGone());
    }
    for (pid_t pid : started)
      if (!hbntest::processGone(pid)) kill(pid, SIGKILL);
  }
  // The last agent was killed on purpose; everything it sent kept the contract.
  EXPECT_EQ(world_->checkContract(), "");
  world_.reset();
}

// A server that takes the TCP connection and never answers: each attempt ends after the bounded
// connect time (30 s, scaled here to 1 s) and the next one follows.
TEST_F(RouterAgent, SilentServerDoesNotHoldTheSession) {
  int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(listener, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  socklen_t length = sizeof a;
  ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&a), &length), 0);
  ASSERT_EQ(listen(listener, 16), 0);
  bringUp({{"7133", std::to_string(ntohs(a.sin_port))}}, {"HBN_TIME_SCALE=30"});
  EXPECT_TRUE(waitLogged('D', "HBN_cloud_commMqttConnectFailure", "MQTT connect fail()", 8000))
      << world_->err();
  EXPECT_TRUE(logged('D', "HBN_cloud_commMqttConnectFailure", "state=1->2"));
  // The platform hears of it, and the next attempt follows.
  EXPECT_TRUE(
      world_->box().waitOut("KV_TX440:HBNKV_cloudConnectNotice:kind=0,state/new=F,old=F,first=F/check=0\n"));
  EXPECT_TRUE(world_->box().waitErr("MQTT Network I/F name=", 2, 3000)) << world_->err();
  close(listener);
}

}  // namespace
