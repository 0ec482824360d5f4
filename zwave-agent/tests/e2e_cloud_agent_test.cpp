// The built zwave-cloud-agent between a real Mosquitto broker and the Z/IP gateway simulator:
// requests travel from the broker through the core to the gateway pipe and the answers come
// back as published messages without delay; bad requests are dropped with their log line;
// keep-alive messages follow their interval; the session survives a broker restart and waits
// for a broker that starts late. Everything on the broker is checked against the agent's MQTT
// contract (docs/mqtt/zwave-agent.yaml) at the end of each test.
#include <gtest/gtest.h>
#include <dirent.h>
#include <json-c/json.h>
#include <mqueue.h>

#include <algorithm>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "e2e_cloud_agent_fixture.h"
#include "hbn_contract.h"
#include "hbn_mqtt_client.h"
#include "reconnect_policy.h"

namespace {

using e2e::AgentWorld;

class CloudAgent : public ::testing::Test {
 protected:
  // Seeds the sandbox (`ids`: further apmib values set before the start), starts broker,
  // subscriber, gateway and agent, and waits for the agent's "connected" message.
  void bringUp(bool tls, std::vector<std::string> gatewayArgs = {},
               const std::vector<std::pair<std::string, std::string>>& ids = {}) {
    world_.reset(new AgentWorld(tls, std::move(gatewayArgs)));
    queueName_ = hbntest::uniqueName("/e2e_cloud");
    setenv("HBN_SCRIPT_QUEUE", queueName_.c_str(), 1);
    ASSERT_EQ(world_->seed(ids), "");
    ASSERT_TRUE(world_->broker().start());
    record();
    sub_.reset(new hbntest::Subscriber(world_->broker(), "#"));
    ASSERT_TRUE(world_->startGateway());
    ASSERT_TRUE(world_->startAgent());
    ASSERT_NE(sub_->waitForTopic(AgentWorld::gw("connected"), 8000), "") << world_->err();
  }
  // Records the broker's traffic for the contract check (the broker runs).
  void record() {
    contract_.reset(new hbntest::ContractRecorder(world_->broker(), "zwave-agent"));
    ASSERT_TRUE(contract_->ok());
  }
  void TearDown() override {
    // The agent never exits on its own, and a sanitizer build reports its findings on stderr.
    if (world_ && world_->agent().pid() > 0) {
      EXPECT_TRUE(world_->agent().running());
      std::string err = world_->err();
      for (const char* finding : {"Sanitizer", "runtime error:"})
        EXPECT_EQ(err.find(finding), std::string::npos) << err.substr(err.find(finding), 3000);
    }
    if (contract_) {
      EXPECT_EQ(contract_->check(), "");
    }
    contract_.reset();
    sub_.reset();
    world_.reset();
    unsetenv("HBN_SCRIPT_QUEUE");
    unsetenv("HBN_TIME_SCALE");
  }

  // Index of the first received line equal to "topic payload" at or after `from`, or -1.
  int lineIndex(const std::string& topic, const std::string& payload, size_t from = 0) const {
    auto lines = sub_->lines();
    for (size_t i = from; i < lines.size(); ++i)
      if (lines[i] == topic + " " + payload) return static_cast<int>(i);
    return -1;
  }
  // Payload of the first message on `topic` that arrives after `before` lines, or "".
  std::string nextOn(const std::string& topic, size_t before, int timeoutMs = 5000) const {
    std::string found;
    e2e::waitUntil(
        [&] {
          auto lines = sub_->lines();
          for (size_t i = before; i < lines.size(); ++i)
            if (lines[i].compare(0, topic.size() + 1, topic + " ") == 0) {
              found = lines[i].substr(topic.size() + 1);
              return true;
            }
          return false;
        },
        timeoutMs);
    return found;
  }
  // Hex of the gateway commands (node ID byte, then the Z-Wave command) after the first `from`.
  std::vector<std::string> commandsFrom(size_t from) const {
    std::vector<std::string> out;
    auto all = world_->gateway().commands();
    for (size_t i = from; i < all.size(); ++i) out.push_back(zipgwsim::toHex(all[i]));
    return out;
  }
  bool waitCommand(const std::string& hexPrefix, size_t from, int timeoutMs = 3000) const {
    return e2e::waitUntil(
        [&] {
          for (const auto& c : commandsFrom(from))
            if (c.compare(0, hexPrefix.size(), hexPrefix) == 0) return true;
          return false;
        },
        timeoutMs);
  }
  bool publish(const std::string& suffix, const std::string& payload) {
    return world_->broker().publish(AgentWorld::req(suffix), payload);
  }
  // A request outside the contract, sent on purpose.
  bool publishMalformed(const std::string& suffix, const std::string& payload) {
    contract_->malformed(AgentWorld::req(suffix), payload);
    return publish(suffix, payload);
  }

  std::unique_ptr<AgentWorld> world_;
  std::unique_ptr<hbntest::ContractRecorder> contract_;
  std::unique_ptr<hbntest::Subscriber> sub_;
  std::string queueName_;
};

// The road of an inclusion: request, inclusion start on the pipe, acknowledged mode answer,
// a node joins, node-add and the return to mode 0, in this order; the node list then has it.
TEST_F(CloudAgent, InclusionRequestReachesGatewayAndJoinIsReported) {
  bringUp(false);
  EXPECT_NE(sub_->waitForTopic(AgentWorld::gw("connected")).find("\"node_ids\":[1000]"), std::string::npos);
  const std::string seeded = "HNVM" + std::string(7488, '\0');
  EXPECT_EQ(world_->sandbox().read("/jffs2/hbn/setting.bin"), seeded);
  ASSERT_TRUE(world_->gateway().command("join 5"));
  size_t before = world_->gateway().commands().size();
  ASSERT_TRUE(publish("mode", "{\"mode\":1}"));

  // Inclusion start (network management add, any node mode) towards the gateway itself.
  EXPECT_TRUE(waitCommand("013401", before)) << ::testing::PrintToString(commandsFrom(before));
  ASSERT_TRUE(sub_->waitFor(AgentWorld::gw("mode"), "{\"status\":0,\"mode\":1}"));
  std::string added = nextOn(AgentWorld::gw("node/add"), 0);
  EXPECT_EQ(added.rfind("{\"status\":0,\"node_id\":5,\"endpoint\":0,", 0), 0u) << added;
  EXPECT_NE(added.find("\"pairing_status\":"), std::string::npos) << added;
  ASSERT_TRUE(sub_->waitFor(AgentWorld::gw("mode"), "{\"status\":0,\"mode\":0}"));
  // The node's secure command class went to the settings store, written through to its file.
  EXPECT_TRUE(
      e2e::waitUntil([&] { return world_->sandbox().read("/jffs2/hbn/setting.bin") != seeded; }, 2000));
  EXPECT_EQ(world_->sandbox().read("/jffs2/hbn/setting.bin").size(), seeded.size());

  int modeOn = lineIndex(AgentWorld::gw("mode"), "{\"status\":0,\"mode\":1}");
  int add = lineIndex(AgentWorld::gw("node/add"), added);
  int modeOff = lineIndex(AgentWorld::gw("mode"), "{\"status\":0,\"mode\":0}");
  EXPECT_LT(modeOn, add);
  EXPECT_LT(add, modeOff);
  // The platform heard inclusion and then idle again.
  EXPECT_TRUE(world_->waitOut("KV_TX440:HBNKV_stateChangeNotice:state=inclusion\n"));
  EXPECT_TRUE(world_->waitOut("KV_TX440:HBNKV_stateChangeNotice:state=idle\n", 2));

  size_t mark = sub_->lines().size();
  ASSERT_TRUE(publish("node_list", ""));
  EXPECT_EQ(nextOn(AgentWorld::gw("node_list"), mark), "{\"node_ids\":[5,1000]}");
}

// The keep-alive timer runs from the configured interval: 10 s, scaled down twentyfold, gives
// an empty keep-alive message about every half second while the request path keeps working.
TEST_F(CloudAgent, KeepAliveMessagesFollowTheConfiguredInterval) {
  setenv("HBN_TIME_SCALE", "20", 1);
  bringUp(false, {}, {{"1418", "1"}, {"1419", "10"}});
  const std::string topic = AgentWorld::gw("keepalive");
  auto keepAlives = [&] {
    size_t n = 0;
    for (const auto& l : sub_->lines()) n += l == topic || l == topic + " (null)" || l == topic + " ";
    return n;
  };
  // About three periods: neither silent nor a flood.
  size_t before = keepAlives();
  std::this_thread::sleep_for(std::chrono::milliseconds(1600));
  size_t seen = keepAlives() - before;
  EXPECT_GE(seen, 2u);
  EXPECT_LE(seen, 6u);
  size_t mark = sub_->lines().size();
  ASSERT_TRUE(publish("status", ""));
  EXPECT_EQ(nextOn(AgentWorld::gw("status"), mark), "{\"home_id\":3237998081,\"mode\":0}");
}

// At least one request per target: the core (a frame on the pipe), the adaptation layer, the
// four immediate answers, and core requests whose result comes back as a message.
TEST_F(CloudAgent, EveryRequestKindReachesItsTarget) {
  bringUp(false, {"--nodes", "2,3"});

  // The gateway answers a mode stop with its "failed" report, which ends the mode.
  ASSERT_TRUE(world_->gateway().command("stopreport on"));
  struct CoreCase {
    const char* suffix;
    const char* payload;
    const char* command;  // hex prefix of the gateway command: node ID, class, command
    std::string answerTopic;
    const char* answer;  // start of the answer's payload; null: no answer to check
  };
  const CoreCase coreCases[] = {
      // A Z-Wave command passes unchanged to its node.
      {"node/2/send", "\x20\x01\x63", "02200163", "", nullptr},
      {"mode", "{\"mode\":1}", "013401", AgentWorld::gw("mode"), "{\"status\":0,\"mode\":1}"},
      {"mode", "{\"mode\":0}", "013401", AgentWorld::gw("mode"), "{\"status\":0,\"mode\":0}"},
      {"mode", "{\"mode\":2}", "013403", AgentWorld::gw("mode"), "{\"status\":0,\"mode\":2}"},
      {"mode", "{\"mode\":0}", "013403", AgentWorld::gw("mode"), "{\"status\":0,\"mode\":0}"},
      {"node/3/update", "{\"pairing_status\":0}", "014D0C", AgentWorld::gw("node/update"),
       "{\"status\":0,\"node_id\":3,\"endpoint\":0,"},
      {"gwkey_ex", "", "014DA8", AgentWorld::sp("gwkey_ex"), "{\"gwkey\":\""},
      {"smartstart/set",
       "{\"add\":[{\"dsk\":\"00001-00002-00003-00004-00005-00006-00007-00008\"}],\"remove\":[]}", "017801",
       "", nullptr},
      {"smartstart/get", "", "017803", AgentWorld::gw("smartstart/list"),
       "{\"list\":[{\"dsk\":\"00001-00002-00003-00004-00005-00006-00007-00008\","},
  };
  for (const auto& c : coreCases) {
    SCOPED_TRACE(c.suffix + std::string(" ") + c.payload);
    size_t before = world_->gateway().commands().size();
    size_t mark = sub_->lines().size();
    ASSERT_TRUE(publish(c.suffix, c.payload));
    EXPECT_TRUE(waitCommand(c.command, before)) << ::testing::PrintToString(commandsFrom(before));
    if (c.answer != nullptr) {
      std::string answer = nextOn(c.answerTopic, mark);
      EXPECT_EQ(answer.rfind(c.answer, 0), 0u) << answer;
    }
  }

  // Immediate answers, built on the request's arrival.
  size_t mark = sub_->lines().size();
  for (const char* suffix : {"node_list", "status", "version"}) ASSERT_TRUE(publish(suffix, ""));
  ASSERT_TRUE(publish("netinfo", "{\"ifname\":\"lo\"}"));
  EXPECT_EQ(nextOn(AgentWorld::gw("node_list"), mark), "{\"node_ids\":[2,3,1000]}");
  EXPECT_EQ(nextOn(AgentWorld::gw("status"), mark), "{\"home_id\":3237998081,\"mode\":0}");
  EXPECT_EQ(nextOn(AgentWorld::gw("version"), mark),
            "{\"model\":\"QM7T4PX118\",\"version\":\"02.03.04.05\",\"root_no\":0,\"hbn_ver\":\"01.00.03.01\","
            "\"zip_ver\":\"7.13.01\"}");
  EXPECT_EQ(nextOn(AgentWorld::sp("netinfo"), mark),
            "{\"ifname\":\"lo\",\"mac\":\"000000000000\",\"ipv4\":\"127.0.0.1\"}");

  // Adaptation layer: the virtual node, an unsupported mode, the firmware hand-off, a script.
  mark = sub_->lines().size();
  ASSERT_TRUE(publish("node/1000/update", "{\"pairing_status\":0}"));
  std::string virtualNode = nextOn(AgentWorld::gw("node/update"), mark);
  EXPECT_NE(virtualNode.find("\"node_id\":1000"), std::string::npos) << virtualNode;
  EXPECT_NE(virtualNode.find("\"manufacturer_id\":267,\"product_type\":241,\"product_id\":1"),
            std::string::npos)
      << virtualNode;
  size_t frames = world_->gateway().commands().size();
  ASSERT_TRUE(publish("mode", "{\"mode\":10,\"button_id\":4}"));
  EXPECT_TRUE(
      sub_->waitFor(AgentWorld::gw("mode"), "{\"status\":1,\"mode\":10,\"message\":\"Not Supported\"}"));
  EXPECT_EQ(world_->gateway().commands().size(), frames);

  ASSERT_TRUE(
      publish("fwupdate", "{\"download_url\":\"http://h/fw.bin\",\"checksum_url\":\"http://h/fw.md5\"}"));
  EXPECT_TRUE(e2e::waitUntil([&] { return world_->sandbox().exists("/var/kv_cloudfwd.run"); }, 3000));
  EXPECT_EQ(world_->sandbox().read("/var/kv_cloudfwd.conf"), "http://h/fw.bin\nhttp://h/fw.md5\n");

  // The push switch reads "released" in every cycle, so the queue also carries its "1,0"
  // messages; the cloud's script request is the one of kind 2.
  mq_attr attr{};
  attr.mq_maxmsg = 10;
  attr.mq_msgsize = 64;
  mqd_t q = mq_open(queueName_.c_str(), O_CREAT | O_RDONLY | O_NONBLOCK, 0600, &attr);
  ASSERT_NE(q, static_cast<mqd_t>(-1));
  ASSERT_TRUE(publish("script", "{\"no\":3}"));
  bool seen = e2e::waitUntil(
      [&] {
        char buf[64];
        ssize_t n;
        while ((n = mq_receive(q, buf, sizeof buf, nullptr)) >= 0)
          if (std::string(buf, static_cast<size_t>(n)) == "2,3") return true;
        return false;
      },
      3000);
  mq_close(q);
  mq_unlink(queueName_.c_str());
  EXPECT_TRUE(seen);

  // Download worker: the restore file is fetched with wget (a recording fake that writes it).
  world_->sandbox().fakeCommand("wget", "printf 'saved' > \"$3\"");
  ASSERT_TRUE(publish("restore", "{\"subject\":\"zwave\",\"restore_url\":\"http://h/zw.bin\"}"));
  EXPECT_TRUE(e2e::waitUntil(
      [&] { return world_->sandbox().recorded("wget").find(" http://h/zw.bin") != std::string::npos; },
      3000));

  // A Z-Wave reset, last because it clears the network; the node list is empty afterwards.
  mark = sub_->lines().size();
  size_t before = world_->gateway().commands().size();
  ASSERT_TRUE(publish("reset", "{\"subject\":\"zwave\"}"));
  EXPECT_TRUE(waitCommand("014D06", before)) << ::testing::PrintToString(commandsFrom(before));
  EXPECT_EQ(nextOn(AgentWorld::gw("reset"), mark), "{\"status\":0,\"subject\":\"zwave\"}");
  mark = sub_->lines().size();
  ASSERT_TRUE(publish("node_list", ""));
  EXPECT_EQ(nextOn(AgentWorld::gw("node_list"), mark), "{\"node_ids\":[1000]}");
  EXPECT_TRUE(world_->agent().running());
}

// Each malformed request is dropped with its warning, sends nothing to the gateway and
// publishes nothing; afterwards the agent still answers.
TEST_F(CloudAgent, BadRequestsAreDroppedWithTheirLogLine) {
  bringUp(false, {"--nodes", "2"});
  const std::string tooLong = "{\"mode\":1,\"pad\":\"" + std::string(5000, 'x') + "\"}";
  struct Case {
    std::string suffix;
    std::string payload;
    std::string line;  // the warning, as it ends the log line
  };
  const Case cases[] = {
      {"mode", "mode one", "MQTT json parse fail\n"},
      {"mode", "[1]", "MQTT json parse fail\n"},
      {"mode", "{\"mod\":1}", "MQTT json parse(mode) fail\n"},
      {"mode", "{\"mode\":\"1\"}", "MQTT json parse(mode) fail\n"},
      {"mode", "{\"mode\":3}", "MQTT json parse(node_id) fail\n"},
      {"mode", tooLong, "MQTT payload too long(" + std::to_string(tooLong.size()) + ")\n"},
      {"node/2/update", "{\"pairing_status\":[0]}", "MQTT json parse(pairing_status) fail\n"},
      {"node/2/nop_interval", "{}", "MQTT json parse(seconds) fail\n"},
      {"node/2/key", "{\"kind\":\"S9\"}", "MQTT json kind is unknown\n"},
      {"node/2/key", "{\"kind\":\"S2_ACCESS\",\"key\":\"12a\"}", "MQTT json kind is unknown\n"},
      {"node/2x/send", "\x20\x01", "MQTT topic node ID fail\n"},
      {"node/12345678901/send", "\x20\x01", "MQTT topic node ID fail\n"},
      {"node/2", "", "MQTT topic parse fail\n"},
      {"node/2/bogus", "", "MQTT topic unknown\n"},
      {"reset", "{\"subject\":\"everything\"}", "MQTT json subject is unknown\n"},
      {"fwupdate", "{\"download_url\":\"http://h/f\"}", "MQTT json parse(checksum_url) fail\n"},
      {"smartstart/set", "{\"add\":[{\"dsk\":\"1-2\"}],\"remove\":[]}", "MQTT json parse(dsk) invalid\n"},
      {"script", "{\"no\":\"3\"}", "MQTT json parse(script no) fail\n"},
      {"bogus", "{}", "MQTT topic unknown\n"},
  };
  size_t frames = world_->gateway().commands().size();
  size_t published = world_->broker().receivedTopics().size();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.suffix + " " + c.payload.substr(0, 40));
    // Warning level, so the line is "HBN-W/..." and ends with the message.
    std::string tail = ":" + c.line;
    size_t had = e2e::countOf(world_->err(), tail);
    ASSERT_TRUE(publishMalformed(c.suffix, c.payload));
    EXPECT_TRUE(world_->waitErr(tail, had + 1, 3000));
    std::string err = world_->err();
    size_t at = err.rfind(tail);
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(err.compare(err.rfind('\n', at) + 1, 6, "HBN-W/"), 0);
  }
  // A topic that is just the request prefix.
  ASSERT_TRUE(publishMalformed("", "{}"));
  EXPECT_TRUE(world_->waitErr(":MQTT topic length under\n"));

  EXPECT_EQ(world_->gateway().commands().size(), frames);
  // Only the test's own requests reached the broker; the agent published nothing for them.
  auto topics = world_->broker().receivedTopics();
  for (size_t i = published; i < topics.size(); ++i) EXPECT_EQ(topics[i].rfind("req/", 0), 0u) << topics[i];

  size_t mark = sub_->lines().size();
  ASSERT_TRUE(publish("status", ""));
  EXPECT_EQ(nextOn(AgentWorld::gw("status"), mark), "{\"home_id\":3237998081,\"mode\":0}");
  ASSERT_TRUE(publish("mode", "{\"mode\":1}"));
  EXPECT_TRUE(sub_->waitFor(AgentWorld::gw("mode"), "{\"status\":0,\"mode\":1}"));
  EXPECT_TRUE(world_->agent().running());
}

// Reports that arrive while the broker is away wait in the cloud queue and are published in
// their order once the session is back, ahead of the new "connected"; requests work again.
TEST_F(CloudAgent, BrokerRestartPublishesWaitingMessagesInOrder) {
  bringUp(false, {"--nodes", "2,3,4"});
  world_->broker().stop();
  ASSERT_TRUE(world_->waitErr(":MQTT connection lost\n"));
  EXPECT_TRUE(world_->waitOut("KV_TX440:HBNKV_cloudConnectNotice:state=F\n"));

  size_t acks = world_->gateway().received().size();
  for (const char* report : {"report 3 200301", "report 2 200302", "report 4 200303"})
    ASSERT_TRUE(world_->gateway().command(report));
  // The core took all three (it acknowledges each report) while the session is down...
  ASSERT_TRUE(world_->gateway().waitReceived(acks + 3));
  // ...and the link kept trying: at least one refused attempt after the loss.
  EXPECT_TRUE(world_->waitErr(":MQTT connect fail\n", 1, 4000));
  EXPECT_TRUE(world_->agent().running());

  ASSERT_TRUE(world_->broker().start());
  auto agentTopics = [&] {
    std::vector<std::string> mine;
    for (const auto& t : world_->broker().receivedTopics())
      if (t.rfind("gw/", 0) == 0) mine.push_back(t);
    return mine;
  };
  ASSERT_TRUE(e2e::waitUntil([&] { return agentTopics().size() >= 5; }, 6000)) << world_->err();
  const std::vector<std::string> expected = {AgentWorld::gw("connected"), AgentWorld::gw("node/3/recv"),
                                             AgentWorld::gw("node/2/recv"), AgentWorld::gw("node/4/recv"),
                                             AgentWorld::gw("connected")};
  EXPECT_EQ(agentTopics(), expected);
  EXPECT_TRUE(world_->waitOut("KV_TX440:HBNKV_cloudConnectNotice:state=T\n", 2));

  // Subscribed again: a request is answered.
  ASSERT_TRUE(publish("status", ""));
  EXPECT_TRUE(e2e::waitUntil(
      [&] {
        auto t = agentTopics();
        return std::find(t.begin(), t.end(), AgentWorld::gw("status")) != t.end();
      },
      5000));
  EXPECT_TRUE(world_->agent().running());
}

// A broker away for five times the longest back-off (150 s at this scale): the agent's waits
// between attempts have grown to their cap, and once the broker is back it connects within that
// cap (plus the TLS-free connect and one look at the result), announces and serves again.
TEST_F(CloudAgent, ReconnectsWithinTheBackOffCapAfterALongOutage) {
  constexpr long kScale = 50;
  setenv("HBN_TIME_SCALE", std::to_string(kScale).c_str(), 1);
  bringUp(false);
  world_->broker().stop();
  ASSERT_TRUE(world_->waitErr(":MQTT connection lost\n"));
  const long long capMs = hbn::reconnectParamsFor(hbn::SessionKind::kZwave).capMs;
  std::this_thread::sleep_for(std::chrono::milliseconds(5 * capMs / kScale));
  // Attempts went on through the outage.
  const size_t attempts = e2e::countOf(world_->err(), ":MQTT connect fail\n");
  EXPECT_GE(attempts, 2u) << world_->err();

  const size_t announced = e2e::countOf(world_->out(), "HBNKV_cloudConnectNotice:state=T");
  ASSERT_TRUE(world_->broker().start());
  const auto back = std::chrono::steady_clock::now();
  ASSERT_TRUE(world_->waitOut("KV_TX440:HBNKV_cloudConnectNotice:state=T\n", announced + 1,
                              static_cast<int>(capMs / kScale) + 3000))
      << world_->err();
  EXPECT_LT(std::chrono::steady_clock::now() - back, std::chrono::milliseconds(capMs / kScale + 3000));
  ASSERT_TRUE(publish("mode", "{\"mode\":1}"));
  EXPECT_TRUE(sub_->waitFor(AgentWorld::gw("mode"), "{\"status\":0,\"mode\":1}"));
}

// Over TLS with client certificates: an agent that starts while the broker is down keeps
// trying and connects as soon as the broker is up, then serves requests.
TEST_F(CloudAgent, TlsAgentStartedBeforeBrokerConnectsWhenItIsUp) {
  world_.reset(new AgentWorld(true));
  queueName_ = hbntest::uniqueName("/e2e_cloud");
  setenv("HBN_SCRIPT_QUEUE", queueName_.c_str(), 1);
  ASSERT_EQ(world_->seed(), "");
  ASSERT_TRUE(world_->startGateway());
  ASSERT_TRUE(world_->startAgent());
  EXPECT_TRUE(world_->waitErr("addr  =ssl://127.0.0.1:" + std::to_string(world_->broker().port()) + "\n"));
  ASSERT_TRUE(world_->waitErr(":MQTT connect fail\n", 1, 5000)) << world_->err();
  EXPECT_EQ(e2e::countOf(world_->out(), "HBNKV_cloudConnectNotice:state=T"), 0u);

  ASSERT_TRUE(world_->broker().start());
  record();
  sub_.reset(new hbntest::Subscriber(world_->broker(), "#"));
  EXPECT_TRUE(world_->waitOut("KV_TX440:HBNKV_cloudConnectNotice:state=T\n", 1, 5000)) << world_->err();
  ASSERT_TRUE(e2e::waitUntil(
      [&] {
        auto t = world_->broker().receivedTopics();
        return std::find(t.begin(), t.end(), AgentWorld::gw("connected")) != t.end();
      },
      5000));
  ASSERT_TRUE(publish("mode", "{\"mode\":1}"));
  EXPECT_TRUE(sub_->waitFor(AgentWorld::gw("mode"), "{\"status\":0,\"mode\":1}"));
  EXPECT_TRUE(world_->agent().running());
}

// The names ps -L shows for the agent's threads.
std::set<std::string> threadNames(pid_t pid) {
  std::set<std::string> names;
  std::string dir = "/proc/" + std::to_string(pid) + "/task";
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] == '.') continue;
      std::string name = e2e::readFile(dir + "/" + e->d_name + "/comm");
      if (!name.empty() && name.back() == '\n') name.pop_back();
      names.insert(name);
    }
    closedir(d);
  }
  return names;
}

TEST_F(CloudAgent, ThreadsCarryTheirNames) {
  bringUp(false);
  std::set<std::string> names = threadNames(world_->agent().pid());
  for (const char* name : {"core-msg", "core-cmd", "cloud-mqtt", "download"})
    EXPECT_EQ(names.count(name), 1u) << name;
}

}  // namespace

// A SmartStart list longer than the 4096-byte payload buffer (59 entries) is published whole,
// up to the 240 entries one cloud buffer holds, as one valid JSON document in gateway order.
TEST_F(CloudAgent, LongSmartStartListIsPublishedWhole) {
  struct Case {
    int atGateway;
    int published;
  };
  for (const Case& c : {Case{100, 100}, Case{250, 240}}) {
    bringUp(false);
    for (int i = 0; i < c.atGateway; ++i) {
      char head[16];
      snprintf(head, sizeof head, "%04X", static_cast<unsigned>(i) & 0xFFFFu);
      ASSERT_TRUE(world_->gateway().command(std::string("pv ") + head + std::string(28, '0') + " 0"));
    }
    size_t mark = sub_->lines().size();
    ASSERT_TRUE(publish("smartstart/get", ""));
    std::string list = nextOn(AgentWorld::gw("smartstart/list"), mark, 15000);
    json_object* doc = json_tokener_parse(list.c_str());
    ASSERT_NE(doc, nullptr) << list.substr(0, 200);
    json_object* entries = nullptr;
    ASSERT_TRUE(json_object_object_get_ex(doc, "list", &entries));
    ASSERT_EQ(static_cast<int>(json_object_array_length(entries)), c.published) << c.atGateway;
    for (int i = 0; i < c.published; i += 37) {
      json_object* dsk = nullptr;
      ASSERT_TRUE(
          json_object_object_get_ex(json_object_array_get_idx(entries, static_cast<size_t>(i)), "dsk", &dsk));
      char first[16];
      snprintf(first, sizeof first, "%05d-", i);
      EXPECT_EQ(std::string(json_object_get_string(dsk)).substr(0, 6), first);
    }
    json_object_put(doc);
    TearDown();
  }
}
