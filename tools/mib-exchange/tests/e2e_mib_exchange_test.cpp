// mib-exchange as a program on the stand-in store.
#include <string>

#include <gtest/gtest.h>

#include "hbn_test.h"

namespace {

std::string adminPassword() {
  hbntest::Result r = hbntest::run({"mibctl", "get", "1409"});
  return r.status == 0 ? r.out : "<no value>";
}

TEST(MibExchange, ShowsAndReplacesTheAdminPassword) {
  hbntest::Sandbox box;
  ASSERT_EQ(hbntest::run({"mibctl", "set", "1409", "first"}).status, 0);
  hbntest::Result r = hbntest::run({"mib-exchange"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "admin password:first\n");

  const std::string thirty(30, 'a');
  r = hbntest::run({"mib-exchange", thirty});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "exchange successful\n");
  EXPECT_EQ(adminPassword(), thirty + "\n");  // committed: a new process sees it

  r = hbntest::run({"mib-exchange"});
  EXPECT_EQ(r.out, "admin password:" + thirty + "\n");
}

TEST(MibExchange, RefusalsLeaveTheStoreAlone) {
  hbntest::Sandbox box;
  ASSERT_EQ(hbntest::run({"mibctl", "set", "1409", "keep"}).status, 0);
  const std::string before = box.read("/var/apmib/store.txt");
  for (const std::string& arg : {std::string(31, 'b'), std::string()}) {
    hbntest::Result r = hbntest::run({"mib-exchange", arg});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "exchange faild\n");
  }
  hbntest::Result r = hbntest::run({"mib-exchange", "one", "two"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(box.read("/var/apmib/store.txt"), before);
  EXPECT_EQ(adminPassword(), "keep\n");
}

}  // namespace
