#include <gtest/gtest.h>

#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include <syslog.h>

#include "hbn_log.h"
#include "hbn_test.h"
#include "hbn_log_capture.h"

namespace {

struct timespec g_fakeNow;
void fakeClock(struct timespec* now) { *now = g_fakeNow; }
void logFromHere() { HBN_LOG(HBN_LOG_INFO, "hello\n"); }

class Log : public ::testing::Test {
 protected:
  void SetUp() override {
    HBN_log_setFacility(0);
    HBN_log_setDebugToSyslog(true);
  }
  void TearDown() override {
    HBN_log_setFacility(0);
    HBN_log_setDebugToSyslog(true);
    HBN_log_setClockHook(nullptr);
  }
  hbntest::SyslogRecorder syslog_;
};

TEST_F(Log, ShortFormPrefixAndPriorityPerLevel) {
  struct Case {
    int level;
    const char* line;
    int priority;
  } cases[] = {{HBN_LOG_DEBUG, "HBN-D:n=1\n", LOG_DEBUG},
               {HBN_LOG_INFO, "HBN-I:n=1\n", LOG_INFO},
               {HBN_LOG_WARN, "HBN-W:n=1\n", LOG_WARNING},
               {HBN_LOG_ERROR, "HBN-E:n=1\n", LOG_ERR}};
  for (int facility : {0, LOG_LOCAL5}) {
    HBN_log_setFacility(facility);
    for (const Case& c : cases) {
      hbntest::SyslogRecorder::clear();
      std::string err = hbntest::captureStderr([&] { HBN_log_print(c.level, "n=%d\n", 1); });
      EXPECT_EQ(err, c.line);
      auto lines = hbntest::SyslogRecorder::lines();
      ASSERT_EQ(lines.size(), 1u);
      EXPECT_EQ(lines[0].first, c.priority | facility);
      EXPECT_EQ(lines[0].second, c.line);
    }
  }
}

TEST_F(Log, DetailedFormPadsSecondsAndMilliseconds) {
  HBN_log_setClockHook(&fakeClock);
  struct Case {
    long sec;
    long nsec;
    const char* line;
  } cases[] = {
      {123, 456789000, "HBN-W/   123.456/HBN_cloud_commMqttConnect[631]:MQTT async connect fail(-1)\n"},
      {12, 7000000, "HBN-W/    12.007/HBN_cloud_commMqttConnect[631]:MQTT async connect fail(-1)\n"},
      {12, 999999, "HBN-W/    12.000/HBN_cloud_commMqttConnect[631]:MQTT async connect fail(-1)\n"},
      {12345678, 50000000, "HBN-W/12345678.050/HBN_cloud_commMqttConnect[631]:MQTT async connect fail(-1)\n"},
  };
  for (const Case& c : cases) {
    g_fakeNow.tv_sec = c.sec;
    g_fakeNow.tv_nsec = c.nsec;
    hbntest::SyslogRecorder::clear();
    std::string err = hbntest::captureStderr([] {
      HBN_log_printAt(HBN_LOG_WARN, "HBN_cloud_commMqttConnect", 631, "MQTT async connect fail(%d)\n", -1);
    });
    EXPECT_EQ(err, c.line);
    ASSERT_EQ(hbntest::SyslogRecorder::lines().size(), 1u);
    EXPECT_EQ(hbntest::SyslogRecorder::lines()[0].second, c.line);
  }
}

TEST_F(Log, DetailedFormUsesTheMonotonicClock) {
  struct timespec before;
  clock_gettime(CLOCK_MONOTONIC, &before);
  std::string err = hbntest::captureStderr(logFromHere);
  long seconds = 0;
  char func[64] = {};
  ASSERT_EQ(sscanf(err.c_str(), "HBN-I/%ld.%*3d/%63[^[]", &seconds, func), 2) << err;
  EXPECT_GE(seconds, static_cast<long>(before.tv_sec));
  EXPECT_LE(seconds, static_cast<long>(before.tv_sec) + 2);
  EXPECT_STREQ(func, "logFromHere");
}

TEST_F(Log, LongMessagesAreCutAt2047CharactersOnBothDestinations) {
  std::string message(3000, 'a');
  std::string err = hbntest::captureStderr([&] { HBN_log_print(HBN_LOG_INFO, "%s\n", message.c_str()); });
  EXPECT_EQ(err.size(), 2047u);
  EXPECT_EQ(err.substr(0, 8), "HBN-I:aa");
  auto lines = hbntest::SyslogRecorder::lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].second, err);

  // A function name longer than the whole buffer still gives one bounded line.
  std::string name(2100, 'f');
  hbntest::SyslogRecorder::clear();
  err = hbntest::captureStderr([&] { HBN_log_printAt(HBN_LOG_ERROR, name.c_str(), 1, "tail\n"); });
  EXPECT_EQ(err.size(), 2047u);
  EXPECT_EQ(hbntest::SyslogRecorder::lines().at(0).second.size(), 2047u);
}

TEST_F(Log, PercentSignsInTheFormattedTextReachSyslogUnchanged) {
  std::string err = hbntest::captureStderr([] { HBN_log_print(HBN_LOG_INFO, "%s\n", "load 100%d %s"); });
  EXPECT_EQ(err, "HBN-I:load 100%d %s\n");
  EXPECT_TRUE(hbntest::SyslogRecorder::has("HBN-I:load 100%d %s\n"));
}

TEST_F(Log, RouterVariantKeepsDebugOffSyslogOnly) {
  HBN_log_setDebugToSyslog(false);
  std::string err = hbntest::captureStderr([] {
    HBN_log_print(HBN_LOG_DEBUG, "dbg\n");
    HBN_log_print(HBN_LOG_INFO, "inf\n");
    HBN_log_dump("dump", 4);
  });
  EXPECT_EQ(err, "HBN-D:dbg\nHBN-I:inf\ndump\n");
  auto lines = hbntest::SyslogRecorder::lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].second, "HBN-I:inf\n");
}

TEST_F(Log, DumpWritesExactlyTheGivenLength) {
  HBN_log_setFacility(LOG_LOCAL5);
  const char data[] = {'a', 'b', 'c', 'd', 'e'};  // no terminator
  std::string err = hbntest::captureStderr([&] { HBN_log_dump(data, 3); });
  EXPECT_EQ(err, "abc\n");
  auto lines = hbntest::SyslogRecorder::lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].first, LOG_LOCAL5 | LOG_DEBUG);
  EXPECT_EQ(lines[0].second, "abc");
}

TEST(BuildVersion, FirstLineWithoutLineEndOrDefault) {
  hbntest::Sandbox box;
  struct Case {
    const char* content;
    const char* expected;
  } cases[] = {{"02.01.00.05\r\n", "02.01.00.05"},
               {"02.01.00.05", "02.01.00.05"},
               {"02.01.00.05\nsecond line\n", "02.01.00.05"},
               {"", "01.00.03.01"},
               {"\n", ""}};
  for (const Case& c : cases) {
    box.write("/etc/build.info", c.content);
    char version[512];
    memset(version, 'x', sizeof version);
    HBN_util_getBuildVersion(version);
    EXPECT_STREQ(version, c.expected) << "content: " << c.content;
  }

  // A first line longer than 511 characters is read up to 511 of them.
  box.write("/etc/build.info", std::string(600, '7') + "\n");
  char version[512];
  HBN_util_getBuildVersion(version);
  EXPECT_EQ(std::string(version), std::string(511, '7'));
}

TEST(BuildVersion, MissingFileLeavesTheDestinationAsItWas) {
  hbntest::Sandbox box;
  char version[512] = "untouched";
  HBN_util_getBuildVersion(version);
  EXPECT_STREQ(version, "untouched");
}

// The real system-log path, without the test hook: a child process with a mount namespace of
// its own and a fresh /dev. A line logged while no logger's socket is there goes to standard
// error only; a logger that binds /dev/log afterwards gets the lines from the log's next look
// (at most a second later), with priority, facility and text intact.
TEST(LogSystemLogger, LinesReachTheLoggersSocket) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root for a mount namespace with its own /dev/log";
  int pipeFds[2];
  ASSERT_EQ(pipe(pipeFds), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Exit codes: 2 namespace, 3 socket, 4 no line within 2.5 s, 5 wrong text; 0 fine.
    close(pipeFds[0]);
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", "/dev", "tmpfs", 0, "size=64k") != 0)
      _exit(2);
    dup2(pipeFds[1], 2);  // standard error to the parent
    HBN_log_setSyslogHook(nullptr);
    HBN_log_setFacility(LOG_LOCAL5);
    HBN_log_print(HBN_LOG_WARN, "before\n");
    int logger = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    snprintf(address.sun_path, sizeof address.sun_path, "%s", "/dev/log");
    if (logger < 0 || bind(logger, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) _exit(3);
    struct timeval wait = {0, 50000};
    setsockopt(logger, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    char datagram[512] = {};
    ssize_t got = -1;
    for (int i = 0; i < 50 && got <= 0; ++i) {
      HBN_log_print(HBN_LOG_WARN, "probe %d\n", i);
      got = recv(logger, datagram, sizeof datagram - 1, 0);
    }
    if (got <= 0) _exit(4);
    datagram[got] = '\0';
    const std::string text = datagram;
    const std::string priority = "<" + std::to_string(LOG_LOCAL5 | LOG_WARNING) + ">";
    _exit(text.compare(0, priority.size(), priority) == 0 && text.find(": HBN-W:probe ") != std::string::npos
              ? 0
              : 5);
  }
  close(pipeFds[1]);
  std::string err;
  char buffer[256];
  for (ssize_t n; (n = read(pipeFds[0], buffer, sizeof buffer)) > 0;)
    err.append(buffer, static_cast<size_t>(n));
  close(pipeFds[0]);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "2 namespace, 3 socket, 4 no line reached the logger, 5 wrong text";
  EXPECT_EQ(err.rfind("HBN-W:before\nHBN-W:probe 0\n", 0), 0u) << err;
}

}  // namespace

// Text from the network or a file cannot forge lines of its own: control bytes of the message
// are shown escaped on standard error, in the system log and on the console; everything else,
// UTF-8 included, stays byte for byte, and the line's own final line feed stays.
TEST_F(Log, ControlBytesOfOutsideTextAreEscapedInEveryLine) {
  struct Case {
    std::string text, shown;
  } cases[] = {
      {"all\nKV_TX440:FAIL OVER!!!!!!", "all\\nKV_TX440:FAIL OVER!!!!!!"},
      {"a\rb\tc", "a\\rb\\tc"},
      {std::string("x\x01\x1f\x7fy", 5), "x\\x01\\x1f\\x7fy"},
      {"\xe7\xaf\x84\xe5\x9b\xb2\xe5\xa4\x96 \x80\xff \\x41",
       "\xe7\xaf\x84\xe5\x9b\xb2\xe5\xa4\x96 \x80\xff \\x41"},
  };
  HBN_log_setClockHook(&fakeClock);
  g_fakeNow = {12, 7000000};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.shown);
    hbntest::SyslogRecorder::clear();
    std::string err = hbntest::captureStderr([&] {
      HBN_log_print(HBN_LOG_INFO, "url=[%s]\n", c.text.c_str());
      HBN_log_printAt(HBN_LOG_WARN, "f", 7, "url=[%s]\n", c.text.c_str());
      HBN_log_dump(c.text.data(), c.text.size());
    });
    EXPECT_EQ(err,
              "HBN-I:url=[" + c.shown + "]\nHBN-W/    12.007/f[7]:url=[" + c.shown + "]\n" + c.shown + "\n");
    auto lines = hbntest::SyslogRecorder::lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].second, "HBN-I:url=[" + c.shown + "]\n");
    EXPECT_EQ(lines[2].second, c.shown);
    std::string out = hbntest::captureStdout([&] { HBN_console_print("KV_TX440:x=%s\n", c.text.c_str()); });
    EXPECT_EQ(out, "KV_TX440:x=" + c.shown + "\n");
  }
}

// A message longer than the line buffer, of bytes to escape or not, is cut inside the buffer and
// still ends its line.
TEST_F(Log, LongLinesAreCutInsideTheBufferAndEndTheirLine) {
  for (char c : {'\n', 'x'}) {
    std::string text(3000, c);
    std::string err = hbntest::captureStderr([&] { HBN_log_print(HBN_LOG_INFO, "%s\n", text.c_str()); });
    EXPECT_LT(err.size(), 2048u);
    EXPECT_EQ(err.rfind(c == 'x' ? "HBN-I:xx" : "HBN-I:\\n\\n", 0), 0u);
    EXPECT_EQ(err.find('\n'), err.size() - 1);
  }
}
