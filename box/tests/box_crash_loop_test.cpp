// A program of the box that always ends at once: its wrapper starts it again after growing
// delays (logged with its name and exit status), and the box's processor use stays small.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <string>

#include "box_fixture.h"
#include "hbn_wait.h"

namespace {

TEST(BoxCrashLoop, RestartsWithGrowingDelaysAndBoundedProcessorUse) {
  if (!hbntest::needRoot()) return;
  boxtest::Box box;
  ASSERT_EQ(box.up(), "");
  // A new inittab entry, read by init on SIGHUP (the tree is read-only only inside the box).
  {
    std::ofstream inittab(box.dir() + "/root/etc/inittab", std::ios::app);
    inittab << "::respawn:/usr/sbin/hbn-restart crashloop /bin/false\n";
  }
  ASSERT_EQ(box.exec("kill -HUP 1").status, 0);
  const std::string line = "hbn-restart: crashloop ended with exit status 1";
  ASSERT_TRUE(box.waitConsole(line, 1, 20000)) << box.console();
  const uint64_t cpuBefore = box.cpuNs();
  const double since = hbntest::nowMs();
  ASSERT_TRUE(box.waitConsole(line, 5, 30000)) << box.console();
  const double wallMs = hbntest::nowMs() - since;
  const double cpuMs = static_cast<double>(box.cpuNs() - cpuBefore) / 1e6;

  std::vector<int> delays;
  std::regex restart("crashloop ended with exit status 1, restart [0-9]+ in ([0-9]+) ms");
  const std::string console = box.console();
  for (std::sregex_iterator it(console.begin(), console.end(), restart), end; it != end; ++it)
    delays.push_back(std::stoi((*it)[1]));
  ASSERT_GE(delays.size(), 5u);
  EXPECT_EQ(std::vector<int>(delays.begin(), delays.begin() + 5),
            (std::vector<int>{500, 1000, 2000, 4000, 8000}));
  // Four restarts took their delays (7.5 s) and no more than a fraction of one core: a loop
  // without back-off would keep the processor busy.
  EXPECT_GE(wallMs, 7000);
  EXPECT_LT(cpuMs, 0.25 * wallMs) << cpuMs << " ms of processor in " << wallMs << " ms";
  // The wrapper itself stayed: init did not have to start it again.
  EXPECT_EQ(hbntest::countOf(console, "hbn-restart: crashloop"), delays.size());
}

}  // namespace
