// Configuration store: working copy, defaults, text cutting, commit and the store file.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <dirent.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <thread>

#include "apmib.h"
#include "hbn_test.h"

namespace {

int setText(int id, const std::string& text) { return apmib_set(id, const_cast<char*>(text.c_str())); }

std::string getText(int id) {
  char buf[256] = {0};
  EXPECT_EQ(apmib_get(id, buf), 1) << id;
  return buf;
}

std::vector<std::string> dirEntries(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.') names.push_back(e->d_name);
    closedir(d);
  }
  return names;
}

TEST(ApmibStore, NoValueLeavesBufferUnchanged) {
  hbntest::Sandbox sb;
  apmib_init();
  char buf[256];
  std::memset(buf, 'Z', sizeof buf);
  EXPECT_EQ(apmib_get(1410, buf), 0);  // serial number: no factory value
  EXPECT_EQ(apmib_getDef(1410, buf), 0);
  EXPECT_EQ(apmib_get(99999, buf), 0);  // unknown id
  EXPECT_EQ(apmib_set(99999, buf), 0);
  for (char c : buf) ASSERT_EQ(c, 'Z');
}

TEST(ApmibStore, DefaultsAndGetDefIgnoreWorkingCopy) {
  hbntest::Sandbox sb;
  apmib_init();
  int mode = -1;  // byte id read into an int pre-filled by the caller: only the low byte changes
  mode = 0;
  EXPECT_EQ(apmib_get(7144, &mode), 1);
  EXPECT_EQ(mode, 3);
  uint32_t lan = 0;
  EXPECT_EQ(apmib_get(170, &lan), 1);
  EXPECT_EQ(lan, inet_addr("192.168.0.1"));

  ASSERT_EQ(setText(183, "secret"), 1);
  EXPECT_EQ(getText(183), "secret");
  char def[32] = {0};
  EXPECT_EQ(apmib_getDef(183, def), 1);
  EXPECT_STREQ(def, "admin");
}

TEST(ApmibStore, EveryKindRoundTripsThroughTheFile) {
  hbntest::Sandbox sb;
  apmib_init();
  uint8_t b = 200;
  uint16_t w = 54321;
  int32_t i = -123456;
  uint32_t a = inet_addr("10.1.2.3");
  const std::string text = "line1\nback\\slash\r\tend";
  ASSERT_EQ(apmib_set(7144, &b), 1);
  ASSERT_EQ(apmib_set(1422, &w), 1);
  ASSERT_EQ(apmib_set(7247, &i), 1);
  ASSERT_EQ(apmib_set(101, &a), 1);
  ASSERT_EQ(setText(1412, text), 1);
  EXPECT_FALSE(sb.exists("/var/apmib/store.txt"));  // nothing committed yet
  ASSERT_EQ(apmib_update(4), 1);

  EXPECT_EQ(sb.read("/var/apmib/store.txt"),
            "101=10.1.2.3\n1412=line1\\nback\\\\slash\\r\\x09end\n1422=54321\n7144=200\n7247=-123456\n");

  // A different root makes the store load again: switch away and back to reload from disk.
  {
    hbntest::Sandbox other;
    apmib_init();
  }
  setenv("HBN_ROOT", sb.root().c_str(), 1);
  apmib_init();
  uint8_t b2 = 0;
  uint16_t w2 = 0;
  int32_t i2 = 0;
  uint32_t a2 = 0;
  apmib_get(7144, &b2);
  apmib_get(1422, &w2);
  apmib_get(7247, &i2);
  apmib_get(101, &a2);
  EXPECT_EQ(b2, 200);
  EXPECT_EQ(w2, 54321);
  EXPECT_EQ(i2, -123456);
  EXPECT_EQ(a2, a);
  EXPECT_EQ(getText(1412), text);
}

TEST(ApmibStore, LongTextIsCutAndNothingWrittenPastTheSize) {
  hbntest::Sandbox sb;
  apmib_init();
  const std::string longText(300, 'x');
  ASSERT_EQ(setText(1409, longText), 1);  // administrator password: 32-byte buffer
  char buf[40];
  std::memset(buf, 'G', sizeof buf);
  ASSERT_EQ(apmib_get(1409, buf), 1);
  EXPECT_EQ(std::string(buf), std::string(31, 'x'));
  for (size_t k = 32; k < sizeof buf; ++k) EXPECT_EQ(buf[k], 'G') << k;

  ASSERT_EQ(setText(1412, longText), 1);  // 256-byte text
  EXPECT_EQ(getText(1412), std::string(255, 'x'));
}

TEST(ApmibStore, UpdateIsAtomicAndKeepsForeignLines) {
  hbntest::Sandbox sb;
  // 4294974451 is 2^32 + 7155: a foreign id, not 7155 cut to 32 bits.
  sb.write("/var/apmib/store.txt", "7155=1\n4294974451=0\n99999=from another build\n7144=notanumber\n");
  apmib_init();
  uint8_t dual = 0;
  apmib_get(7155, &dual);
  EXPECT_EQ(dual, 1);
  uint8_t mode = 9;
  apmib_get(7144, &mode);
  EXPECT_EQ(mode, 3);  // unreadable stored value: the default holds

  EXPECT_EQ(apmib_update(3), 0);  // only 4 commits
  uint8_t swap = 1;
  ASSERT_EQ(apmib_set(7158, &swap), 1);
  ASSERT_EQ(apmib_update(4), 1);
  EXPECT_EQ(sb.read("/var/apmib/store.txt"),
            "7155=1\n7158=1\n4294974451=0\n99999=from another build\n7144=notanumber\n");
  auto names = dirEntries(sb.path("/var/apmib"));
  for (const auto& n : names) EXPECT_EQ(n.find(".tmp"), std::string::npos) << n;

  // Setting an id whose stored line was unreadable replaces that line.
  mode = 2;
  ASSERT_EQ(apmib_set(7144, &mode), 1);
  ASSERT_EQ(apmib_update(4), 1);
  EXPECT_EQ(sb.read("/var/apmib/store.txt"),
            "7144=2\n7155=1\n7158=1\n4294974451=0\n99999=from another build\n");
}

TEST(ApmibStore, CommitMergesOtherProcessesCommits) {
  hbntest::Sandbox sb;
  apmib_init();
  uint8_t on = 1;
  ASSERT_EQ(apmib_set(7101, &on), 1);
  // Another process commits a different id meanwhile.
  auto r = hbntest::run({"mibctl", "set", "1410", "SN0001"});
  ASSERT_EQ(r.status, 0) << r.err;
  ASSERT_EQ(apmib_update(4), 1);
  EXPECT_EQ(sb.read("/var/apmib/store.txt"), "1410=SN0001\n7101=1\n");
  EXPECT_EQ(getText(1410), "SN0001");  // the commit also refreshed the working copy
}

TEST(ApmibStore, ReadersSeeWhatOtherProcessesCommitWithoutLosingTheirOwnChanges) {
  hbntest::Sandbox sb;
  apmib_init();
  char serial[256] = "untouched";
  apmib_get(1410, serial);
  EXPECT_STREQ(serial, "untouched") << "no serial yet";
  uint8_t on = 1;
  ASSERT_EQ(apmib_set(7101, &on), 1);  // set here, not committed
  // An agent waiting for its identity sees it once another process stored it.
  auto r = hbntest::run({"mibctl", "set", "1410", "SN0002"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(getText(1410), "SN0002");
  uint8_t value = 0;
  ASSERT_EQ(apmib_get(7101, &value), 1);
  EXPECT_EQ(value, 1) << "the uncommitted change survives the reload";
  r = hbntest::run({"mibctl", "set", "1410", "SN0003"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(getText(1410), "SN0003");
  ASSERT_EQ(apmib_update(4), 1);
  EXPECT_EQ(sb.read("/var/apmib/store.txt"), "1410=SN0003\n7101=1\n");
}

TEST(ApmibStore, ConcurrentSettersReadersAndCommits) {
  hbntest::Sandbox sb;
  apmib_init();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 200; ++i) {
        std::string text = "t" + std::to_string(t) + "-" + std::to_string(i);
        setText(7103 + 14 * (t % 3), text);
        int32_t period = i;
        apmib_set(7111, &period);
        char buf[256];
        apmib_get(7103, buf);
        if (i % 50 == 0) apmib_update(4);
      }
    });
  }
  for (auto& th : threads) th.join();
  ASSERT_EQ(apmib_update(4), 1);
  EXPECT_EQ(getText(7131).rfind("t", 0), 0u);  // a whole value, never a torn one
  const std::string file = sb.read("/var/apmib/store.txt");
  EXPECT_NE(file.find("\n7111=199\n"), std::string::npos) << file;
}

}  // namespace
