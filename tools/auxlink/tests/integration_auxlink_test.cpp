// auxlink against a pseudo-terminal standing in for the sub-MCU's serial port.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include "hbn_pty.h"
#include "hbn_test.h"

namespace {

using Clock = std::chrono::steady_clock;

// The far end of the port: the pty master, plus a slave descriptor kept open so the
// test can set and read the port's settings.
class SubMcu {
 public:
  explicit SubMcu(const hbntest::Sandbox& box) { ok_ = pty_.linkAs(box.path("/dev/ttyS1")); }
  bool ok() const { return ok_; }

  termios settings() const { return pty_.settings(); }
  void apply(const termios& t) { pty_.apply(t); }
  void setSpeed(speed_t speed) {
    termios t = settings();
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
    apply(t);
  }

  // Everything the tool wrote, read until the line stays quiet for a moment.
  std::string received() {
    std::string out;
    pollfd p{pty_.master(), POLLIN, 0};
    while (poll(&p, 1, 100) > 0) {
      char buf[256];
      ssize_t got = read(pty_.master(), buf, sizeof buf);
      if (got <= 0) break;
      out.append(buf, static_cast<size_t>(got));
    }
    return out;
  }

 private:
  hbntest::Pty pty_;
  bool ok_ = false;
};

std::string usage() { return "Usage: " + hbntest::binPath("auxlink") + " <-b | -h | -e | -E | -r | -g>\n"; }

hbntest::Result auxlink(const std::vector<std::string>& args) {
  std::vector<std::string> argv{"auxlink"};
  argv.insert(argv.end(), args.begin(), args.end());
  return hbntest::run(argv);
}

TEST(Auxlink, EachOptionSendsItsCommandOnce) {
  hbntest::Sandbox box;
  SubMcu mcu(box);
  ASSERT_TRUE(mcu.ok());
  mcu.setSpeed(B38400);
  struct Case {
    std::vector<std::string> args;
    std::string sent;
  } cases[] = {
      {{"-b"}, "$KIDOU\r\n"},
      {{"-h"}, "$SET_HEARTBEAT\r\n"},
      {{"-e"}, "$SET_HEARTBEAT_EN\r\n"},
      {{"-E"}, "$SET_HEARTBEAT_DI\r\n"},
      {{"-r"}, "$SET_HARDRESET\r\n"},
      {{"-g"}, "$GET_STATUS\r\n"},
      {{"-b", "-h", "-g"}, "$GET_STATUS\r\n"},  // the third selects again
      {{"-bhE"}, "$SET_HEARTBEAT_DI\r\n"},
  };
  for (const auto& c : cases) {
    auto r = auxlink(c.args);
    EXPECT_EQ(r.status, 0) << c.args[0];
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(mcu.received(), c.sent) << c.args[0];
  }
  termios after = mcu.settings();
  EXPECT_EQ(cfgetospeed(&after), B38400);
}

TEST(Auxlink, UsageErrorsNeverOpenThePort) {
  hbntest::Sandbox box;  // no port: opening it would print "WAR:device open fail."
  for (const auto& args : std::vector<std::vector<std::string>>{
           {}, {"-h", "-e"}, {"-x"}, {"-b", "-x"}, {"-b", "extra"}, {"extra"}, {"-b", "-e", "-r", "-g"}}) {
    auto r = auxlink(args);
    EXPECT_EQ(r.status, 1) << args.size();
    EXPECT_EQ(r.out, usage());
  }
}

TEST(Auxlink, DeviceErrorsExitWithOne) {
  hbntest::Sandbox box;
  auto r = auxlink({"-b"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "WAR:device open fail.\n");

  box.write("/dev/ttyS1", "");  // not a terminal
  r = auxlink({"-b"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "ERR:get device attr fail\n");
  EXPECT_EQ(box.read("/dev/ttyS1"), "");
}

// The one real-time wait of the suite: the port starts at 9600 and must be switched to
// 38400 one second later, keeping every setting the tool does not own. (A pty forces
// 8 data bits and no parity by itself, so the kept flags checked are others.)
TEST(Auxlink, PortAt9600IsSwitchedTo38400AfterOneSecond) {
  hbntest::Sandbox box;
  SubMcu mcu(box);
  ASSERT_TRUE(mcu.ok());
  termios before = mcu.settings();
  cfsetispeed(&before, B9600);
  cfsetospeed(&before, B9600);
  before.c_cflag = (before.c_cflag & ~(CSIZE | CREAD | CLOCAL)) | CS7 | PARODD | CSTOPB;
  before.c_iflag |= IXON;
  before.c_cc[VMIN] = 5;
  mcu.apply(before);

  auto start = Clock::now();
  auto r = auxlink({"-r"});
  auto took = Clock::now() - start;
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(mcu.received(), "$SET_HARDRESET\r\n");
  EXPECT_GE(took, std::chrono::milliseconds(1000));

  termios after = mcu.settings();
  EXPECT_EQ(cfgetospeed(&after), B38400);
  EXPECT_EQ(cfgetispeed(&after), B38400);
  EXPECT_EQ(after.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_TRUE(after.c_cflag & CREAD);
  EXPECT_TRUE(after.c_cflag & CLOCAL);
  EXPECT_TRUE(after.c_cflag & PARODD);
  EXPECT_TRUE(after.c_cflag & CSTOPB);
  EXPECT_TRUE(after.c_iflag & IXON);
  EXPECT_EQ(after.c_cc[VMIN], 5);

  // Already at 38400: sent at once, settings untouched.
  start = Clock::now();
  r = auxlink({"-r"});
  EXPECT_EQ(r.status, 0);
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(900));
  EXPECT_EQ(mcu.received(), "$SET_HARDRESET\r\n");
}

TEST(Auxlink, OtherSpeedsAreLeftAlone) {
  hbntest::Sandbox box;
  SubMcu mcu(box);
  ASSERT_TRUE(mcu.ok());
  mcu.setSpeed(B115200);
  auto r = auxlink({"-g"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(mcu.received(), "$GET_STATUS\r\n");
  termios after = mcu.settings();
  EXPECT_EQ(cfgetospeed(&after), B115200);
}

}  // namespace
