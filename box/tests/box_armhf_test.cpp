// The ARM firmware tree boots (through binfmt_misc and qemu-user-static) and survives one
// reboot. Skipped with a clear line where the kernel refuses binfmt_misc; the armhf build is
// BUILD-armhf beside the sources unless HBN_BOX_ARMHF_BUILD names another.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "box_fixture.h"
#include "hbn_wait.h"

namespace {

TEST(BoxArmhf, BootsAndSurvivesAReboot) {
  if (!hbntest::needRoot()) return;
  const char* named = std::getenv("HBN_BOX_ARMHF_BUILD");
  const char* source = std::getenv("HBN_SOURCE_DIR");
  const std::string build =
      named != nullptr ? named : std::string(source != nullptr ? source : ".") + "/build-armhf";
  if (access((build + "/CMakeCache.txt").c_str(), R_OK) != 0) {
    if (std::getenv("HBN_CI") != nullptr) FAIL() << "no armhf build in " << build << " (HBN_CI is set)";
    GTEST_SKIP() << "no armhf build in " << build << " (scripts/test --armhf makes one)";
  }
  boxtest::Box box;
  std::string problem = box.up({"--armhf", "--build", build});
  if (problem.find("refuses") != std::string::npos && problem.find("binfmt_misc") != std::string::npos)
    GTEST_SKIP() << "the ARM box cannot boot on this machine: " << problem;
  ASSERT_EQ(problem, "");
  auto cloud = box.client("box-armhf-test");
  ASSERT_NE(cloud, nullptr);
  // Under emulation a boot takes longer; the bound only tells a boot from a hang.
  ASSERT_EQ(boxtest::waitAnnouncements(box, 0, 240000), "") << box.console();
  const std::string machine = box.exec("uname -m").out;
  EXPECT_EQ(machine.compare(0, 3, "arm"), 0) << machine;
  const size_t mark = box.brokerMark();
  ASSERT_EQ(box.harness("reboot").status, 0) << box.console();
  EXPECT_EQ(box.boots(), 2);
  EXPECT_EQ(boxtest::waitAnnouncements(box, mark, 240000), "") << box.console();
  EXPECT_EQ(box.status()["restarts"], "0") << box.console();
}

}  // namespace
