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
  Bytes next() {
    uint8_t head[2];
    struct pollfd p = {fromSim_, POLLIN, 0};
    if (poll(&p, 1, 2000) != 1 || read(fromSim_, head, 2) != 2) return {};
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

}  // namespace
