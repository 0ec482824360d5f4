// mibctl against the store: round trips per kind, refusals, and visibility between processes.
#include <gtest/gtest.h>

#include <string>

#include "apmib.h"
#include "hbn_test.h"

namespace {

using hbntest::run;

TEST(Mibctl, RoundTripEveryKind) {
  hbntest::Sandbox sb;
  const std::string longest(31, 'p');  // the longest administrator password that fits
  struct Case {
    const char* id;
    std::string value;
  } cases[] = {
      {"7255", "2"},
      {"7255", "255"},
      {"7263", "65535"},
      {"7247", "-2147483648"},
      {"7247", "2147483647"},
      {"101", "172.16.9.254"},
      {"1412", "mqtt.example.net"},
      {"1412", ""},
      {"1412", "a\\b=c d"},
      {"1409", longest},
  };
  for (const auto& c : cases) {
    auto s = run({"mibctl", "set", c.id, c.value});
    ASSERT_EQ(s.status, 0) << c.id << " " << c.value << ": " << s.err;
    auto g = run({"mibctl", "get", c.id});
    EXPECT_EQ(g.status, 0);
    EXPECT_EQ(g.out, c.value + "\n") << c.id;
  }
}

TEST(Mibctl, RefusesBadInput) {
  hbntest::Sandbox sb;
  struct Case {
    std::vector<std::string> args;
    int status;
  } cases[] = {
      {{"get", "4242"}, 1},
      {{"set", "4242", "1"}, 1},
      {{"get", "12x"}, 1},
      {{"set", "7255", "256"}, 1},
      {{"set", "7255", "-1"}, 1},
      {{"set", "7255", "1x"}, 1},
      {{"set", "7263", "65536"}, 1},
      {{"set", "7247", "2147483648"}, 1},
      {{"set", "101", "1.2.3"}, 1},
      {{"set", "101", "1.2.3.256"}, 1},
      {{"set", "1409", std::string(32, 'p')}, 1},
      {{"get", "1410"}, 1},  // no value at all
      {{}, 2},
      {{"get"}, 2},
      {{"set", "101"}, 2},
      {{"set", "101", "1.2.3.4", "7255"}, 2},
      {{"set", "7255", "1", "4242", "1"}, 1},  // one refused pair: nothing committed
      {{"list", "x"}, 2},
      {{"frob", "1"}, 2},
  };
  for (const auto& c : cases) {
    std::vector<std::string> argv{"mibctl"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    auto r = run(argv);
    EXPECT_EQ(r.status, c.status) << (c.args.empty() ? "" : c.args[0]) << " " << r.err;
    EXPECT_FALSE(r.err.empty());
    EXPECT_TRUE(r.out.empty());
  }
  EXPECT_FALSE(sb.exists("/var/apmib/store.txt"));  // no refused value was committed
}

TEST(Mibctl, SetWithoutUpdateIsPrivateUntilCommitted) {
  hbntest::Sandbox sb;
  apmib_init();
  char text[] = "private";
  ASSERT_EQ(apmib_set(1411, text), 1);
  EXPECT_EQ(run({"mibctl", "get", "1411"}).out, "\n");  // factory default: empty
  ASSERT_EQ(apmib_update(4), 1);
  EXPECT_EQ(run({"mibctl", "get", "1411"}).out, "private\n");
}

TEST(Mibctl, ListShowsEveryIdWithAValue) {
  hbntest::Sandbox sb;
  ASSERT_EQ(run({"mibctl", "set", "7102", "SN-7", "1411", "svc"}).status, 0);
  EXPECT_EQ(run({"mibctl", "get", "1411"}).out, "svc\n");
  auto r = run({"mibctl", "list"});
  ASSERT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("\n7102=SN-7\n"), std::string::npos);
  EXPECT_NE(r.out.find("\n7144=3\n"), std::string::npos);  // default shown
  EXPECT_EQ(r.out.find("\n1410="), std::string::npos);     // no value: not listed
  EXPECT_EQ(r.out.rfind("101=0.0.0.0\n", 0), 0u);          // ascending id order
}

}  // namespace
