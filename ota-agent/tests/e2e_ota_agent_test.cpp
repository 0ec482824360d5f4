// The built ota-agent against a real Mosquitto broker, with the real configtool on the
// sandbox's PATH and recording fakes for the platform commands: the version report at connect
// and every day (under the test time scale), LTE identity, update hand-offs, control kinds,
// configuration dumps and loads, the cloud-enable filter, configuration loads ordered through
// the router and OTA agents at once, and a broker that starts late or restarts. Everything on the
// broker is checked against the agent's MQTT contract (docs/mqtt/ota-agent.yaml) at the end of
// each test.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>
#include <thread>
#include <string>
#include <utility>
#include <vector>

#include "hbn_agent_sandbox.h"
#include "hbn_broker.h"
#include "hbn_contract.h"
#include "hbn_mqtt_client.h"
#include "hbn_test.h"
#include "hbn_wait.h"
#include "tlsTerm.h"

namespace {

using hbntest::MqttClient;

constexpr const char* kService = "svc5";
constexpr const char* kSerial = "OTA0042";

std::string gw(const std::string& name) { return std::string("gw/") + kService + "/" + kSerial + "/" + name; }
// Requests of any service reach the agent; the tests use another one than its own.
std::string req(const std::string& name) { return std::string("req/cloud/") + kSerial + "/" + name; }

// The version document for the seeded device facts.
std::string versionPayload(const std::string& powerOn, const std::string& expiry) {
  return "{\"model\":\"KRW-BLDA-PV37\",\"fw_version_lan\":\"01.00.00.09\",\"fw_version_lte\":\"LTE-7.1\","
         "\"login_password\":\"noChange\",\"power_on\":\"" +
         powerOn + "\",\"is_sim\":\"no\",\"tls_client_exp\":\"" + expiry + "\"}";
}

class OtaAgent : public ::testing::Test {
 protected:
  // Seeds the sandbox and the store (`ids` after the agent's own settings; the value "PORT"
  // stands for the broker's port), starts the broker
  // (unless `startBroker` is false), a client on "gw/#" and the agent.
  void bringUp(bool tls, const std::vector<std::pair<std::string, std::string>>& ids = {{"7101", "1"}},
               const std::vector<std::string>& env = {}, bool startBroker = true) {
    box_.reset(new hbntest::AgentSandbox(tls));
    hbntest::Sandbox& sb = box_->sandbox();
    sb.write("/etc/build.info", "");  // empty: the OTA default version
    sb.write("/var/lte0_ati.inf", "ATI\r\nManufacturer\r\nLTE-7.1\r\n");
    sb.mkdirs("/tmp");
    sb.mkdirs("/record");
    for (const char* command : {"reboot", "auxlink", "sysconf", "kv_lte_reset.sh"}) sb.fakeCommand(command);
    sb.installProgram("configtool");
    std::vector<std::pair<std::string, std::string>> all = {{"1410", kSerial},
                                                            {"1411", kService},
                                                            {"1421", "127.0.0.1"},
                                                            {"1422", std::to_string(broker().port())},
                                                            {"1423", tls ? "1" : "0"}};
    for (auto id : ids) {
      if (id.second == "PORT") id.second = std::to_string(broker().port());
      all.push_back(id);
    }
    ASSERT_EQ(box_->setIds(all), "");
    if (tls) {
      ASSERT_EQ(box_->installCertificates("/jffs2/mqtt/ota/"), "");
    }
    if (startBroker) {
      ASSERT_TRUE(broker().start());
      connectClient();
    }
    startedAt_ = hbntest::nowMs();
    ASSERT_TRUE(box_->startAgent("ota-agent", env));
  }
  // The test client, and (once, at the broker's first start) the contract recorder.
  void connectClient() {
    if (!contract_ && recordContract_) {
      contract_.reset(new hbntest::ContractRecorder(broker(), "ota-agent"));
      ASSERT_TRUE(contract_->ok());
    }
    client_.reset(new MqttClient(broker(), hbntest::uniqueName("otatest")));
    ASSERT_TRUE(client_->ok());
    ASSERT_TRUE(client_->subscribe("gw/#"));
  }
  void TearDown() override {
    // The agent never ends on its own, and a sanitizer build reports on standard error.
    if (box_ && box_->agent().pid() > 0) {
      EXPECT_EQ(box_->problem(), "");
    }
    if (contract_) {
      EXPECT_EQ(contract_->check(), "");
    }
    contract_.reset();
    client_.reset();
    box_.reset();
  }

  hbntest::Sandbox& sb() { return box_->sandbox(); }
  hbntest::Broker& broker() { return box_->broker(); }
  // The payload of the next message on `topic`; fails the test after the timeout.
  std::string next(const std::string& topic, int timeoutMs = 5000) {
    MqttClient::Message m;
    if (!client_->next(topic, &m, timeoutMs)) {
      ADD_FAILURE() << "nothing on " << topic << "\n" << box_->err();
      return "<none>";
    }
    return m.payload;
  }
  // True when the store file holds the line `line`.
  bool stored(const std::string& line) {
    return ("\n" + sb().read("/var/apmib/store.txt")).find("\n" + line + "\n") != std::string::npos;
  }
  void request(const std::string& name, const std::string& payload = "") {
    ASSERT_TRUE(client_->publish(req(name), payload));
  }
  // A message outside the contract, sent on purpose (full topic).
  void publishMalformed(const std::string& topic, const std::string& payload) {
    if (contract_) contract_->malformed(topic, payload);
    ASSERT_TRUE(client_->publish(topic, payload));
  }
  void requestMalformed(const std::string& name, const std::string& payload = "") {
    publishMalformed(req(name), payload);
  }
  bool logged(const std::string& text, size_t count = 1, int timeoutMs = 5000) {
    return box_->waitErr(text, count, timeoutMs);
  }

  std::unique_ptr<hbntest::AgentSandbox> box_;
  std::unique_ptr<MqttClient> client_;
  std::unique_ptr<hbntest::ContractRecorder> contract_;
  bool recordContract_ = true;
  double startedAt_ = 0;
};

TEST_F(OtaAgent, VersionAtConnectAndAgainADayLaterOnTheSameSession) {
  // A day passes in two seconds.
  bringUp(true, {{"7101", "1"}}, {"HBN_TIME_SCALE=43200"});
  struct tm notBefore, notAfter;
  ASSERT_EQ(getTlsTerm((broker().dir() + "/client.crt").c_str(), &notBefore, &notAfter), 0);
  char expiry[32];
  snprintf(expiry, sizeof expiry, "%04d-%02d-%02d", notAfter.tm_year + 1900, notAfter.tm_mon + 1,
           notAfter.tm_mday);
  const std::string expected = versionPayload("1970-01-01T00:00:00+09:00", expiry);

  MqttClient::Message first, second;
  ASSERT_TRUE(client_->next(gw("version"), &first, 8000)) << box_->err();
  EXPECT_EQ(first.payload, expected);
  ASSERT_TRUE(client_->next(gw("version"), &second, 6000)) << box_->err();
  EXPECT_EQ(second.payload, expected);
  // The day is counted from the agent's start, not from the connect.
  EXPECT_GE(second.at - startedAt_, 2000.0);
  EXPECT_LT(second.at - startedAt_, 4500.0);
  // One session throughout, with the OTA identity and TLS.
  EXPECT_EQ(hbntest::countOf(box_->err(), "OTA server connected:ssl://127.0.0.1:" +
                                              std::to_string(broker().port()) + "\n"),
            1u);
  EXPECT_EQ(broker().clientAddresses(std::string(kService) + ":" + kSerial + "-OTA").size(), 1u);
}

TEST_F(OtaAgent, VersionRequestCarriesThePowerOnTimeOnceTheClockIsSynchronised) {
  bringUp(false);
  EXPECT_EQ(next(gw("version")), versionPayload("1970-01-01T00:00:00+09:00", ""));
  sb().write("/var/tmp/timeStatus", "2\n");
  // The session thread notices the clock within one queue wait (5 s).
  std::string answer;
  for (int attempt = 0; attempt < 8; ++attempt) {
    request("version");
    answer = next(gw("version"));
    if (answer.find("1970-01-01") == std::string::npos) break;
    std::this_thread::sleep_for(std::chrono::seconds(1));
  }
  char year[16];
  time_t now = time(nullptr);
  struct tm parts;
  gmtime_r(&now, &parts);
  snprintf(year, sizeof year, "%04d-", parts.tm_year + 1900);
  EXPECT_NE(answer.find(std::string("\"power_on\":\"") + year), std::string::npos) << answer;
  EXPECT_TRUE(logged("MQTT Request(version info)\n"));
}

// Each identity is the first line of its file, cut at 255 characters: a long line, a line of
// 10,001 bytes and a file of a megabyte are answered with their first 255 characters.
TEST_F(OtaAgent, LteInfoReportsTheIdentityFilesCutAt255Characters) {
  bringUp(false);
  ASSERT_NE(next(gw("version")), "<none>");
  struct Case {
    const char* imei;  // null: no file
    std::string serial;
    std::string expected;
  };
  const std::string cut(255, '9');
  const Case cases[] = {
      {"356938035643809\n", "SNO-77\r\n", "{\"imei\":\"356938035643809\",\"sno\":\"SNO-77\"}"},
      {nullptr, "SNO-77\n", "{\"imei\":\"\",\"sno\":\"SNO-77\"}"},
      {"35\"69\n", "", "{\"imei\":\"35\\\"69\",\"sno\":\"\"}"},
      {"356938035643809\n", std::string(300, '9') + "\nsecond\n",
       "{\"imei\":\"356938035643809\",\"sno\":\"" + cut + "\"}"},
      {"1\n", std::string(10001, '9') + "\n", "{\"imei\":\"1\",\"sno\":\"" + cut + "\"}"},
      {"1\n", std::string(1 << 20, '9'), "{\"imei\":\"1\",\"sno\":\"" + cut + "\"}"},
  };
  for (const Case& c : cases) {
    if (c.imei != nullptr)
      sb().write("/var/lte_imei.inf", c.imei);
    else
      unlink(sb().path("/var/lte_imei.inf").c_str());
    sb().write("/var/lte_sno.inf", c.serial);
    request("lteinfo", "{\"no\":1}");
    EXPECT_EQ(next(gw("lteinfo")), c.expected);
  }
  EXPECT_TRUE(logged("CORE recv LTE info\n", 6));
  EXPECT_FALSE(logged("CLOUD buffer is small\n", 1, 0)) << box_->err();
}

TEST_F(OtaAgent, UpdateRequestsHandTheUrlsToTheUpdater) {
  bringUp(false);
  ASSERT_NE(next(gw("version")), "<none>");
  struct Case {
    const char* name;
    const char* log;
    std::string conf;
  };
  const Case cases[] = {
      {"update/fw", "CORE recv F/W update\n", "http://u/fw.bin\nhttp://u/fw.md5\n"},
      {"fwupdate", "CORE recv F/W update\n", "http://u/fw.bin\nhttp://u/fw.md5\n"},
      {"update/tls", "CORE recv CERT update\n", "http://u/fw.bin\nhttp://u/fw.md5\ncert\n"},
  };
  size_t firmware = 0;
  for (const Case& c : cases) {
    unlink(sb().path("/var/kv_cloudfwd.run").c_str());
    request(c.name, "{\"download_url\":\"http://u/fw.bin\",\"checksum_url\":\"http://u/fw.md5\"}");
    if (std::string(c.log).find("F/W") != std::string::npos) ++firmware;
    ASSERT_TRUE(hbntest::waitUntil([&] { return sb().exists("/var/kv_cloudfwd.run"); }, 5000)) << c.name;
    EXPECT_EQ(sb().read("/var/kv_cloudfwd.conf"), c.conf) << c.name;
  }
  EXPECT_TRUE(logged("CORE recv F/W update\n", firmware));
  EXPECT_TRUE(logged("/HBN_cloud_commMqttRecvTlsUpdate[", 1));
  EXPECT_TRUE(logged("MQTT Request(cert update):urlt=[http://u/fw.md5]\n"));

  // A request without its checksum URL hands nothing over.
  unlink(sb().path("/var/kv_cloudfwd.run").c_str());
  requestMalformed("update/fw", "{\"download_url\":\"http://u/x\"}");
  EXPECT_TRUE(logged("MQTT json parse(checksum_url) fail\n"));
  EXPECT_FALSE(sb().exists("/var/kv_cloudfwd.run"));
}

TEST_F(OtaAgent, ControlKindsRunTheirCommandsAndUploads) {
  bringUp(false);
  ASSERT_NE(next(gw("version")), "<none>");
  struct Case {
    const char* kind;
    const char* command;  // fake that records it, null for none
    const char* recorded;
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
  };
  for (const Case& c : cases) {
    request("control", std::string("{\"reboot\":\"") + c.kind + "\"}");
    ASSERT_TRUE(logged(std::string("MQTT Request(reboot):kind=[") + c.kind + "]\n")) << c.kind;
    if (c.command != nullptr) {
      EXPECT_TRUE(hbntest::waitUntil([&] { return sb().recorded(c.command) == c.recorded; }, 5000))
          << c.kind << ": " << sb().recorded(c.command);
    }
  }
  // "reboot" wins over "upload"; unknown kinds and missing members are logged.
  requestMalformed("control", "{\"upload\":\"config-info\",\"reboot\":\"bogus\"}");
  EXPECT_TRUE(logged("MQTT Request(param unknown):kind=[bogus]\n"));
  requestMalformed("control", "{\"upload\":\"nothing\"}");
  EXPECT_TRUE(logged("MQTT Request(param unknown):kind=[nothing]\n"));
  requestMalformed("control", "{\"other\":1}");
  EXPECT_TRUE(logged("MQTT json parse(reboot or upload) fail\n"));
  EXPECT_EQ(hbntest::countOf(box_->err(), "param unknown"), 2u);
  EXPECT_EQ(sb().recorded("reboot"), "\n");

  // The three dumps in order, each what configtool writes for the store, files removed after.
  request("control", "{\"upload\":\"config\"}");
  // The dumps run configtool (and the report its shell commands): slow under an emulator.
  std::string info = next(gw("config/info"), 20000);
  std::string server = next(gw("config/server"), 20000);
  std::string user = next(gw("config/user"), 20000);
  hbntest::Result dump =
      hbntest::run({"configtool", "dumpJsonCfg", sb().path("/tmp/mine.json")}, {"HBN_ROOT=" + sb().root()});
  ASSERT_EQ(dump.status, 0);
  EXPECT_EQ(user, sb().read("/tmp/mine.json"));
  EXPECT_NE(server.find("setting_server"), std::string::npos) << server;
  EXPECT_FALSE(info.empty());
  for (const char* file : {"/tmp/dumpInfoOTA.txt", "/tmp/dumpSvrOTA.json", "/tmp/dumpCfgOTA.json"})
    EXPECT_FALSE(sb().exists(file)) << file;
  request("control", "{\"upload\":\"config-server\"}");
  EXPECT_EQ(next(gw("config/server")), server);

  // An MQTT reset drops the session; it comes back and reports its version again.
  request("control", "{\"reboot\":\"mqtt_reset\"}");
  EXPECT_NE(next(gw("version"), 8000), "<none>");
  EXPECT_TRUE(logged("OTA server connected:", 2));
}

TEST_F(OtaAgent, ConfigurationLoadsReplyWithTheErrorDocumentOrTakeEffect) {
  bringUp(false);
  ASSERT_NE(next(gw("version")), "<none>");
  const std::string bad = "{\"other\":1}";
  const std::string error = "{\"setting_error\":{\"setting\":\"キーがありません\"}}\n";

  requestMalformed("config/reboot", bad);
  EXPECT_EQ(next(gw("config/reboot/err")), error);
  EXPECT_FALSE(sb().exists("/tmp/tmpErr.json"));
  EXPECT_EQ(sb().read("/tmp/tmpCfg.json"), bad);

  request("config/noreboot", "{\"setting\":{\"vpn\":{\"vpn_func\":\"enabled\"}}}");
  ASSERT_TRUE(hbntest::waitUntil([&] { return stored("7256=1"); }, 5000));
  request("config/reboot", "{\"setting\":{\"NTP_address\":\"ntp.example\"}}");
  ASSERT_TRUE(hbntest::waitUntil([&] { return sb().recorded("reboot") == "\n"; }, 5000));
  EXPECT_TRUE(stored("155=ntp.example"));
  // Only the refused load answered, and only the done "config/reboot" rebooted.
  request("version");
  EXPECT_NE(next(gw("version")), "<none>");
  EXPECT_EQ(sb().recorded("reboot"), "\n");
  EXPECT_EQ(hbntest::countOf(box_->err(), "DUMP-topic="), 4u);

  // Not JSON: nothing runs.
  requestMalformed("config/noreboot", "{not json");
  EXPECT_TRUE(logged("MQTT json parse fail\n"));
}

TEST_F(OtaAgent, WithEveryCloudDisabledEveryRequestIsIgnored) {
  bringUp(false, {{"7101", "0"}, {"7115", "0"}, {"7129", "0"}});
  ASSERT_NE(next(gw("version")), "<none>");
  request("version");
  request("lteinfo");
  request("control", "{\"reboot\":\"all\"}");
  request("update/fw", "{\"download_url\":\"a\",\"checksum_url\":\"b\"}");
  request("netinfo", "{\"ifname\":\"lo\"}");
  requestMalformed("nonsense");
  // The broker has passed all of them on once the client's own marker comes back.
  publishMalformed(gw("marker"), "m");
  EXPECT_EQ(next(gw("marker")), "m");
  MqttClient::Message m;
  EXPECT_FALSE(client_->next(gw("version"), &m, 700));
  EXPECT_EQ(box_->err().find("DUMP-topic"), std::string::npos);
  EXPECT_EQ(box_->err().find("MQTT topic unknown"), std::string::npos);
  EXPECT_EQ(sb().recorded("reboot"), "");
  EXPECT_FALSE(sb().exists("/var/kv_cloudfwd.conf"));
}

TEST_F(OtaAgent, NetInfoAndUnknownRequests) {
  bringUp(false);
  ASSERT_NE(next(gw("version")), "<none>");
  request("netinfo", "{\"ifname\":\"lo\"}");
  EXPECT_EQ(next(gw("netinfo")), "{\"ifname\":\"lo\",\"mac\":\"000000000000\",\"ipv4\":\"127.0.0.1\"}");
  requestMalformed("netinfo", "{}");
  EXPECT_TRUE(logged("MQTT json parse(ifname) fail\n"));
  // The router's own requests are not the OTA agent's.
  for (const char* name : {"connected", "script", "keepalive"}) requestMalformed(name, "{\"no\":1}");
  EXPECT_TRUE(logged("MQTT topic unknown\n", 3));
  publishMalformed("req/x/" + std::string(kSerial), "{}");
  publishMalformed("req/x/" + std::string(kSerial) + "/", "{}");
  EXPECT_TRUE(logged("MQTT topic length under\n", 2));
}

TEST_F(OtaAgent, ConnectsToABrokerThatStartsLateAndReconnectsAfterARestart) {
  bringUp(false, {{"7101", "1"}}, {}, false);
  ASSERT_TRUE(logged("MQTT thread run\n"));
  ASSERT_TRUE(logged("MQTT connect fail\n", 2, 8000)) << box_->err();
  ASSERT_TRUE(broker().start());
  ASSERT_TRUE(logged("OTA server connected:", 1, 8000)) << box_->err();
  connectClient();
  request("version");
  EXPECT_NE(next(gw("version")), "<none>");

  client_.reset();
  // Counted in the broker's log: the agent may be back before a test client could subscribe.
  auto versions = [&] {
    const auto topics = broker().receivedTopics();
    return std::count(topics.begin(), topics.end(), gw("version"));
  };
  const auto before = versions();
  broker().stop();
  ASSERT_TRUE(logged("OTA server disconnected:tcp://127.0.0.1:" + std::to_string(broker().port()) + "\n"));
  ASSERT_TRUE(broker().start());
  // The reconnect publishes "version" by itself.
  EXPECT_TRUE(logged("OTA server connected:", 2, 10000)) << box_->err();
  EXPECT_TRUE(hbntest::waitUntil([&] { return versions() > before; }, 5000)) << box_->err();
}

// The router agent and the OTA agent share the configuration work files under "/tmp". Loads
// ordered through both clouds at once run one after the other: each configtool run sees its
// own document and each agent gets its own answer. configtool is slowed down so that
// overlapping runs would show.
TEST_F(OtaAgent, LoadsThroughTheRouterAndTheOtaServerAtOnceStayWhole) {
  constexpr const char* kRouterSerial = "RTR0042";
  // Two agents with two contracts on one broker: each agent's own tests check its contract.
  recordContract_ = false;
  bringUp(
      false,
      {{"7129", "1"}, {"7130", kRouterSerial}, {"7131", kService}, {"7132", "127.0.0.1"}, {"7133", "PORT"}});
  sb().write("/bin/configtool",
             "#!/bin/sh\n"
             "log='" +
                 sb().path("/record/configtool") +
                 "'\n"
                 "echo \"start $1 $(cat \"$2\" 2>/dev/null)\" >> \"$log\"\n"
                 "sleep 0.4\n" +
                 hbntest::programCommandLine("configtool") +
                 " \"$@\"; rc=$?\n"
                 "echo \"end $1\" >> \"$log\"\n"
                 "exit $rc\n",
             0755);
  sb().write("/proc/kv_pushsw", "R00000000\n");
  hbntest::Process router;
  ASSERT_TRUE(router.start({"router-cloud-agent"}, sb().path("/router.out"), sb().path("/router.err"),
                           {"HBN_ROOT=" + sb().root()}));
  ASSERT_NE(next(gw("version")), "<none>");
  ASSERT_TRUE(hbntest::waitUntil(
      [&] {
        return hbntest::countOf(hbntest::readFile(sb().path("/router.err")), "MQTT connect success") >= 1;
      },
      8000))
      << hbntest::readFile(sb().path("/router.err"));

  const std::string good = "{\"setting\":{\"vpn\":{\"vpn_func\":\"enabled\"}}}";
  const std::string bad = "{\"other\":1}";
  const std::string routerReq = std::string("req/cloud/") + kRouterSerial + "/config/noreboot";
  const std::string routerGw = std::string("gw/") + kService + "/" + kRouterSerial + "/config/noreboot/err";
  ASSERT_TRUE(client_->publish(routerReq, good));
  request("config/noreboot", bad);

  EXPECT_EQ(next(gw("config/noreboot/err"), 8000),
            "{\"setting_error\":{\"setting\":\"キーがありません\"}}\n");
  ASSERT_TRUE(
      hbntest::waitUntil([&] { return hbntest::countOf(sb().recorded("configtool"), "end ") == 2; }, 8000))
      << sb().recorded("configtool");
  const std::string runs = sb().recorded("configtool");
  // start, end, start, end: never two at once, and each run read one whole document.
  std::vector<std::string> lines;
  for (size_t at = 0, end; (end = runs.find('\n', at)) != std::string::npos; at = end + 1)
    lines.push_back(runs.substr(at, end - at));
  ASSERT_EQ(lines.size(), 4u) << runs;
  EXPECT_EQ(lines[1], "end loadJsonCfg");
  EXPECT_EQ(lines[3], "end loadJsonCfg");
  std::vector<std::string> seen = {lines[0], lines[2]};
  std::sort(seen.begin(), seen.end());
  EXPECT_EQ(seen, (std::vector<std::string>{"start loadJsonCfg " + bad, "start loadJsonCfg " + good}));
  EXPECT_TRUE(stored("7256=1"));
  // The router's good document got no error reply.
  for (const std::string& topic : broker().receivedTopics()) EXPECT_NE(topic, routerGw);
  EXPECT_TRUE(router.running());
  router.kill();
}

}  // namespace
