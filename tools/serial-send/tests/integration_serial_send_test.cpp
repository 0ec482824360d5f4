// serial-send against a pseudo-terminal whose far end answers in bursts.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include "hbn_pty.h"
#include "hbn_test.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// The device at the far end: the pty master, plus a slave descriptor kept open so the
// test can look at the port settings while the tool runs.
class Modem {
 public:
  explicit Modem(const std::string& link) {
    termios t = pty_.settings();
    t.c_lflag |= ICANON | ECHO;  // a state the tool must change and then put back
    cfsetispeed(&t, B9600);
    cfsetospeed(&t, B9600);
    pty_.apply(t);
    ok_ = pty_.linkAs(link);
  }
  ~Modem() {
    if (far_.joinable()) far_.join();
  }
  bool ok() const { return ok_; }
  termios settings() const { return pty_.settings(); }

  // In the background: wait for a command ending in `lastByte`, note the port settings,
  // then send each burst after its delay.
  void answer(char lastByte, std::vector<std::pair<int, std::string>> bursts) {
    received_.clear();
    far_ = std::thread([this, lastByte, bursts] {
      pollfd p{pty_.master(), POLLIN, 0};
      while (poll(&p, 1, 3000) > 0) {
        char buf[512];
        ssize_t got = read(pty_.master(), buf, sizeof buf);
        if (got <= 0) break;
        received_.append(buf, static_cast<size_t>(got));
        if (received_.back() == lastByte) break;
      }
      during_ = settings();
      for (const auto& burst : bursts) {
        std::this_thread::sleep_for(milliseconds(burst.first));
        if (write(pty_.master(), burst.second.data(), burst.second.size()) < 0) break;
      }
      lastSent_ = Clock::now();
    });
  }
  // After the run: what the tool sent, the settings it had set, when the last burst left.
  void finish() {
    if (far_.joinable()) far_.join();
  }
  const std::string& received() const { return received_; }
  const termios& during() const { return during_; }
  Clock::time_point lastSent() const { return lastSent_; }

 private:
  hbntest::Pty pty_;
  bool ok_ = false;
  std::thread far_;
  std::string received_;
  termios during_{};
  Clock::time_point lastSent_;
};

// A path of exactly 19 characters (the longest the tool takes) pointing at `target`.
class ShortLink {
 public:
  ShortLink(const std::string& prefix, const std::string& target)
      : path_("/tmp/" + prefix + std::to_string(1000000000 + getpid() % 1000000000).substr(1)) {
    path_.resize(19, '_');
    unlink(path_.c_str());
    ok_ = symlink(target.c_str(), path_.c_str()) == 0;
  }
  ~ShortLink() { unlink(path_.c_str()); }
  const std::string& path() const { return path_; }
  bool ok() const { return ok_; }

 private:
  std::string path_;
  bool ok_ = false;
};

hbntest::Result serialSend(const std::vector<std::string>& args, const std::string& scale = "10") {
  std::vector<std::string> argv{"serial-send"};
  argv.insert(argv.end(), args.begin(), args.end());
  return hbntest::run(argv, {"HBN_TIME_SCALE=" + scale}, "", 10000);
}

TEST(SerialSend, DefaultsSendWithCrLfAt115200AndRestoreThePort) {
  hbntest::Sandbox box;
  Modem modem(box.path("/dev/ttyUSB0"));
  ASSERT_TRUE(modem.ok());
  termios before = modem.settings();
  modem.answer('\n', {{0, "\r\nOK\r\n"}});
  auto r = serialSend({"AT"});
  modem.finish();
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(modem.received(), "AT\r\n");
  EXPECT_EQ(r.out, "\"AT<CR><LF>\"\n\r\nOK\r\n");

  const termios& t = modem.during();
  EXPECT_EQ(cfgetospeed(&t), B115200);
  EXPECT_EQ(cfgetispeed(&t), B115200);
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ECHOE | ISIG), 0u);
  EXPECT_EQ(t.c_oflag & OPOST, 0u);
  EXPECT_TRUE(t.c_cflag & CLOCAL);
  EXPECT_TRUE(t.c_cflag & CREAD);
  EXPECT_EQ(t.c_cc[VMIN], 0);

  termios after = modem.settings();
  EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before));
  EXPECT_EQ(after.c_lflag, before.c_lflag);
}

TEST(SerialSend, TerminatorsAndBaudWords) {
  hbntest::Sandbox box;
  Modem modem(box.path("/dev/port"));
  ASSERT_TRUE(modem.ok());
  ShortLink link("hbnsp", box.path("/dev/port"));
  ASSERT_TRUE(link.ok());
  std::string longest(255, 'x');
  struct Case {
    std::vector<std::string> args;
    std::string sent, shown;
    speed_t speed;
  } cases[] = {
      {{"-l", "r", "ATZ"}, "ATZ\r", "\"ATZ<CR>\"\n", B115200},
      {{"-l", "n", "ATZ"}, "ATZ\n", "\"ATZ<LF>\"\n", B115200},
      {{"-b", "9600", "AT"}, "AT\r\n", "\"AT<CR><LF>\"\n", B9600},
      {{"-b", "B9600", "AT"}, "AT\r\n", "\"AT<CR><LF>\"\n", B9600},
      {{"-b", "4800", "-l", "rn", "AT"}, "AT\r\n", "\"AT<CR><LF>\"\n", B4800},
      {{"first", "-b", "B57600", "second"}, "second\r\n", "\"second<CR><LF>\"\n", B57600},
      {{"-l", "n", longest}, longest + "\n", "\"" + longest + "<LF>\"\n", B115200},
  };
  for (const auto& c : cases) {
    modem.answer(c.sent.back(), {});
    std::vector<std::string> args{"-d", link.path(), "-t", "1"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    auto r = serialSend(args);
    modem.finish();
    EXPECT_EQ(r.status, 0) << c.args[1];
    EXPECT_EQ(modem.received(), c.sent);
    EXPECT_EQ(r.out, c.shown);
    termios during = modem.during();
    EXPECT_EQ(cfgetospeed(&during), c.speed) << c.args[1];
  }
}

TEST(SerialSend, HelpPrintsTheUsageWithDefaults) {
  std::string program = hbntest::binPath("serial-send");
  std::string help = ">help\n  usage: " + program +
                     " \"send command\" (option: [-d][-b][-t][-l][-h(--help)])\n"
                     "    d: device (ex. /dev/ttyUSB0)  def. /dev/ttyUSB0\n"
                     "    b: baudrate (Valid values are 4800(B4800),9600(B9600),19200(B19200),\n"
                     "                  38400(B38400),57600(B57600) and 115200(B115200))  def. B115200\n"
                     "    t: wait time(s) before terminating the command.  def. 3\n"
                     "    l: line terminator (\"r\" or \"n\" or \"rn\")  def. \"rn\"\n"
                     "                        \"r\" means <CR>, \"n\" means <LF>\n"
                     "    h: this help (--help)\n";
  for (const auto& args :
       std::vector<std::vector<std::string>>{{"-h"}, {"--help"}, {"-t", "9", "AT", "-h"}}) {
    auto r = serialSend(args);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, help);
  }
}

TEST(SerialSend, BadArgumentsExitWith255) {
  hbntest::Sandbox box;  // no device: none of these may get as far as opening one
  const std::string baudError =
      "Invalid Baudrate! Valid values are 4800(B4800),9600(B9600),19200(B19200),38400(B38400),"
      "57600(B57600) and 115200(B115200).\n";
  struct Case {
    std::vector<std::string> args;
    std::string out;
  } cases[] = {
      {{}, "\"send command\" is necessary.\n"},
      {{"-x", "AT"}, "wrong option: -x\n"},
      {{"--verbose", "AT"}, "wrong option: --verbose\n"},
      {{"-dx", "AT"}, "wrong option: -dx\n"},
      {{"-t", "0", "AT"}, "wrong -t option: 0\n"},
      {{"-t", "x", "AT"}, "wrong -t option: x\n"},
      {{"-t", "-3", "AT"}, "wrong -t option: -3\n"},
      {{"-l", "nr", "AT"}, "wrong -l option: nr, valid option is \"r\" or \"n\" or \"rn\".\n"},
      {{"-b", "1200", "AT"}, baudError},
      {{"-b", "B115200000000000000000000000000000", "AT"}, baudError},
      {{"-t", "2"}, "\"send command\" is NULL!\n"},
      {{"-d", "/dev/a-very-long-name0"},
       "wrong -d option: /dev/a-very-long-name0, the device path is longer than 19 characters.\n"},
      {{std::string(256, 'x')}, "\"send command\" is too long (more than 255 characters).\n"},
  };
  for (const auto& c : cases) {
    auto r = serialSend(c.args);
    EXPECT_EQ(r.status, 255) << c.out;
    EXPECT_EQ(r.out, c.out);
  }
}

TEST(SerialSend, DeviceErrorsAreReported) {
  hbntest::Sandbox box;
  auto r = serialSend({"AT"});  // the default device does not exist in the sandbox
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err, box.path("/dev/ttyUSB0") + ": No such file or directory\n");
  EXPECT_EQ(r.out, "");

  // A path of exactly 19 characters is taken; this one is not a terminal.
  box.write("/file", "");
  ShortLink file("hbnsf", box.path("/file"));
  ASSERT_TRUE(file.ok());
  ASSERT_EQ(file.path().size(), 19u);
  r = serialSend({"-d", file.path(), "AT"});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, "tcgetattr() error\n");
  EXPECT_EQ(box.read("/file"), "");
}

// With a time scale of 10 a read window is 100 ms: a silent device ends the tool after
// about three windows for -t 3.
TEST(SerialSend, SilentDeviceEndsAfterTheQuietTime) {
  hbntest::Sandbox box;
  Modem modem(box.path("/dev/ttyUSB0"));
  ASSERT_TRUE(modem.ok());
  auto start = Clock::now();
  auto r = serialSend({"-t", "3", "AT"});
  auto took = Clock::now() - start;
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "\"AT<CR><LF>\"\n");
  EXPECT_GE(took, milliseconds(280));
  EXPECT_LT(took, milliseconds(2000));
}

// Bursts 1.5 read windows apart keep resetting the idle count, so -t 2 outlasts them all.
TEST(SerialSend, BurstsKeepTheToolListening) {
  hbntest::Sandbox box;
  Modem modem(box.path("/dev/ttyUSB0"));
  ASSERT_TRUE(modem.ok());
  // Time scale 5: 200 ms windows.
  modem.answer('\n', {{0, "one;"}, {300, "two;"}, {300, "three;"}, {300, "four\n"}});
  auto r = serialSend({"-t", "2", "AT"}, "5");
  auto ended = Clock::now();
  modem.finish();
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "\"AT<CR><LF>\"\none;two;three;four\n");
  EXPECT_GE(ended - modem.lastSent(), milliseconds(350));
}

// One burst longer than the answer buffer is printed whole, in order.
TEST(SerialSend, LongBurstIsPrintedWhole) {
  hbntest::Sandbox box;
  Modem modem(box.path("/dev/ttyUSB0"));
  ASSERT_TRUE(modem.ok());
  std::string big;
  for (int i = 0; big.size() < 2000; ++i) big += std::to_string(i) + ",";
  modem.answer('\n', {{0, big}});
  auto r = serialSend({"-t", "1", "AT"});
  modem.finish();
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "\"AT<CR><LF>\"\n" + big);
}

}  // namespace
