// Loads under faults: a full file system under the store, and configtool killed at any moment
// of a load. A load that could not be stored is a failed load (non-zero exit, an error
// document with a clear text, the store as it was); a killed one leaves old or new values.
#include <gtest/gtest.h>

#include "configtool_fixture.h"
#include "hbn_fault.h"

using cttest::Store;

namespace {

const char kCommitFailed[] = "{\"setting_error\":\"設定を保存できませんでした\"}\n";

// A valid document on a store whose file system is full: both loaders exit 1 with the error
// document, the store file is unchanged, and the same load succeeds once there is room.
TEST(ConfigtoolFaults, FullFileSystemFailsTheLoadAndKeepsTheStore) {
  if (!hbntest::needRootFor("a tmpfs mount")) return;
  Store store;
  hbntest::SmallTmpfs fs(store.box().path("/var/apmib"), 64);
  ASSERT_TRUE(fs.ok());
  store.set(7256, "0");
  store.set(7263, "10");
  const std::string before = store.file();
  ASSERT_TRUE(fs.fill());
  struct Case {
    const char* op;
    const char* document;
  } cases[] = {
      {"loadJsonCfg", "{\"setting\":{\"vpn\":{\"vpn_func\":\"enabled\"}}}"},
      {"loadJsonSvr",
       "{\"setting_server\":{\"boot_delay_max\":\"99\",\"fota\":{\"ota_function\":\"enabled\"},"
       "\"protocol_check\":{\"protocol_enable\":\"enabled\"}}}"},
  };
  for (const Case& c : cases) {
    store.writeTmp("in.json", c.document);
    auto r = store.configtool({c.op, store.path("in.json"), store.path("err.json")});
    EXPECT_EQ(r.status, 1) << c.op << r.out << r.err;
    EXPECT_EQ(store.readTmp("err.json"), kCommitFailed) << c.op;
    EXPECT_EQ(store.file(), before) << c.op;
    EXPECT_EQ(hbntest::filesStartingWith(store.box().path("/var/apmib"), "store.txt.tmp."),
              std::vector<std::string>{});
  }
  fs.drain();
  store.writeTmp("in.json", cases[0].document);
  auto r = store.configtool({"loadJsonCfg", store.path("in.json"), store.path("err.json")});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_FALSE(store.existsTmp("err.json"));
  EXPECT_EQ(store.get(7256), "1");
}

// configtool killed at spread-out moments of a load, 80 times: every id of the document holds
// its old or its new value, never a mix within one store file, and the next load works.
TEST(ConfigtoolFaults, KilledLoadsLeaveOldOrNewSettings) {
  Store store;
  store.set(7256, "0");
  store.set(7257, "0");
  store.writeTmp("on.json", "{\"setting\":{\"vpn\":{\"vpn_func\":\"enabled\",\"tunnel\":\"full\"}}}");
  store.writeTmp("off.json", "{\"setting\":{\"vpn\":{\"vpn_func\":\"disabled\",\"tunnel\":\"split\"}}}");
  int landed = 0;
  for (int i = 0; i < 80; ++i) {
    const char* doc = i % 2 == 0 ? "on.json" : "off.json";
    int status =
        hbntest::runKilledAfter({"configtool", "loadJsonCfg", store.path(doc), store.path("err.json")},
                                {"HBN_ROOT=" + store.box().root()}, (i * 131) % 9000);
    landed += status == 137;
    std::string func = store.get(7256);
    std::string tunnel = store.get(7257);
    ASSERT_EQ(func, tunnel) << "round " << i << ": one store file holds both values of one load";
  }
  EXPECT_GT(landed, 0);
  std::string last = store.loadCfg("{\"setting\":{\"vpn\":{\"vpn_func\":\"enabled\",\"tunnel\":\"full\"}}}");
  EXPECT_EQ(last, "<none>");
  EXPECT_EQ(store.get(7256), "1");
  EXPECT_EQ(hbntest::filesStartingWith(store.box().path("/var/apmib"), "store.txt.tmp."),
            std::vector<std::string>{});
}

}  // namespace
