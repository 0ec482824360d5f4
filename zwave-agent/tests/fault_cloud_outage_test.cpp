// Faults around the whole Z-Wave cloud agent: long broker outages with keep-alives and node
// traffic piling up, a burst of requests against a slow gateway, the broker killed again and
// again, and the gateway going away. After each the agent serves again, or ends so that the
// platform restarts it; nothing is lost without a log line.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "e2e_cloud_agent_fixture.h"
#include "hbn_mqtt_client.h"

namespace {

using e2e::AgentWorld;

class CloudFault : public ::testing::Test {
 protected:
  void bringUp(std::vector<std::string> gatewayArgs = {},
               const std::vector<std::pair<std::string, std::string>>& ids = {}) {
    world_.reset(new AgentWorld(false, std::move(gatewayArgs)));
    queueName_ = hbntest::uniqueName("/fault_cloud");
    setenv("HBN_SCRIPT_QUEUE", queueName_.c_str(), 1);
    ASSERT_EQ(world_->seed(ids), "");
    ASSERT_TRUE(world_->broker().start());
    ASSERT_TRUE(world_->startGateway());
    ASSERT_TRUE(world_->startAgent());
    ASSERT_TRUE(waitPublished(AgentWorld::gw("connected"), 1, 8000)) << world_->err();
  }
  void TearDown() override {
    if (world_) {
      std::string err = world_->err();
      for (const char* finding : {"Sanitizer", "runtime error:"})
        EXPECT_EQ(err.find(finding), std::string::npos) << err.substr(err.find(finding), 3000);
    }
    world_.reset();
    unsetenv("HBN_SCRIPT_QUEUE");
    unsetenv("HBN_TIME_SCALE");
  }

  // What the agent published, over every run of the broker, in the broker's order.
  std::vector<std::string> published() const {
    std::vector<std::string> mine;
    for (const auto& t : world_->broker().receivedTopics())
      if (t.rfind("gw/", 0) == 0 || t.rfind("sp/", 0) == 0) mine.push_back(t);
    return mine;
  }
  size_t countPublished(const std::string& topic) const {
    auto all = published();
    return static_cast<size_t>(std::count(all.begin(), all.end(), topic));
  }
  bool waitPublished(const std::string& topic, size_t count, int timeoutMs) const {
    return e2e::waitUntil([&] { return countPublished(topic) >= count; }, timeoutMs);
  }
  // Asks for "status" and waits for its answer; false when none came within `timeoutMs`.
  bool statusAnswered(int timeoutMs) {
    size_t before = countPublished(AgentWorld::gw("status"));
    if (!world_->broker().publish(AgentWorld::req("status"), "")) return false;
    return waitPublished(AgentWorld::gw("status"), before + 1, timeoutMs);
  }
  // Stops the broker and waits until the agent has seen the loss.
  void brokerAway(size_t losses = 1) {
    world_->broker().stop();
    ASSERT_TRUE(world_->waitErr(":MQTT connection lost\n", losses, 5000));
  }

  std::unique_ptr<AgentWorld> world_;
  std::string queueName_;
};

// Keep-alives of an outage many intervals long (a 10 s interval run 100 times faster) do
// not pile up: when the broker returns the agent publishes at most one of them ahead of its
// new "connected", and requests are answered again.
TEST_F(CloudFault, KeepAlivesOfALongOutageDoNotBlockTheReconnect) {
  setenv("HBN_TIME_SCALE", "100", 1);
  bringUp({}, {{"1418", "1"}, {"1419", "10"}});
  ASSERT_TRUE(statusAnswered(3000));
  brokerAway();
  // 30 intervals of 100 ms: far more than the cloud queue holds.
  std::this_thread::sleep_for(std::chrono::milliseconds(3000));
  size_t mark = published().size();
  ASSERT_TRUE(world_->broker().start());
  ASSERT_TRUE(waitPublished(AgentWorld::gw("connected"), 2, 8000)) << world_->err();
  auto after = published();
  auto connected =
      std::find(after.begin() + static_cast<long>(mark), after.end(), AgentWorld::gw("connected"));
  EXPECT_LE(std::count(after.begin() + static_cast<long>(mark), connected, AgentWorld::gw("keepalive")), 1);
  EXPECT_TRUE(statusAnswered(3000)) << world_->err();
  // The timer fired all through the outage; all but one of its keep-alives were not queued.
  EXPECT_GE(e2e::countOf(world_->err(), "CLOUD keep-alive already queued\n"), 20u);
  // The keep-alive timer goes on after the outage.
  size_t keepAlives = countPublished(AgentWorld::gw("keepalive"));
  EXPECT_TRUE(waitPublished(AgentWorld::gw("keepalive"), keepAlives + 3, 3000));
}

// 70 node events while the broker is away: the cloud side keeps what its pool and queue hold,
// drops the rest with a log line each (the core threads never wait without bound), publishes
// what it kept in order and once each when the broker returns, and serves requests again.
TEST_F(CloudFault, SeventyNodeEventsDuringAnOutageArePublishedInOrderOrLogged) {
  setenv("HBN_TIME_SCALE", "20", 1);
  bringUp();
  brokerAway();
  size_t acks = world_->gateway().received().size();
  // Node frames (each takes a pool buffer) alternate with node keep-alives (queue only), each
  // from its own node so that its topic tells the event.
  std::vector<std::string> expected;
  for (int i = 0; i < 70; ++i) {
    int node = 2 + i;
    bool frame = i % 2 == 0;
    ASSERT_TRUE(world_->gateway().command("report " + std::to_string(node) + (frame ? " 200301" : " 00")));
    expected.push_back(AgentWorld::gw("node/" + std::to_string(node) + (frame ? "/recv" : "/keepalive")));
  }
  ASSERT_TRUE(world_->gateway().waitReceived(acks + 70, 8000)) << world_->err();
  // Every event that found no room was dropped with its line.
  auto dropped = [&] {
    std::string err = world_->err();
    return e2e::countOf(err, "CLOUD buffer all busy fail\n") +
           e2e::countOf(err, "CLOUD send queue push fail\n");
  };
  ASSERT_TRUE(e2e::waitUntil([&] { return dropped() >= 70 - 16; }, 5000)) << dropped();

  size_t mark = published().size();
  ASSERT_TRUE(world_->broker().start());
  ASSERT_TRUE(waitPublished(AgentWorld::gw("connected"), 2, 8000)) << world_->err();
  ASSERT_TRUE(statusAnswered(3000)) << world_->err();
  auto all = published();
  std::vector<std::string> nodes;
  for (size_t i = mark; i < all.size(); ++i)
    if (all[i].find("/node/") != std::string::npos) nodes.push_back(all[i]);
  ASSERT_GE(nodes.size(), 8u);
  EXPECT_EQ(nodes,
            std::vector<std::string>(expected.begin(), expected.begin() + static_cast<long>(nodes.size())));
  EXPECT_EQ(nodes.size() + dropped(), 70u);
  // The queued frames came before the new "connected".
  auto connected = std::find(all.begin() + static_cast<long>(mark), all.end(), AgentWorld::gw("connected"));
  EXPECT_EQ(
      std::count_if(connected, all.end(), [](const std::string& t) { return t.find("/node/") != t.npos; }),
      0);
}

// Every node frame the gateway reports while the session is up reaches the cloud, in order:
// after an outage many keep-alive intervals long (no node traffic meanwhile, time scale 60),
// and in a burst of frames handled back to back at time scale 1, where more frames arrive at
// once than the cloud pool holds buffers.
TEST_F(CloudFault, NodeFramesWhileTheSessionIsUpAllReachTheCloudInOrder) {
  struct Case {
    const char* scale;
    int outageMs;  // 0: no outage
    bool burst;
  } cases[] = {
      {"60", 10 * 10000 / 60, false}, {"60", 30 * 10000 / 60, false}, {"1", 0, true}, {"60", 3000, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("scale ") + c.scale + ", outage " + std::to_string(c.outageMs) +
                 (c.burst ? " ms, burst" : " ms"));
    setenv("HBN_TIME_SCALE", c.scale, 1);
    bringUp({}, {{"1418", "1"}, {"1419", "10"}});
    ASSERT_TRUE(statusAnswered(3000));
    size_t connects = 1;
    if (c.outageMs > 0) {
      brokerAway();
      std::this_thread::sleep_for(std::chrono::milliseconds(c.outageMs));
      ASSERT_TRUE(world_->broker().start());
      ASSERT_TRUE(waitPublished(AgentWorld::gw("connected"), ++connects, 8000)) << world_->err();
      ASSERT_TRUE(statusAnswered(3000)) << world_->err();
    }
    size_t mark = published().size();
    std::vector<std::string> expected, lines;
    for (int i = 0; i < 20; ++i) {
      int node = 2 + i;
      lines.push_back("report " + std::to_string(node) + " 200301");
      expected.push_back(AgentWorld::gw("node/" + std::to_string(node) + "/recv"));
    }
    if (c.burst) {
      ASSERT_TRUE(world_->gateway().commands(lines));
    } else {
      for (const std::string& line : lines) {
        ASSERT_TRUE(world_->gateway().command(line));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
    }
    auto frames = [&] {
      std::vector<std::string> got;
      auto all = published();
      for (size_t i = mark; i < all.size(); ++i)
        if (all[i].find("/recv") != std::string::npos) got.push_back(all[i]);
      return got;
    };
    EXPECT_TRUE(e2e::waitUntil([&] { return frames().size() >= expected.size(); }, 3000))
        << frames().size() << " of 20\n"
        << world_->err();
    EXPECT_EQ(frames(), expected);
    EXPECT_EQ(e2e::countOf(world_->err(), "CLOUD buffer all busy fail"), 0u);
    EXPECT_EQ(e2e::countOf(world_->err(), "MQTT connection lost"), connects - 1)
        << "the session dropped again";
    TearDown();
  }
}

// 40 node update requests, or 20 forced removals, against a gateway that never answers (each
// waits out its acknowledgement time): the request handler never blocks the MQTT library, so "status" is
// answered within a second during the burst, the requests beyond the core queue are refused
// with a log line, and the broker never drops the session (keep-alive 1 s under the scale).
TEST_F(CloudFault, BurstOfRequestsAgainstASlowGatewayLeavesTheSessionServing) {
  struct Case {
    const char* suffix;
    const char* payload;
    int count;
  };
  for (const Case& c :
       {Case{"node/5/update", "{\"pairing_status\":0}", 40}, Case{"node/5/remove", "{\"force\":1}", 20}}) {
    SCOPED_TRACE(c.suffix);
    setenv("HBN_TIME_SCALE", "20", 1);
    bringUp({"--nodes", "5"});
    ASSERT_TRUE(world_->gateway().command("reply silent"));
    hbntest::MqttClient client(world_->broker(), "burst");
    ASSERT_TRUE(client.ok());
    for (int i = 0; i < c.count; ++i) ASSERT_TRUE(client.publish(AgentWorld::req(c.suffix), c.payload));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    for (int round = 0; round < 3; ++round) {
      auto start = std::chrono::steady_clock::now();
      EXPECT_TRUE(statusAnswered(1000)) << "round " << round;
      EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
      std::this_thread::sleep_for(std::chrono::milliseconds(700));
    }
    EXPECT_TRUE(world_->waitErr("CORE send queue push fail\n", 1, 1000)) << world_->err();
    EXPECT_EQ(e2e::countOf(world_->err(), "MQTT connection lost"), 0u) << world_->err();
    EXPECT_TRUE(world_->agent().running());
    TearDown();
  }
}

// The broker killed and started again in a loop, with requests and node frames in every round:
// every request is answered exactly once and every node frame is published exactly once and
// in order, the frames of an outage after the round's "connected".
TEST_F(CloudFault, BrokerRestartedInALoopLosesNothing) {
  setenv("HBN_TIME_SCALE", "20", 1);
  bringUp();
  std::vector<std::string> frames;
  size_t versions = 0;
  for (int round = 0; round < 4; ++round) {
    // Connected: a request and its answer.
    ASSERT_TRUE(world_->broker().publish(AgentWorld::req("version"), ""));
    ++versions;
    ASSERT_TRUE(waitPublished(AgentWorld::gw("version"), versions, 3000)) << "round " << round;
    // Away: frames from two nodes wait in the queue.
    brokerAway(static_cast<size_t>(round) + 1);
    size_t acks = world_->gateway().received().size();
    for (int i = 0; i < 3; ++i) {
      int node = 2 + (round * 3 + i) % 60;
      ASSERT_TRUE(world_->gateway().command("report " + std::to_string(node) + " 200301"));
      frames.push_back(AgentWorld::gw("node/" + std::to_string(node) + "/recv"));
    }
    ASSERT_TRUE(world_->gateway().waitReceived(acks + 3));
    ASSERT_TRUE(world_->broker().start());
    ASSERT_TRUE(waitPublished(AgentWorld::gw("connected"), static_cast<size_t>(round) + 2, 8000))
        << world_->err();
  }
  ASSERT_TRUE(e2e::waitUntil(
      [&] {
        size_t n = 0;
        for (const auto& t : published()) n += t.find("/recv") != std::string::npos;
        return n >= frames.size();
      },
      5000));
  std::vector<std::string> got;
  for (const auto& t : published())
    if (t.find("/recv") != std::string::npos) got.push_back(t);
  EXPECT_EQ(got, frames);
  EXPECT_EQ(countPublished(AgentWorld::gw("version")), versions);
  EXPECT_EQ(e2e::countOf(world_->err(), "CLOUD send queue push fail"), 0u);
}

// The gateway closes its pipes: the agent does not stay half alive answering the cloud without
// a Z-Wave side; it stops in order and ends with status 1 so that the platform restarts it. A
// new agent then works with the gateway that came back.
TEST_F(CloudFault, GatewayGoneEndsTheAgentForARestart) {
  bringUp({"--nodes", "2"});
  ASSERT_TRUE(world_->gateway().command("hangup"));
  ASSERT_TRUE(world_->waitErr(":Z/IP is down\n", 1, 5000)) << world_->err();
  ASSERT_TRUE(e2e::waitUntil([&] { return !world_->agent().running(); }, 8000)) << world_->err();
  EXPECT_EQ(world_->agent().status(), 1);
  EXPECT_NE(world_->err().find("Z/IP is gone, the agent ends for a restart\n"), std::string::npos);

  // The platform's restart, against the gateway that accepts again.
  ASSERT_TRUE(world_->gateway().command("accept"));
  ASSERT_TRUE(world_->startAgent());
  ASSERT_TRUE(waitPublished(AgentWorld::gw("connected"), 2, 8000)) << world_->err();
  size_t before = world_->gateway().commands().size();
  ASSERT_TRUE(world_->broker().publish(AgentWorld::req("node/2/update"), "{\"pairing_status\":0}"));
  EXPECT_TRUE(world_->gateway().waitCommands(before + 1, 3000))
      << world_->err() << ::testing::PrintToString(world_->gateway().logLines());
  EXPECT_TRUE(statusAnswered(3000));
}

}  // namespace

// The same while the broker is away and the cloud queue is full: the stop never waits for room
// in a queue that nobody reads any more, so the agent still ends with status 1.
TEST_F(CloudFault, GatewayGoneDuringAnOutageWithAFullQueueStillEndsTheAgent) {
  setenv("HBN_TIME_SCALE", "20", 1);
  bringUp();
  brokerAway();
  size_t acks = world_->gateway().received().size();
  for (int i = 0; i < 24; ++i)
    ASSERT_TRUE(world_->gateway().command("report " + std::to_string(2 + i) + " 00"));
  ASSERT_TRUE(world_->gateway().waitReceived(acks + 24, 8000));
  ASSERT_TRUE(world_->waitErr("CLOUD send queue push fail\n", 1, 5000)) << world_->err();
  ASSERT_TRUE(world_->gateway().command("hangup"));
  ASSERT_TRUE(e2e::waitUntil([&] { return !world_->agent().running(); }, 8000)) << world_->err();
  EXPECT_EQ(world_->agent().status(), 1);
}
