#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "hbn_net.h"
#include "hbn_log_capture.h"

namespace {

TEST(NetChecksum, MatchesTheInternetChecksum) {
  // RFC 1071 example: the words 0001 f203 f4f5 f6f7 sum to ddf2 (one's complement 220d).
  const uint8_t sample[] = {0x00, 0x01, 0xf2, 0x03, 0xf4, 0xf5, 0xf6, 0xf7};
  uint16_t sum = HBN_util_netChecksum(sample, sizeof sample);
  uint8_t stored[2];
  memcpy(stored, &sum, 2);  // memory order, as it goes into a packet
  EXPECT_EQ(stored[0], 0x22);
  EXPECT_EQ(stored[1], 0x0d);

  // An echo request with its checksum in place sums to zero.
  uint8_t echo[8] = {8, 0, 0, 0, 0x12, 0x34, 0, 0};
  sum = HBN_util_netChecksum(echo, 8);
  memcpy(echo + 2, &sum, 2);
  EXPECT_EQ(HBN_util_netChecksum(echo, 8), 0);

  const uint8_t zeros[8] = {};
  EXPECT_EQ(HBN_util_netChecksum(zeros, 8), 0xFFFF);
  const uint8_t odd[] = {0x01};
  EXPECT_EQ(HBN_util_netChecksum(odd, 1), 0xFFFE);
}

TEST(NetText, SplitCountsTokensUpToTen) {
  struct Case {
    const char* text;
    const char* delimiters;
    std::vector<std::string> tokens;
  } cases[] = {
      {"a,b,,c", ",", {"a", "b", "c"}},
      {"--x-", "-", {"x"}},
      {"", ",", {}},
      {"1 2\t3", " \t", {"1", "2", "3"}},
      {"1,2,3,4,5,6,7,8,9,10,11,12", ",", {"1", "2", "3", "4", "5", "6", "7", "8", "9", "10"}},
  };
  for (const Case& c : cases) {
    std::string text = c.text;
    char* tokens[10];
    int count = HBN_util_strSplit(&text[0], c.delimiters, tokens);
    ASSERT_EQ(count, static_cast<int>(c.tokens.size())) << c.text;
    for (int i = 0; i < count; ++i) EXPECT_EQ(tokens[i], c.tokens[static_cast<size_t>(i)]) << c.text;
  }
}

TEST(NetText, HexEncodeAndDecode) {
  const uint8_t bytes[] = {0x0A, 0xFF};
  char text[5] = {'x', 'x', 'x', 'x', 'x'};
  EXPECT_EQ(HBN_util_hexEncode(text, bytes, 2), 4);
  EXPECT_EQ(std::string(text, 5), "0AFFx") << "no terminator is written";

  struct Case {
    const char* text;
    int n;
    std::vector<uint8_t> bytes;
    int result;
  } cases[] = {
      {"0aFf", 4, {0x0A, 0xFF}, 2},
      {"zz1G", 4, {0x00, 0x10}, 2},
      {"123", 3, {0x12, 0x30}, 1},  // the trailing half byte is written, not counted
      {"", 0, {}, 0},
  };
  for (const Case& c : cases) {
    uint8_t out[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    EXPECT_EQ(HBN_util_hexDecode(out, c.text, c.n), c.result) << c.text;
    for (size_t i = 0; i < c.bytes.size(); ++i) EXPECT_EQ(out[i], c.bytes[i]) << c.text << " byte " << i;
  }
}

TEST(NetText, StrToIntNeedsTheWholeText) {
  struct Case {
    const char* text;
    int result;
    int value;
  } cases[] = {{"123", 0, 123},
               {"-45", 0, -45},
               {"+7", 0, 7},
               {"12a", -1, 12},
               {"", -1, 0},
               {"x", -1, 0},
               {"99999999999", -1, 2147483647}};
  for (const Case& c : cases) {
    int value = -999;
    EXPECT_EQ(HBN_util_strToInt(c.text, &value), c.result) << c.text;
    EXPECT_EQ(value, c.value) << c.text;
  }
}

TEST(NetText, DskTextBothWays) {
  uint8_t zero[16] = {};
  char text[48];
  memset(text, 'x', sizeof text);
  EXPECT_EQ(HBN_util_dskToText(zero, text), 0);
  EXPECT_STREQ(text, "00000-00000-00000-00000-00000-00000-00000-00000");

  const uint8_t dsk[16] = {0x12, 0x34, 0xFF, 0xFF, 0x00, 0x01, 0x80, 0x00,
                           0x00, 0x00, 0xAB, 0xCD, 0x01, 0x00, 0xFF, 0x00};
  EXPECT_EQ(HBN_util_dskToText(dsk, text), 0);
  EXPECT_STREQ(text, "04660-65535-00001-32768-00000-43981-00256-65280");
  uint8_t back[16] = {};
  EXPECT_EQ(HBN_util_dskFromText(text, back), 0);
  EXPECT_EQ(memcmp(back, dsk, 16), 0);

  struct Case {
    const char* text;
    int result;
  } cases[] = {
      {"1-2-3-4-5-6-7", -1},    {"1-2-3-4-5-6-7-8-9", -1}, {"1-2-3-4-5-6-7-8-9-10-11", -1},
      {"1-2-3-4x-5-6-7-8", -1}, {"1-2-3--4-5-6-7-8", 0},   {"70000-2-3-4-5-6-7-8", 0},
  };
  for (const Case& c : cases) {
    std::string copy = c.text;
    uint8_t out[16];
    memset(out, 0xEE, sizeof out);
    EXPECT_EQ(HBN_util_dskFromText(&copy[0], out), c.result) << c.text;
    if (c.result == 0) {
      EXPECT_EQ(out[7], 4);
      EXPECT_EQ(out[15], 8);
    } else {
      EXPECT_EQ(out[0], 0xEE) << "nothing written on refusal: " << c.text;
    }
  }
  std::string big = "70000-2-3-4-5-6-7-8";
  uint8_t out[16];
  ASSERT_EQ(HBN_util_dskFromText(&big[0], out), 0);
  EXPECT_EQ((out[0] << 8) | out[1], 70000 & 0xFFFF);
}

TEST(NetText, TimeFromTextInLocalTime) {
  const char* oldZone = getenv("TZ");
  std::string saved = oldZone ? oldZone : "";
  setenv("TZ", "UTC0", 1);
  tzset();
  time_t seconds = 0;
  EXPECT_EQ(HBN_util_timeFromText("2024/1/2 3:04:05", &seconds), 0);
  EXPECT_EQ(seconds, static_cast<time_t>(1704164645));
  setenv("TZ", "JST-9", 1);
  tzset();
  EXPECT_EQ(HBN_util_timeFromText("2024/1/2 12:04:05", &seconds), 0);
  EXPECT_EQ(seconds, static_cast<time_t>(1704164645));
  seconds = 77;
  EXPECT_EQ(HBN_util_timeFromText("2024/1/2", &seconds), -1);
  EXPECT_EQ(HBN_util_timeFromText("2024-01-02 03:04:05", &seconds), -1);
  EXPECT_EQ(seconds, 77);
  // Around 2038: the last second a 32-bit time_t holds converts everywhere; a later date
  // converts exactly with a 64-bit time_t and is refused, never wrapped, with a 32-bit one.
  setenv("TZ", "UTC0", 1);
  tzset();
  EXPECT_EQ(HBN_util_timeFromText("2038/1/19 3:14:07", &seconds), 0);
  EXPECT_EQ(static_cast<long long>(seconds), 2147483647LL);
  seconds = 77;
  if (sizeof(time_t) >= 8) {
    EXPECT_EQ(HBN_util_timeFromText("2040/1/2 3:04:05", &seconds), 0);
    EXPECT_EQ(static_cast<long long>(seconds), 2209086245LL);
  } else {
    EXPECT_EQ(HBN_util_timeFromText("2040/1/2 3:04:05", &seconds), -1);
    EXPECT_EQ(seconds, 77);
  }
  if (oldZone) {
    setenv("TZ", saved.c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
}

TEST(NetResolve, DottedTextNamesAndNone) {
  EXPECT_EQ(HBN_util_netResolve("192.0.2.7"), inet_addr("192.0.2.7"));
  EXPECT_EQ(HBN_util_netResolve("127.0.0.1"), htonl(0x7F000001));
  EXPECT_EQ(HBN_util_netResolve("localhost"), htonl(0x7F000001));
  EXPECT_EQ(HBN_util_netResolve("no-such-host.invalid"), 0xFFFFFFFFu);
  EXPECT_EQ(HBN_util_netResolve(nullptr), 0xFFFFFFFFu);
}

TEST(NetGetInfo, LoopbackAndMissingInterface) {
  hbntest::SyslogRecorder syslog;
  uint8_t hw[6];
  uint8_t addr[16];
  memset(hw, 0xEE, sizeof hw);
  memset(addr, 0xEE, sizeof addr);
  HBN_util_netGetInfo("lo", hw, addr);
  EXPECT_EQ(addr[0], 127);
  EXPECT_EQ(addr[3], 1);
  for (int i = 4; i < 16; ++i) EXPECT_EQ(addr[i], 0) << i;
  for (int i = 0; i < 6; ++i) EXPECT_EQ(hw[i], 0) << i;
  EXPECT_TRUE(hbntest::SyslogRecorder::has("HBN-D:MAC:000000000000\n"));
  EXPECT_TRUE(hbntest::SyslogRecorder::has("HBN-D:ADDR:127.0.0.1\n"));

  hbntest::SyslogRecorder::clear();
  memset(hw, 0xEE, sizeof hw);
  memset(addr, 0xEE, sizeof addr);
  // Longer than an interface name may be: cut to 15 characters, never overrunning the request.
  HBN_util_netGetInfo("no-such-interface-with-a-long-name", hw, addr);
  for (int i = 0; i < 6; ++i) EXPECT_EQ(hw[i], 0);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(addr[i], 0);
  EXPECT_EQ(hbntest::SyslogRecorder::count("HBN-E:ioctl fail(-1)\n"), 1);
}

// Feeds crafted IPv4 packets to the reply check through a datagram socket pair.
class PingReply : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM, 0, fds_), 0); }
  void TearDown() override {
    close(fds_[0]);
    close(fds_[1]);
  }
  int check(const std::vector<uint8_t>& packet, uint32_t target) {
    EXPECT_EQ(write(fds_[1], packet.data(), packet.size()), static_cast<ssize_t>(packet.size()));
    return HBN_util_netPingRecvPacket(fds_[0], target);
  }
  static std::vector<uint8_t> ipPacket(uint32_t source, int type, int headerWords = 5, size_t total = 28) {
    std::vector<uint8_t> packet(total, 0);
    packet[0] = static_cast<uint8_t>(0x40 | headerWords);
    uint32_t destination = inet_addr("10.0.0.2");
    memcpy(&packet[12], &source, 4);
    memcpy(&packet[16], &destination, 4);
    size_t at = static_cast<size_t>(headerWords) * 4;
    if (at < total) packet[at] = static_cast<uint8_t>(type);
    return packet;
  }
  int fds_[2];
  hbntest::SyslogRecorder syslog_;
};

TEST_F(PingReply, AcceptsOnlyAnEchoReplyFromTheTarget) {
  uint32_t target = inet_addr("10.0.0.1");
  EXPECT_EQ(check(ipPacket(target, 0), target), 0);
  EXPECT_TRUE(hbntest::SyslogRecorder::has("HBN-D:ping reply=ECHO REPLY)\n"));
  EXPECT_TRUE(hbntest::SyslogRecorder::has("HBN-D:ping dest      =0x0100000A\n"));
  EXPECT_TRUE(hbntest::SyslogRecorder::has("HBN-D:ping reply src =0x0100000A\n"));
  EXPECT_TRUE(hbntest::SyslogRecorder::has("HBN-D:ping reply dest=0x0200000A\n"));

  EXPECT_EQ(check(ipPacket(target, 3), target), -1);
  EXPECT_TRUE(hbntest::SyslogRecorder::has("HBN-D:ping reply=3\n"));
  EXPECT_EQ(check(ipPacket(inet_addr("10.0.0.9"), 0), target), -1);
  EXPECT_EQ(check(std::vector<uint8_t>(19, 0x45), target), -1);
  EXPECT_EQ(check(ipPacket(target, 0, 15, 60), target), -1) << "options leave no room for the ICMP header";
  EXPECT_EQ(check(ipPacket(target, 0, 15, 68), target), 0);
}

TEST(NetPing, LoopbackAnswers) {
  EXPECT_EQ(HBN_util_netPing(nullptr, htonl(0x7F000001)), -1);
  EXPECT_EQ(HBN_util_netPing("lo", 0xFFFFFFFFu), -1);
  int probe = socket(AF_INET, SOCK_RAW, IPPROTO_ICMP);
  if (probe < 0)
    GTEST_SKIP() << "raw ICMP sockets are not permitted here (" << strerror(errno) << "); run as root";
  close(probe);
  EXPECT_EQ(HBN_util_netPing("lo", htonl(0x7F000001)), 0);
}

// Runs `body` in a child process inside a fresh network namespace after `setup` (ip commands)
// succeeded there; returns the child's exit status, or 77 when namespaces or ip are unavailable.
int inNetNamespace(const char* setup, int (*body)()) {
  pid_t child = fork();
  if (child == 0) {
    if (unshare(CLONE_NEWNET) != 0) _exit(77);
    std::string script = std::string("(") + setup + ") >/dev/null 2>&1";
    if (system(script.c_str()) != 0) _exit(77);
    _exit(body());
  }
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

int readLongNameWithoutAddress() {
  hbntest::SyslogRecorder syslog;
  uint8_t hw[6];
  uint8_t addr[16];
  memset(addr, 0xEE, sizeof addr);
  // 15 characters name the interface; the rest is cut away.
  HBN_util_netGetInfo("hbnx0123456789aTAIL", hw, addr);
  const uint8_t mac[6] = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
  if (memcmp(hw, mac, 6) != 0) return 1;
  for (uint8_t byte : addr)
    if (byte != 0) return 2;
  if (!hbntest::SyslogRecorder::has("HBN-D:MAC:021122334455\n")) return 3;
  if (hbntest::SyslogRecorder::count("HBN-E:ioctl fail(-1)\n") != 1) return 4;
  return 0;
}

TEST(NetGetInfo, NameIsCutTo15AndAMissingAddressStaysZero) {
  int result = inNetNamespace(
      "ip link add hbnx0123456789a type veth peer name hbnpeer && "
      "ip link set dev hbnx0123456789a address 02:11:22:33:44:55",
      readLongNameWithoutAddress);
  if (result == 77)
    GTEST_SKIP() << "needs root, network namespaces and veth links (ip) to build the interface";
  EXPECT_EQ(result, 0) << "1 wrong MAC, 2 address not zero, 3 no MAC line, 4 not exactly one ioctl failure";
}

int pingLoopbackOnTwoInterfaces() {
  if (HBN_util_netPing("lo", htonl(0x7F000001)) != 0) return 1;
  // Bound to another interface, the loopback address is out of reach.
  if (HBN_util_netPing("hbnveth0", htonl(0x7F000001)) != -1) return 2;
  return 0;
}

TEST(NetPing, TheEchoIsBoundToTheNamedInterface) {
  int result = inNetNamespace(
      "ip link set lo up && ip link add hbnveth0 type veth peer name hbnveth1 && "
      "ip addr add 10.9.9.1/24 dev hbnveth0 && ip link set hbnveth0 up && ip link set hbnveth1 up",
      pingLoopbackOnTwoInterfaces);
  if (result == 77)
    GTEST_SKIP() << "needs root, network namespaces and veth links (ip) to build the interfaces";
  EXPECT_EQ(result, 0) << "1 no answer on lo, 2 answer although bound to another interface";
}

}  // namespace
