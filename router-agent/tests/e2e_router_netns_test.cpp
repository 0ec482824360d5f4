// The router agent in a simulated box (root only): a network namespace with links "eth0" and
// "wwan0" whose far ends are in the root namespace, where the TLS broker listens. Dual WAN
// (7155=1, 7144=2) gives a main session on eth0 (type 0) and a sub session on wwan0 (type 2),
// each bound to its link. The sandbox provides "$HBN_ROOT/sys/class/net/<name>" for the links
// that are to count as present.
#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

#include "e2e_router_fixture.h"
#include "hbn_log_capture.h"
#include "hbn_netns.h"

namespace {

using router::MqttClient;
using router::RouterWorld;
using router::waitUntil;

constexpr const char* kMainSerial = "RT0001";  // type 0 block
constexpr const char* kSubSerial = "RT0002";   // type 2 block

class RouterBox : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!hbntest::needRoot()) return;
    ns_ = lab_.addNamespace();
    ASSERT_NE(ns_, "") << lab_.error();
    world_.reset(new RouterWorld);
    world_->recordContract();
  }
  // Links, store (dual WAN, fail-over off, both sessions to the eth0 or, `useWwanPeer`, the wwan0
  // peer's address), broker and agent. The default route prefers eth0, or, with `ethDeadEnd`,
  // wwan0, and eth0 then leads into a namespace that goes nowhere. `wwanPresent`:
  // "$HBN_ROOT/sys/class/net/wwan0" exists from the start.
  void bringUp(bool ethDeadEnd, bool useWwanPeer, bool wwanPresent,
               const std::vector<std::string>& env = {}) {
    const std::string far = ethDeadEnd ? lab_.addNamespace() : "";
    eth0_ = lab_.addWan(ns_, "eth0", far, ethDeadEnd ? 30 : 10);
    ASSERT_NE(eth0_.box.ifname, "") << lab_.error();
    wwan0_ = lab_.addWan(ns_, "wwan0", "", 20);
    ASSERT_NE(wwan0_.box.ifname, "") << lab_.error();
    const std::string host = useWwanPeer ? wwan0_.peer.address : eth0_.peer.address;
    world_->broker().listenOn(host);
    std::vector<std::pair<std::string, std::string>> ids = {
        {"7144", "2"}, {"7155", "1"}, {"7157", "0"}, {"7158", "0"}, {"7132", host}};
    for (const auto& id : world_->wanBlock(2, kSubSerial, host)) ids.push_back(id);
    ASSERT_EQ(world_->seed(ids), "");
    world_->sandbox().mkdirs("/sys/class/net/eth0");
    if (wwanPresent) world_->sandbox().mkdirs("/sys/class/net/wwan0");
    // The WAN address comes from each session's own interface.
    unlink(world_->sandbox().path("/var/lte0_gip.inf").c_str());
    std::vector<std::string> fullEnv = {"HBN_SCRIPT_QUEUE=" + hbntest::uniqueName("/router_box")};
    fullEnv.insert(fullEnv.end(), env.begin(), env.end());
    ASSERT_EQ(world_->start(fullEnv, hbntest::NetLab::inNamespace(ns_, {})), "");
  }
  void TearDown() override {
    if (world_ && world_->box().agent().pid() > 0) {
      EXPECT_EQ(world_->box().problem(), "");
    }
    if (world_) {
      EXPECT_EQ(world_->checkContract(), "");
    }
    world_.reset();
  }
  static std::string client(const char* serial, int type) {
    return std::string(router::kService) + ":" + serial + ":" + std::to_string(type);
  }
  bool announced(const char* serial, int timeoutMs) {
    MqttClient::Message m;
    return world_->client().next(RouterWorld::gw("connected/wanip/" + std::string(serial), serial), &m,
                                 timeoutMs);
  }

  hbntest::NetLab lab_;
  std::string ns_;
  hbntest::WanLink eth0_, wwan0_;
  std::unique_ptr<RouterWorld> world_;
};

// Both sessions announce, each with its type in the client id and from its own link's address;
// the sub session waits while its interface is missing; each reports its own link's address;
// loads on both sessions at once keep their error documents apart.
TEST_F(RouterBox, DualWanSessionsUseTheirOwnLinks) {
  if (!hbntest::needRoot()) return;
  bringUp(false, false, false);
  ASSERT_TRUE(announced(kMainSerial, 10000)) << world_->err();
  EXPECT_NE(world_->out().find("KV_TX440:net:isDual=1\n"
                               "KV_TX440:net:main=0,sub=2\n"
                               "KV_TX440:net:main=eth0,sub=wwan0\n"),
            std::string::npos)
      << world_->out();
  EXPECT_TRUE(world_->box().waitErr("Network I/F not found(wwan0)", 2)) << world_->err();
  EXPECT_TRUE(
      hbntest::hasLogLine(world_->err(), 'W', "HBN_cloud_commMqttConnect", "Network I/F not found(wwan0)"));
  EXPECT_TRUE(world_->broker().clientAddresses(client(kSubSerial, 2)).empty());
  EXPECT_EQ(world_->out().find("kind=2,"), std::string::npos) << "no notice without an attempt";

  world_->sandbox().mkdirs("/sys/class/net/wwan0");
  ASSERT_TRUE(announced(kSubSerial, 8000)) << world_->err();
  EXPECT_EQ(world_->broker().clientAddresses(client(kMainSerial, 0)),
            std::vector<std::string>{eth0_.box.address});
  EXPECT_EQ(world_->broker().clientAddresses(client(kSubSerial, 2)),
            std::vector<std::string>{wwan0_.box.address});
  EXPECT_TRUE(
      world_->box().waitOut("KV_TX440:HBNKV_cloudConnectNotice:kind=0,state/new=T,old=F,first=F/check=0\n"));
  EXPECT_TRUE(
      world_->box().waitOut("KV_TX440:HBNKV_cloudConnectNotice:kind=2,state/new=T,old=F,first=F/check=0\n"));

  EXPECT_EQ(world_->ask("connected/wanip/x", "", RouterWorld::gw("connected/wanip/RT0001", kMainSerial),
                        kMainSerial),
            "{\"wan_ip_address\":\"" + eth0_.box.address + "\"}");
  EXPECT_EQ(
      world_->ask("connected/wanip/x", "", RouterWorld::gw("connected/wanip/RT0002", kSubSerial), kSubSerial),
      "{\"wan_ip_address\":\"" + wwan0_.box.address + "\"}");

  // Network information of a real link; a name longer than an interface name can be is none,
  // even when its first 15 characters name one.
  const std::string longName = "hbnfifteenchars";
  ASSERT_TRUE(lab_.addVeth(ns_, longName, "", lab_.uniqueLinkName())) << lab_.error();
  std::string info = world_->ask("netinfo", "{\"ifname\":\"" + longName + "\"}", RouterWorld::gw("netinfo"));
  EXPECT_EQ(info.find("\"mac\":\"000000000000\""), std::string::npos) << info;
  EXPECT_EQ(world_->ask("netinfo", "{\"ifname\":\"" + longName + "X\"}", RouterWorld::gw("netinfo")),
            "{\"ifname\":\"" + longName + "X\",\"mac\":\"000000000000\",\"ipv4\":\"0.0.0.0\"}");
  info = world_->ask("netinfo", "{\"ifname\":\"eth0\"}", RouterWorld::gw("netinfo"));
  EXPECT_NE(info.find("\"ipv4\":\"" + eth0_.box.address + "\""), std::string::npos) << info;
  EXPECT_EQ(info.find("\"mac\":\"000000000000\""), std::string::npos) << info;

  // One bad load per session, at the same time.
  MqttClient& c = world_->client();
  world_->malformed(RouterWorld::req("config/noreboot", kMainSerial), "{\"setting\":{\"keyOfMain\":1}}");
  world_->malformed(RouterWorld::req("config/noreboot", kSubSerial), "{\"setting\":{\"keyOfSub\":1}}");
  c.drain();
  ASSERT_TRUE(c.publish(RouterWorld::req("config/noreboot", kMainSerial), "{\"setting\":{\"keyOfMain\":1}}"));
  ASSERT_TRUE(c.publish(RouterWorld::req("config/noreboot", kSubSerial), "{\"setting\":{\"keyOfSub\":1}}"));
  MqttClient::Message m;
  ASSERT_TRUE(c.next(RouterWorld::gw("config/noreboot/err", kMainSerial), &m, 10000));
  EXPECT_NE(m.payload.find("keyOfMain"), std::string::npos) << m.payload;
  EXPECT_EQ(m.payload.find("keyOfSub"), std::string::npos) << m.payload;
  c.drain();
  ASSERT_TRUE(c.publish(RouterWorld::req("config/noreboot", kMainSerial), "{\"setting\":{\"keyOfMain\":1}}"));
  ASSERT_TRUE(c.publish(RouterWorld::req("config/noreboot", kSubSerial), "{\"setting\":{\"keyOfSub\":1}}"));
  ASSERT_TRUE(c.next(RouterWorld::gw("config/noreboot/err", kSubSerial), &m, 10000));
  EXPECT_NE(m.payload.find("keyOfSub"), std::string::npos) << m.payload;
  EXPECT_EQ(m.payload.find("keyOfMain"), std::string::npos) << m.payload;
}

// The broker is reachable only through wwan0: the session bound to eth0 never gets there, even
// though an unbound socket would follow the preferred default route through wwan0. (Each
// attempt ends after the bounded connect time, 30 s scaled down.)
TEST_F(RouterBox, BindingKeepsTheMainSessionOffTheOtherLink) {
  if (!hbntest::needRoot()) return;
  bringUp(true, true, true, {"HBN_TIME_SCALE=30"});
  ASSERT_TRUE(announced(kSubSerial, 10000)) << world_->err();
  EXPECT_TRUE(waitUntil(
      [&] {
        const std::string err = world_->err();
        return hbntest::countOf(err, "MQTT connect fail(eth0)") +
                   hbntest::countOf(err, "MQTT async connect fail(") >=
               1;
      },
      12000))
      << world_->err();
  EXPECT_EQ(world_->err().find("MQTT connect success(eth0)"), std::string::npos);
  EXPECT_TRUE(world_->broker().clientAddresses(client(kMainSerial, 0)).empty());
  EXPECT_EQ(world_->broker().clientAddresses(client(kSubSerial, 2)),
            std::vector<std::string>{wwan0_.box.address});
}

// A configuration load held slow on one session (a configtool that takes 8 s) holds up neither
// the other session's answers nor its connection notices: each session handles its requests on
// a worker of its own, and the library's callback thread only hands them over.
TEST_F(RouterBox, ASlowLoadOnOneSessionHoldsUpNeitherTheOthersAnswersNorItsNotices) {
  if (!hbntest::needRoot()) return;
  bringUp(false, false, true);
  // Both announce, in either order (the broker saw both).
  ASSERT_TRUE(waitUntil(
      [&] {
        const auto topics = world_->broker().receivedTopics();
        auto seen = [&](const char* serial) {
          const std::string t = RouterWorld::gw("connected/wanip/" + std::string(serial), serial);
          return std::find(topics.begin(), topics.end(), t) != topics.end();
        };
        return seen(kMainSerial) && seen(kSubSerial);
      },
      15000))
      << world_->err();
  world_->sandbox().fakeCommand("configtool", "sleep 8; exit 1");
  MqttClient& c = world_->client();
  c.drain();
  ASSERT_TRUE(c.publish(RouterWorld::req("config/noreboot", kMainSerial), "{\"setting\":{}}"));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  auto asked = std::chrono::steady_clock::now();
  ASSERT_TRUE(c.publish(RouterWorld::req("version", kSubSerial), ""));
  MqttClient::Message m;
  ASSERT_TRUE(c.next(RouterWorld::gw("version", kSubSerial), &m, 10000));
  EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::milliseconds(4000))
      << "the sub session's answer waited for the main session's load";

  // Another slow load, then the broker goes away: the sub session's notice comes at once.
  ASSERT_TRUE(world_->box().waitErr("configuration load fail(", 1, 15000)) << world_->err();
  ASSERT_TRUE(c.publish(RouterWorld::req("config/noreboot", kMainSerial), "{\"setting\":{}}"));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  auto lost = std::chrono::steady_clock::now();
  world_->broker().stop();
  EXPECT_TRUE(world_->box().waitOut("KV_TX440:HBNKV_cloudConnectNotice:kind=2,state/new=F", 1, 10000));
  EXPECT_LT(std::chrono::steady_clock::now() - lost, std::chrono::milliseconds(4000))
      << "the sub session's connection notice waited for the main session's load";
}

}  // namespace
