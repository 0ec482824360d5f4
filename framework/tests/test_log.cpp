#include <gtest/gtest.h>

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

}  // namespace
