// The simulator as a program: pipes appear, an agent (played here on raw FIFOs) gets answers,
// control lines change the answers, and the packet log records what arrived.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "hbn_test.h"
#include "zipgw_sim_client.h"

namespace {

using zipgwsim::Bytes;
using zipgwsim::fromHex;

TEST(ZipSimHex, RoundTripAndInvalidText) {
  EXPECT_EQ(zipgwsim::toHex(fromHex("23 02,8a")), "23028A");
  EXPECT_TRUE(fromHex("2").empty());
  EXPECT_TRUE(fromHex("zz").empty());
}

class ZipSimAgent : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(sim_.start());
    toSim_ = open(sandbox_.path("/tmp/zipgwr").c_str(), O_RDWR | O_CLOEXEC);
    // Blocks until the simulator has opened its write end (it retries every few ms).
    fromSim_ = open(sandbox_.path("/tmp/zipgww").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(toSim_, 0);
    ASSERT_GE(fromSim_, 0);
    ASSERT_TRUE(sim_.waitConnected());
  }
  void TearDown() override {
    if (toSim_ >= 0) close(toSim_);
    if (fromSim_ >= 0) close(fromSim_);
  }
  void send(const Bytes& body) {
    Bytes p{static_cast<uint8_t>(body.size()), static_cast<uint8_t>(body.size() >> 8)};
    p.insert(p.end(), body.begin(), body.end());
    ASSERT_EQ(write(toSim_, p.data(), p.size()), static_cast<ssize_t>(p.size()));
  }
  Bytes next(int timeoutMs = 2000) {
    uint8_t head[2];
    struct pollfd p = {fromSim_, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) != 1 || read(fromSim_, head, 2) != 2) return {};
    Bytes body(static_cast<size_t>(head[0] | (head[1] << 8)));
    size_t got = 0;
    while (got < body.size()) {
      ssize_t r = read(fromSim_, body.data() + got, body.size() - got);
      if (r <= 0) return {};
      got += static_cast<size_t>(r);
    }
    return body;
  }
  // A node list request from the agent with Z/IP sequence `seq`.
  Bytes nodeListGet(uint8_t seq) {
    return Bytes{0x00, 0x23, 0x02, 0x80, 0xD0, seq, 0x00, 0x00, 0x03, 0x02, 0x00, 0x4D, 0x0A, 0x00};
  }

  hbntest::Sandbox sandbox_;
  zipgwsim::Client sim_{sandbox_.root(), {"--gw", "2", "--home", "01020304", "--nodes", "5"}};
  int toSim_ = -1;
  int fromSim_ = -1;
};

TEST_F(ZipSimAgent, AnswersAndLogsAndFollowsItsScript) {
  send(nodeListGet(1));
  EXPECT_EQ(next(), (Bytes{0x00, 0x23, 0x02, 0x40, 0x00, 0x01, 0x00, 0x00}));
  Bytes list = next();
  ASSERT_EQ(list.size(), 8u + 3 + 34);
  EXPECT_EQ(Bytes(list.begin() + 11, list.begin() + 16), (Bytes{0x01, 0x02, 0x03, 0x04, 0x02}));
  EXPECT_EQ(list[16], 0x12);  // nodes 2 (itself) and 5
  ASSERT_TRUE(sim_.waitReceived(1));
  EXPECT_EQ(sim_.received()[0], nodeListGet(1));
  EXPECT_EQ(sim_.commands()[0], (Bytes{0x00, 0x4D, 0x0A, 0x00}));

  ASSERT_TRUE(sim_.command("reply nak 1"));
  send(nodeListGet(2));
  EXPECT_EQ(next()[3], 0x20);
  send(nodeListGet(3));
  EXPECT_EQ(next()[3], 0x40);  // back to acknowledging
  next();

  ASSERT_TRUE(sim_.command("report 5 2503FF"));
  EXPECT_EQ(next(),
            (Bytes{0x05, 0x23, 0x02, 0x80, 0x40, 0x03, 0x00, 0x00, 0x25, 0x03, 0xFF}));  // its third report
  ASSERT_TRUE(sim_.command("raw 0100AB"));
  EXPECT_EQ(next(), (Bytes{0xAB}));
  ASSERT_TRUE(sim_.command("bogus"));
  bool sawError = false;
  for (auto& line : sim_.logLines()) sawError |= line == "ERR bogus";
  EXPECT_TRUE(sawError);

  ASSERT_TRUE(sim_.command("hangup"));
  struct pollfd p = {fromSim_, POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 2000), 1);
  EXPECT_TRUE(p.revents & POLLHUP);
  ASSERT_TRUE(sim_.command("quit"));
  EXPECT_EQ(sim_.waitExit(), 0);
}

struct NetworkCase {
  const char* control;  // "" for none
  Bytes command;        // to the gateway (node 2)
  std::vector<Bytes> replies;
};

// The network model: each command, after the acknowledgement, gets the gateway's reports.
TEST_F(ZipSimAgent, NetworkModelAnswers) {
  Bytes dsk = fromHex("0102030405060708090A0B0C0D0E0F10");
  Bytes pvReport = fromHex("7804050010");
  pvReport.insert(pvReport.end(), dsk.begin(), dsk.end());
  for (uint8_t b : fromHex("006E0209010000000000")) pvReport.push_back(b);
  std::vector<NetworkCase> cases = {
      {"leave 5", fromHex("3403000001"), {fromHex("3404000605")}},
      {"", fromHex("34070105"), {fromHex("3408010205")}},  // node 5 is gone: not removed
      {"replace done", fromHex("340902070007"), {fromHex("340A0203070000"), fromHex("340A0204070000")}},
      {"", fromHex("340902070007"), {fromHex("340A0203070000")}},
      {"pv 0102030405060708090A0B0C0D0E0F10 9", fromHex("780305FF"), {pvReport}},
      {"", fromHex("670905"), {fromHex("670A05C4")}},
      {"", fromHex("4D0607"), {fromHex("4D070706")}},
      {"stopreport on", fromHex("340108000500"), {fromHex("34020807000000")}},
      {"stopreport off", fromHex("340108000500"), {}},
      {"learn 7", fromHex("4D01060001"), {fromHex("4D0206060007")}},
  };
  uint8_t seq = 0;
  for (auto& c : cases) {
    SCOPED_TRACE(zipgwsim::toHex(c.command));
    if (c.control[0] != '\0') {
      ASSERT_TRUE(sim_.command(c.control));
    }
    Bytes body{0x02, 0x23, 0x02, 0x80, 0xD0, ++seq, 0x00, 0x00, 0x03, 0x02, 0x00};
    body.insert(body.end(), c.command.begin(), c.command.end());
    send(body);
    EXPECT_EQ(next()[3], 0x40);
    for (auto& expected : c.replies) {
      Bytes reply = next();
      ASSERT_GE(reply.size(), 8u);
      EXPECT_EQ(Bytes(reply.begin() + 8, reply.end()), expected);
    }
    EXPECT_TRUE(next(50).empty());
  }
  // A SmartStart join, then the node's inclusion.
  ASSERT_TRUE(sim_.command("smartstart 0102030405060708090A0B0C0D0E0F10 12"));
  Bytes join = next();
  ASSERT_EQ(join.size(), 8u + 20);
  EXPECT_EQ(Bytes(join.begin() + 8, join.begin() + 10), fromHex("3415"));
  EXPECT_EQ(Bytes(join.begin() + 12, join.end()), dsk);
  Bytes added = next();
  ASSERT_GE(added.size(), 14u);
  EXPECT_EQ(Bytes(added.begin() + 8, added.begin() + 10), fromHex("3402"));
  EXPECT_EQ(Bytes(added.begin() + 11, added.begin() + 14), fromHex("06000C"));  // done, node 12
  // After learning, the gateway is node 7 of a new network.
  send(nodeListGet(++seq));
  next();
  Bytes list = next();
  ASSERT_GE(list.size(), 16u);
  EXPECT_EQ(list[0], 7);
  EXPECT_EQ(list[15], 7);
}

}  // namespace
