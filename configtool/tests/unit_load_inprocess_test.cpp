// The loaders called in-process, where the store's working copy outlives a single load.
#include <gtest/gtest.h>

#include <string>

#include "configtool.h"
#include "hbn_test.h"

namespace {

// A load whose apply pass fails part-way (a text longer than the store keeps) must put the
// working copy back: a later successful load in the same process commits the working copy,
// and must not carry the refused document's values with it.
TEST(ConfigtoolLoadInProcess, RefusedApplyLeavesNothingForTheNextCommit) {
  hbntest::Sandbox box;
  box.write("/var/apmib/store.txt", "7255=0\n7256=0\n");
  box.write("/tmp/bad.json",
            "{\"setting\":{\"mode\":\"mobile\",\"vpn\":{\"vpn_func\":\"enabled\"},"
            "\"ipsec_conf\":{\"pre_shared_key\":\"" +
                std::string(300, 'k') + "\"}}}");
  box.write("/tmp/good.json", "{\"setting\":{\"NTP_address\":\"ntp.example\"}}");
  const std::string err = box.path("/tmp/err.json");

  EXPECT_EQ(configtool_loadJsonCfg(box.path("/tmp/bad.json").c_str(), err.c_str()), 0);
  EXPECT_EQ(box.read("/tmp/err.json"),
            "{\"setting_error\":{\"ipsec_conf\":{\"pre_shared_key\":\"範囲外の値が設定されています\"}}}\n");
  EXPECT_EQ(box.read("/var/apmib/store.txt").find("7255=1"), std::string::npos);

  EXPECT_EQ(configtool_loadJsonCfg(box.path("/tmp/good.json").c_str(), err.c_str()), 0);
  EXPECT_FALSE(box.exists("/tmp/err.json"));
  std::string store = box.read("/var/apmib/store.txt");
  EXPECT_NE(store.find("155=ntp.example"), std::string::npos) << store;
  EXPECT_EQ(store.find("7255=1"), std::string::npos) << store;
  EXPECT_EQ(store.find("7256=1"), std::string::npos) << store;
  EXPECT_EQ(store.find("7240=k"), std::string::npos) << store;
}

}  // namespace
