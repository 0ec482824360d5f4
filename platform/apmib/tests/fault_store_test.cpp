// The store under faults: writers killed at any moment of a commit, and a full file system.
// Each leaves the store file with its old or its new content, readable by the next process,
// and no temporary file stays behind.
#include <gtest/gtest.h>

#include <string>

#include "hbn_fault.h"
#include "hbn_test.h"

namespace {

using hbntest::run;

std::string get(const char* id) {
  auto g = run({"mibctl", "get", id});
  EXPECT_EQ(g.status, 0) << g.err;
  return g.out;
}

// mibctl set killed with SIGKILL at spread-out moments of its run, 120 times: after each the
// value is the one before or the one being written, and the next commit removes whatever
// temporary file a killed writer left.
TEST(StoreFaults, KilledCommitsLeaveOldOrNewValueAndNoTemporaries) {
  hbntest::Sandbox sb;
  ASSERT_EQ(run({"mibctl", "set", "1412", "value-start"}).status, 0);
  std::string current = "value-start\n";
  int landed = 0;
  for (int i = 0; i < 120; ++i) {
    std::string next = "value-" + std::to_string(i);
    int status = hbntest::runKilledAfter({"mibctl", "set", "1412", next}, {}, (i * 97) % 6000);
    landed += status == 137;
    std::string now = get("1412");
    ASSERT_TRUE(now == current || now == next + "\n") << "round " << i << ": " << now;
    current = now;
  }
  EXPECT_GT(landed, 0) << "no kill landed during a run";
  // A commit by a live writer clears what the dead ones left.
  ASSERT_EQ(run({"mibctl", "set", "1412", "after"}).status, 0);
  EXPECT_EQ(get("1412"), "after\n");
  EXPECT_EQ(hbntest::filesStartingWith(sb.path("/var/apmib"), "store.txt.tmp."), std::vector<std::string>{});
}

// Temporary files of writers that died before this one started are removed by its commit.
TEST(StoreFaults, TemporariesOfDeadWritersAreRemoved) {
  hbntest::Sandbox sb;
  ASSERT_EQ(run({"mibctl", "set", "1412", "first"}).status, 0);
  for (const char* pid : {"1", "999999", "4194303"})
    sb.write(std::string("/var/apmib/store.txt.tmp.") + pid, "half");
  ASSERT_EQ(run({"mibctl", "set", "1412", "second"}).status, 0);
  EXPECT_EQ(get("1412"), "second\n");
  EXPECT_EQ(hbntest::filesStartingWith(sb.path("/var/apmib"), "store.txt.tmp."), std::vector<std::string>{});
}

// On a full file system the commit fails, mibctl says so with a non-zero exit, and the store
// file keeps its old content; once there is room again the same commit goes through.
TEST(StoreFaults, FullFileSystemFailsTheCommitAndKeepsTheStore) {
  if (!hbntest::needRootFor("a tmpfs mount")) return;
  hbntest::Sandbox sb;
  hbntest::SmallTmpfs fs(sb.path("/var/apmib"), 64);
  ASSERT_TRUE(fs.ok());
  ASSERT_EQ(run({"mibctl", "set", "1412", "kept"}).status, 0);
  std::string before = sb.read("/var/apmib/store.txt");
  ASSERT_TRUE(fs.fill());
  auto s = run({"mibctl", "set", "1412", std::string(200, 'x')});
  EXPECT_NE(s.status, 0);
  EXPECT_EQ(sb.read("/var/apmib/store.txt"), before);
  EXPECT_EQ(get("1412"), "kept\n");
  EXPECT_EQ(hbntest::filesStartingWith(sb.path("/var/apmib"), "store.txt.tmp."), std::vector<std::string>{});
  fs.drain();
  EXPECT_EQ(run({"mibctl", "set", "1412", "room again"}).status, 0);
  EXPECT_EQ(get("1412"), "room again\n");
}

}  // namespace
