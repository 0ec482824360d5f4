// MQTTAsync_connect2 against a real broker. The bound cases run a simulated box: a namespace with
// links "eth0" and "wwan0" whose far ends are in the root namespace (the broker listens on the
// wwan0 peer's address there) or in a dead-end namespace. Default routes prefer eth0.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "hbn_broker.h"
#include "hbn_netns.h"
#include "hbn_test.h"
#include "mqtt_bind.h"

namespace {

enum class Outcome { Pending, Connected, Failed };

// One Paho client and the end of its connect attempt, reported through the client's own context.
// (Paho notices a new connection up to two seconds late while another client is open, so the
// tests close each client before the next one connects.)
class Client {
 public:
  Client(const std::string& uri, const std::string& id, int mqttVersion = MQTTVERSION_DEFAULT)
      : version_(mqttVersion) {
    MQTTAsync_createOptions create = MQTTAsync_createOptions_initializer;
    if (version_ == MQTTVERSION_5) create.MQTTVersion = MQTTVERSION_5;
    created_ = MQTTAsync_createWithOptions(&handle_, uri.c_str(), id.c_str(), MQTTCLIENT_PERSISTENCE_NONE,
                                           nullptr, &create) == MQTTASYNC_SUCCESS;
  }
  ~Client() {
    if (created_) MQTTAsync_destroy(&handle_);
  }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  // Starts an attempt; the result of MQTTAsync_connect2.
  int connect(const char* ifname) {
    if (!created_) return MQTTASYNC_FAILURE;
    {
      std::lock_guard<std::mutex> guard(lock_);
      outcome_ = Outcome::Pending;
    }
    MQTTAsync_connectOptions options = MQTTAsync_connectOptions_initializer;
    if (version_ == MQTTVERSION_5) {
      MQTTAsync_connectOptions v5 = MQTTAsync_connectOptions_initializer5;
      options = v5;
      options.onSuccess5 = [](void* c, MQTTAsync_successData5*) { self(c)->ended(Outcome::Connected); };
      options.onFailure5 = [](void* c, MQTTAsync_failureData5*) { self(c)->ended(Outcome::Failed); };
    } else {
      options.onSuccess = [](void* c, MQTTAsync_successData*) { self(c)->ended(Outcome::Connected); };
      options.onFailure = [](void* c, MQTTAsync_failureData*) { self(c)->ended(Outcome::Failed); };
    }
    options.keepAliveInterval = 20;
    options.connectTimeout = 2;
    options.context = this;
    return MQTTAsync_connect2(handle_, &options, ifname);
  }
  // Waits for the attempt to end.
  Outcome wait(int timeoutMs = 5000) {
    std::unique_lock<std::mutex> guard(lock_);
    changed_.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                      [this] { return outcome_ != Outcome::Pending; });
    return outcome_;
  }
  // Connect callbacks received over the client's life.
  int callbacks() {
    std::lock_guard<std::mutex> guard(lock_);
    return callbacks_;
  }

 private:
  static Client* self(void* context) { return static_cast<Client*>(context); }
  void ended(Outcome outcome) {
    std::lock_guard<std::mutex> guard(lock_);
    outcome_ = outcome;
    ++callbacks_;
    changed_.notify_all();
  }

  int version_;
  bool created_ = false;
  MQTTAsync handle_ = nullptr;
  std::mutex lock_;
  std::condition_variable changed_;
  Outcome outcome_ = Outcome::Pending;
  int callbacks_ = 0;
};

// connect() of a plain socket of `type` to address:port; 0 or the errno.
int plainConnect(int type, const std::string& address, int port) {
  int fd = socket(AF_INET, type, 0);
  if (fd < 0) return errno;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, address.c_str(), &a.sin_addr);
  int result = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 ? 0 : errno;
  close(fd);
  return result;
}

std::string tcpUri(const std::string& address, int port) {
  return "tcp://" + address + ":" + std::to_string(port);
}

// Runs first (gtest keeps the file's order) so that, run as one process, no bound attempt precedes it.
TEST(MqttConnect2Unbound, NullOrEmptyNameIsPlainConnect) {
  hbntest::Sandbox sandbox;
  hbntest::Broker broker(sandbox.root() + "/broker", false);
  ASSERT_TRUE(broker.start());
  for (const char* name : {static_cast<const char*>(nullptr), ""}) {
    Client client(tcpUri("127.0.0.1", broker.port()), name == nullptr ? "null-name" : "empty-name");
    ASSERT_EQ(client.connect(name), MQTTASYNC_SUCCESS);
    EXPECT_EQ(client.wait(), Outcome::Connected);
    EXPECT_EQ(client.callbacks(), 1);
  }
  EXPECT_EQ(broker.clientAddresses("null-name"), std::vector<std::string>{"127.0.0.1"});
  EXPECT_EQ(broker.clientAddresses("empty-name"), std::vector<std::string>{"127.0.0.1"});
  // No bound mode: a TCP connect to a destination other than loopback is not refused. 0.0.0.0
  // stands for this machine itself, so the probe goes nowhere else.
  EXPECT_EQ(plainConnect(SOCK_STREAM, "0.0.0.0", broker.port()), 0);
}

class MqttConnect2Box : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!hbntest::needRoot()) return;
    box_ = lab_.addNamespace();
    ASSERT_FALSE(box_.empty()) << lab_.error();
  }

  // eth0 leads to the root namespace or to a dead end; the broker is on wwan0's far side.
  void buildBox(bool eth0ToRoot) {
    std::string far;
    if (!eth0ToRoot) {
      far = lab_.addNamespace();
      ASSERT_FALSE(far.empty()) << lab_.error();
      // It routes nothing anywhere, so it answers at once that the broker is unreachable.
      hbntest::Result r = hbntest::run(
          hbntest::NetLab::inNamespace(far, {"sh", "-c", "echo 1 >/proc/sys/net/ipv4/ip_forward"}));
      ASSERT_EQ(r.status, 0) << r.err;
    }
    eth0_ = lab_.addWan(box_, "eth0", far, 10);
    ASSERT_FALSE(eth0_.box.ifname.empty()) << lab_.error();
    wwan0_ = lab_.addWan(box_, "wwan0", "", 20);
    ASSERT_FALSE(wwan0_.box.ifname.empty()) << lab_.error();
    broker_.listenOn(wwan0_.peer.address);
    ASSERT_TRUE(broker_.start());
  }
  std::string brokerUri() const { return tcpUri(wwan0_.peer.address, broker_.port()); }

  hbntest::Sandbox sandbox_;
  hbntest::NetLab lab_;
  hbntest::Broker broker_{sandbox_.root() + "/broker", false};
  std::string box_;
  hbntest::WanLink eth0_;
  hbntest::WanLink wwan0_;
};

TEST_F(MqttConnect2Box, BoundSessionLeavesThroughItsInterfaceOnly) {
  ASSERT_NO_FATAL_FAILURE(buildBox(false));
  hbntest::NetnsScope inBox(box_);
  ASSERT_TRUE(inBox.ok());

  // Unbound, the route to the broker's subnet goes through wwan0. (First: bound mode refuses it.)
  {
    Client plain(brokerUri(), "plain");
    ASSERT_EQ(plain.connect(nullptr), MQTTASYNC_SUCCESS);
    ASSERT_EQ(plain.wait(), Outcome::Connected);
  }
  EXPECT_EQ(broker_.clientAddresses("plain"), std::vector<std::string>{wwan0_.box.address});

  // Bound to eth0 the same URI leads into the dead end.
  {
    Client viaEth0(brokerUri(), "via-eth0");
    ASSERT_EQ(viaEth0.connect("eth0"), MQTTASYNC_SUCCESS);
    EXPECT_EQ(viaEth0.wait(), Outcome::Failed);
    EXPECT_EQ(viaEth0.callbacks(), 1);
  }
  EXPECT_TRUE(broker_.clientAddresses("via-eth0").empty());

  // Bound to wwan0, with either flavour of connect callbacks.
  for (int version : {MQTTVERSION_DEFAULT, MQTTVERSION_5}) {
    const std::string id = "via-wwan0-v" + std::to_string(version);
    Client viaWwan0(brokerUri(), id, version);
    ASSERT_EQ(viaWwan0.connect("wwan0"), MQTTASYNC_SUCCESS) << id;
    EXPECT_EQ(viaWwan0.wait(), Outcome::Connected) << id;
    EXPECT_EQ(viaWwan0.callbacks(), 1) << id;
    EXPECT_EQ(broker_.clientAddresses(id), std::vector<std::string>{wwan0_.box.address}) << id;
  }
  for (const auto& source : broker_.connectionAddresses()) EXPECT_NE(source, eth0_.box.address);
}

TEST_F(MqttConnect2Box, UnboundTcpIsRefusedOnceBound) {
  ASSERT_NO_FATAL_FAILURE(buildBox(false));
  hbntest::NetnsScope inBox(box_);
  ASSERT_TRUE(inBox.ok());
  Client bound(brokerUri(), "bound");
  ASSERT_EQ(bound.connect("wwan0"), MQTTASYNC_SUCCESS);
  ASSERT_EQ(bound.wait(), Outcome::Connected);

  Client plain(brokerUri(), "plain");
  ASSERT_EQ(plain.connect(nullptr), MQTTASYNC_SUCCESS);
  EXPECT_EQ(plain.wait(), Outcome::Failed);
  EXPECT_TRUE(broker_.clientAddresses("plain").empty());
  EXPECT_EQ(plainConnect(SOCK_STREAM, wwan0_.peer.address, broker_.port()), EADDRNOTAVAIL);
  // Datagrams and loopback are left alone (nothing listens on the box's loopback).
  EXPECT_EQ(plainConnect(SOCK_DGRAM, wwan0_.peer.address, broker_.port()), 0);
  EXPECT_EQ(plainConnect(SOCK_STREAM, "127.0.0.1", broker_.port()), ECONNREFUSED);
}

TEST_F(MqttConnect2Box, RefusedAttemptLeavesTheNextOneBoundCorrectly) {
  ASSERT_NO_FATAL_FAILURE(buildBox(true));
  hbntest::NetnsScope inBox(box_);
  ASSERT_TRUE(inBox.ok());
  {
    Client refused(tcpUri(wwan0_.peer.address, hbntest::freePort()), "refused");
    ASSERT_EQ(refused.connect("wwan0"), MQTTASYNC_SUCCESS);
    EXPECT_EQ(refused.wait(), Outcome::Failed);
    EXPECT_EQ(refused.callbacks(), 1);
  }

  // eth0 reaches the root namespace too: the binding, not the connected route, picks the link.
  Client next(brokerUri(), "next");
  ASSERT_EQ(next.connect("eth0"), MQTTASYNC_SUCCESS);
  EXPECT_EQ(next.wait(), Outcome::Connected);
  EXPECT_EQ(broker_.clientAddresses("next"), std::vector<std::string>{eth0_.box.address});
}

TEST_F(MqttConnect2Box, BadInterfaceFailsWithoutAnyConnection) {
  ASSERT_NO_FATAL_FAILURE(buildBox(true));
  hbntest::NetnsScope inBox(box_);
  ASSERT_TRUE(inBox.ok());
  Client client(brokerUri(), "bad-name");
  ASSERT_EQ(client.connect("nosuch0"), MQTTASYNC_SUCCESS);
  EXPECT_EQ(client.wait(), Outcome::Failed);
  // A name the kernel would cut short to some other interface's name is refused outright.
  EXPECT_EQ(client.connect("wwan0-much-too-long"), MQTTASYNC_FAILURE);
  EXPECT_EQ(client.callbacks(), 1);
  // An unbound socket would have reached the broker through wwan0's connected route.
  for (const auto& source : broker_.connectionAddresses()) {
    EXPECT_NE(source, wwan0_.box.address);
    EXPECT_NE(source, eth0_.box.address);
  }

  ASSERT_EQ(client.connect("wwan0"), MQTTASYNC_SUCCESS);
  EXPECT_EQ(client.wait(), Outcome::Connected);
  EXPECT_EQ(broker_.clientAddresses("bad-name"), std::vector<std::string>{wwan0_.box.address});
}

TEST_F(MqttConnect2Box, ConcurrentAttemptsLandOnTheirOwnInterfaces) {
  ASSERT_NO_FATAL_FAILURE(buildBox(true));
  hbntest::NetnsScope inBox(box_);
  ASSERT_TRUE(inBox.ok());
  constexpr int kRounds = 5;
  for (int round = 0; round < kRounds; ++round) {
    std::atomic<int> ready{0};
    std::vector<Outcome> outcomes(2, Outcome::Pending);
    std::vector<std::thread> sessions;
    const char* names[] = {"eth0", "wwan0"};
    // Threads started here are in the box's namespace too.
    for (int i = 0; i < 2; ++i) {
      sessions.emplace_back([&, i] {
        Client client(brokerUri(), std::string("session-") + names[i]);
        ++ready;
        while (ready.load() < 2) std::this_thread::yield();
        if (client.connect(names[i]) == MQTTASYNC_SUCCESS) outcomes[i] = client.wait();
      });
    }
    for (auto& t : sessions) t.join();
    ASSERT_EQ(outcomes, std::vector<Outcome>(2, Outcome::Connected)) << "round " << round;
  }
  EXPECT_EQ(broker_.clientAddresses("session-eth0"), std::vector<std::string>(kRounds, eth0_.box.address));
  EXPECT_EQ(broker_.clientAddresses("session-wwan0"), std::vector<std::string>(kRounds, wwan0_.box.address));
}

TEST_F(MqttConnect2Box, AttemptEndingBeforeItsSocketReleasesTheCaller) {
  // Only loopback in this namespace: the name lookup fails at once and no query leaves it.
  std::string lonely = lab_.addNamespace();
  ASSERT_FALSE(lonely.empty()) << lab_.error();
  hbntest::NetnsScope inside(lonely);
  ASSERT_TRUE(inside.ok());
  Client client("tcp://hbn-no-such-host.invalid:1883", "unresolved");
  auto started = std::chrono::steady_clock::now();
  ASSERT_EQ(client.connect("lo"), MQTTASYNC_SUCCESS);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
  EXPECT_EQ(client.wait(), Outcome::Failed);
  EXPECT_EQ(client.callbacks(), 1);
}

}  // namespace
