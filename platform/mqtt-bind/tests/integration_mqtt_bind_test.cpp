// MQTTAsync_connect2 against a real broker. The bound cases run a simulated box: a namespace with
// links "eth0" and "wwan0" whose far ends are in the root namespace (the broker listens on the
// wwan0 peer's address there, and so do the small servers of some tests: another service, an
// MQTT 3.1 server) or in a dead-end namespace. Default routes prefer eth0.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
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

// A TCP server on `address` (an ephemeral port) in the namespace of the thread that makes it:
// every connection it accepts goes to `serve` (on the server's thread, one at a time), with the
// peer's address. Ends with the object.
class TcpServer {
 public:
  using Serve = std::function<void(int fd, const std::string& peer)>;
  TcpServer(const std::string& address, Serve serve) : serve_(std::move(serve)) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, address.c_str(), &a.sin_addr);
    socklen_t len = sizeof a;
    if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd_, 64) != 0 ||
        getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
      return;
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { run(); });
  }
  ~TcpServer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) close(fd_);
  }
  TcpServer(const TcpServer&) = delete;
  TcpServer& operator=(const TcpServer&) = delete;
  int port() const { return port_; }

 private:
  void run() {
    while (!stop_) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 50) != 1) continue;
      sockaddr_in peer{};
      socklen_t len = sizeof peer;
      int fd = accept4(fd_, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
      if (fd < 0) continue;
      char text[INET_ADDRSTRLEN] = "";
      inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
      serve_(fd, text);
      close(fd);
    }
  }

  Serve serve_;
  int fd_ = -1;
  int port_ = -1;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// Reads the MQTT CONNECT on `fd` (at most three seconds); its protocol level (3 for MQTT 3.1, 4 for
// 3.1.1), or -1.
int connectLevel(int fd) {
  unsigned char packet[512];
  size_t have = 0;
  for (;;) {
    // Fixed header, remaining length (short packets: one byte), name length, name, level.
    if (have >= 4) {
      size_t nameLength = static_cast<size_t>(packet[2] << 8 | packet[3]);
      if (have >= 4 + nameLength + 1) return packet[4 + nameLength];
    }
    pollfd p{fd, POLLIN, 0};
    if (have == sizeof packet || poll(&p, 1, 3000) != 1) return -1;
    ssize_t n = read(fd, packet + have, sizeof packet - have);
    if (n <= 0) return -1;
    have += static_cast<size_t>(n);
  }
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
  // Datagrams, loopback and other ports are left alone (nothing listens on the box's loopback
  // nor on the other port).
  EXPECT_EQ(plainConnect(SOCK_DGRAM, wwan0_.peer.address, broker_.port()), 0);
  EXPECT_EQ(plainConnect(SOCK_STREAM, "127.0.0.1", broker_.port()), ECONNREFUSED);
  EXPECT_EQ(plainConnect(SOCK_STREAM, wwan0_.peer.address, hbntest::freePort()), ECONNREFUSED);
}

// Other TCP connects of the process while bound attempts run (a resolver falling back to TCP,
// any library): to another port they are left alone, and they never take an attempt's binding;
// to the bound session's port at another address they are refused rather than sent unbound.
TEST_F(MqttConnect2Box, RacingConnectsNeitherTakeTheBindingNorAreBound) {
  ASSERT_NO_FATAL_FAILURE(buildBox(true));
  // Another service on the broker's host, reached unbound through wwan0's connected route.
  TcpServer other(wwan0_.peer.address, [](int, const std::string&) {});
  ASSERT_GT(other.port(), 0);
  hbntest::NetnsScope inBox(box_);
  ASSERT_TRUE(inBox.ok());
  {
    Client first(brokerUri(), "race-first");
    ASSERT_EQ(first.connect("eth0"), MQTTASYNC_SUCCESS);
    ASSERT_EQ(first.wait(), Outcome::Connected);
  }

  std::atomic<bool> stop{false};
  std::vector<std::string> otherSources;  // local address of each connect to the other port
  std::vector<int> otherErrors, samePortErrors;
  std::thread racer([&] {
    for (int i = 0; i < 100000 && !stop.load(); ++i) {
      int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_in a{};
      a.sin_family = AF_INET;
      const bool samePort = i % 2 == 1;
      a.sin_port = htons(static_cast<uint16_t>(samePort ? broker_.port() : other.port()));
      inet_pton(AF_INET, (samePort ? eth0_.peer.address : wwan0_.peer.address).c_str(), &a.sin_addr);
      int result = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 ? 0 : errno;
      if (samePort) {
        samePortErrors.push_back(result);
      } else if (result != 0) {
        otherErrors.push_back(result);
      } else {
        sockaddr_in local{};
        socklen_t len = sizeof local;
        char text[INET_ADDRSTRLEN] = "";
        getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len);
        inet_ntop(AF_INET, &local.sin_addr, text, sizeof text);
        otherSources.push_back(text);
      }
      close(fd);
    }
  });
  constexpr int kRounds = 8;
  std::vector<Outcome> outcomes;
  for (int round = 0; round < kRounds; ++round) {
    Client client(brokerUri(), "race-" + std::to_string(round));
    outcomes.push_back(client.connect("eth0") == MQTTASYNC_SUCCESS ? client.wait() : Outcome::Failed);
  }
  stop = true;
  racer.join();

  EXPECT_EQ(outcomes, std::vector<Outcome>(kRounds, Outcome::Connected));
  for (int round = 0; round < kRounds; ++round)
    EXPECT_EQ(broker_.clientAddresses("race-" + std::to_string(round)),
              std::vector<std::string>{eth0_.box.address})
        << round;
  ASSERT_FALSE(otherSources.empty());
  EXPECT_EQ(otherErrors, std::vector<int>{});
  EXPECT_EQ(otherSources, std::vector<std::string>(otherSources.size(), wwan0_.box.address));
  ASSERT_FALSE(samePortErrors.empty());
  EXPECT_EQ(samePortErrors, std::vector<int>(samePortErrors.size(), EADDRNOTAVAIL));
}

// A server that speaks MQTT 3.1 only: the library's default version falls back to it, unbound
// within the attempt, bound at the next attempt (each bound attempt opens one socket), and the
// bound sockets stay on their interface.
TEST_F(MqttConnect2Box, ServerOfMqtt31IsReachedBoundToo) {
  ASSERT_NO_FATAL_FAILURE(buildBox(true));
  std::mutex lock;
  std::vector<std::string> seen;  // "level from-address" of each CONNECT
  TcpServer old(wwan0_.peer.address, [&](int fd, const std::string& peer) {
    int level = connectLevel(fd);
    {
      std::lock_guard<std::mutex> guard(lock);
      seen.push_back(std::to_string(level) + " " + peer);
    }
    // CONNACK: accepted for 3.1, "unacceptable protocol version" for anything else.
    const unsigned char connack[] = {0x20, 0x02, 0x00, static_cast<unsigned char>(level == 3 ? 0 : 1)};
    if (write(fd, connack, sizeof connack) != static_cast<ssize_t>(sizeof connack) || level != 3) return;
    char rest[256];
    pollfd p{fd, POLLIN, 0};
    while (poll(&p, 1, 3000) == 1 && read(fd, rest, sizeof rest) > 0) {
    }
  });
  ASSERT_GT(old.port(), 0);
  auto connects = [&] {
    std::lock_guard<std::mutex> guard(lock);
    return seen;
  };
  hbntest::NetnsScope inBox(box_);
  ASSERT_TRUE(inBox.ok());
  const std::string uri = tcpUri(wwan0_.peer.address, old.port());
  {
    Client unbound(uri, "old-unbound");
    ASSERT_EQ(unbound.connect(nullptr), MQTTASYNC_SUCCESS);
    EXPECT_EQ(unbound.wait(), Outcome::Connected);
  }
  EXPECT_EQ(connects(), (std::vector<std::string>{"4 " + wwan0_.box.address, "3 " + wwan0_.box.address}));
  {
    Client bound(uri, "old-bound");
    ASSERT_EQ(bound.connect("eth0"), MQTTASYNC_SUCCESS);
    EXPECT_EQ(bound.wait(), Outcome::Failed);
    ASSERT_EQ(bound.connect("eth0"), MQTTASYNC_SUCCESS);
    EXPECT_EQ(bound.wait(), Outcome::Connected);
    EXPECT_EQ(bound.callbacks(), 2);
  }
  EXPECT_EQ(connects(), (std::vector<std::string>{"4 " + wwan0_.box.address, "3 " + wwan0_.box.address,
                                                  "4 " + eth0_.box.address, "3 " + eth0_.box.address}));
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
