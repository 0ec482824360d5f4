// The loaders' exported building blocks and debug aids, called directly.
#include <arpa/inet.h>

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "configtool.h"
#include "hbn_test.h"

namespace {

// Owns a parsed JSON object for one test.
struct Json {
  explicit Json(const char* text) : object(json_tokener_parse(text)) {}
  ~Json() { json_object_put(object); }
  json_object* object;
};

TEST(ConfigtoolBlocks, WordReaders) {
  Json doc(
      R"({"a":"enabled","b":"disabled","c":"Enabled","d":null,"e":1,"f":"accept","g":"reject","h":"enabled "})");
  struct Case {
    const char* key;
    int onOff;
    int acceptReject;
    unsigned char onOffByte;
    unsigned char acceptByte;
  };
  const Case cases[] = {
      {"a", 0, -1, 1, 0}, {"b", 0, -1, 0, 0}, {"c", -1, -1, 0, 0}, {"d", 1, 1, 7, 7},  {"e", -1, -1, 0, 0},
      {"f", -1, 0, 0, 1}, {"g", -1, 0, 0, 0}, {"h", -1, -1, 0, 0}, {"zz", 1, 1, 7, 7},
  };
  for (const Case& c : cases) {
    unsigned char byte = 7;
    EXPECT_EQ(configTool_comLoadJson_enableDisable(doc.object, c.key, &byte), c.onOff) << c.key;
    EXPECT_EQ(byte, c.onOffByte) << c.key;
    byte = 7;
    EXPECT_EQ(configTool_comLoadJson_acceptReject(doc.object, c.key, &byte), c.acceptReject) << c.key;
    EXPECT_EQ(byte, c.acceptByte) << c.key;
  }
}

TEST(ConfigtoolBlocks, AddressReader) {
  Json doc(
      R"({"ok":"192.168.0.1","empty":"","short":"1.2.3","hex":"0x01.2.3.4","long":"192.168.000.0001","n":5})");
  in_addr addr;
  addr.s_addr = 0xdeadbeef;
  char text[16] = "untouched";
  EXPECT_EQ(configTool_comLoadJson_ipaddr(doc.object, "ok", &addr, text, sizeof text), 0);
  EXPECT_EQ(addr.s_addr, inet_addr("192.168.0.1"));
  EXPECT_STREQ(text, "192.168.0.1");

  addr.s_addr = 0xdeadbeef;
  EXPECT_EQ(configTool_comLoadJson_ipaddr(doc.object, "empty", &addr, text, sizeof text), 0);
  EXPECT_EQ(addr.s_addr, 0xdeadbeefu);
  EXPECT_STREQ(text, "");
  for (const char* bad : {"short", "hex", "long", "n"})
    EXPECT_EQ(configTool_comLoadJson_ipaddr(doc.object, bad, &addr, text, sizeof text), -1) << bad;
  EXPECT_EQ(configTool_comLoadJson_ipaddr(doc.object, "none", &addr, text, sizeof text), 1);
  // The text is handed back only when it fits.
  char small[8];
  EXPECT_EQ(configTool_comLoadJson_ipaddr(doc.object, "ok", &addr, small, sizeof small), -1);
}

TEST(ConfigtoolBlocks, AddressLengthEntriesAndLists) {
  std::string list32, list33;
  for (int i = 0; i < 33; ++i) {
    std::string entry = "1.0.0." + std::to_string(i) + "/8";
    if (i < 32) list32 += (i ? "," : "") + entry;
    list33 += (i ? "," : "") + entry;
  }
  std::string list511 = "1.2.3.4/" + std::string(511 - 8, '0');  // length part too long on its own
  struct Case {
    std::string value;
    int single;  // ipaddrSubnet
    int multi;   // multiIpaddrSubnet
  };
  const std::vector<Case> cases = {
      {"", 0, 0},
      {"192.168.1.0/24", 0, 0},
      // The length is read with atoi, which stops at the first non-digit.
      {"192.168.1.0/24,10.0.0.0/8", 0, 0},
      {"10.0.0.0/8x", 0, 0},
      {"192.168.1.0/33", -1, -1},
      {"192.168.1.0/-1", -1, -1},
      {"192.168.1.0", -1, -1},
      {"10.0.0.0/", 0, 0},
      {"/24", -1, -1},
      {"10.0.0.0/8,", 0, -1},
      {",10.0.0.0/8", -1, -1},
      {"10.0.0.0/000000000000008", 0, 0},
      {"10.0.0.0/0000000000000008", -1, -1},
      {"010.000.000.000/8", -1, -1},
      {list32, -1, 0},
      {list33, -1, -1},
      {list511, -1, -1},
  };
  for (const Case& c : cases) {
    json_object* doc = json_object_new_object();
    json_object_object_add(doc, "k", json_object_new_string(c.value.c_str()));
    char text[512];
    EXPECT_EQ(configTool_comLoadJson_ipaddrSubnet(doc, "k", text, sizeof text), c.single) << c.value;
    EXPECT_EQ(configTool_comLoadJson_multiIpaddrSubnet(doc, "k", text, sizeof text), c.multi) << c.value;
    if (c.multi == 0) {
      EXPECT_EQ(text, c.value);
    }
    json_object_put(doc);
  }
  // At most 511 characters: one more than that is refused even when every entry is valid.
  json_object* doc = json_object_new_object();
  std::string over = "1.1.1.1/8";
  while (over.size() < 512) over += ",1.1.1.1/8";
  over.resize(512);
  json_object_object_add(doc, "k", json_object_new_string(over.c_str()));
  char text[1024];
  EXPECT_EQ(configTool_comLoadJson_multiIpaddrSubnet(doc, "k", text, sizeof text), -1);
  json_object_put(doc);
}

std::vector<std::pair<std::string, int>> gReported;
void record(const char* key, int group) { gReported.emplace_back(key, group); }

TEST(ConfigtoolBlocks, KeyListReportsUnknownKeysInObjectOrder) {
  const char names[3][CONFIGTOOL_KEY_SIZE] = {"mode", "NTP_address", "upside"};
  Json doc(R"({"zeta":1,"mode":"plugin","alpha":2,"upside":{},"NTP":3})");
  gReported.clear();
  EXPECT_EQ(configTool_comLoadJson_checkKeyList(doc.object, 3, names, record, 4), -1);
  EXPECT_EQ(gReported, (std::vector<std::pair<std::string, int>>{{"zeta", 4}, {"alpha", 4}, {"NTP", 4}}));
  // Only the first `count` names are allowed.
  gReported.clear();
  EXPECT_EQ(configTool_comLoadJson_checkKeyList(doc.object, 1, names, record, 1), -1);
  EXPECT_EQ(gReported.size(), 4u);
  Json empty("{}");
  gReported.clear();
  EXPECT_EQ(configTool_comLoadJson_checkKeyList(empty.object, 3, names, record, 1), 0);
  EXPECT_TRUE(gReported.empty());
}

TEST(ConfigtoolBlocks, WriteSwitchAndDebugAids) {
  hbntest::Sandbox box;
  unsigned char on = 1;
  configTool_comLoadJson_apmibSetControl(0);
  testing::internal::CaptureStdout();
  EXPECT_EQ(configTool_comLoadJson_apmibSet(7256, &on), 0);
  configTool_comLoadJson_dbgApmibSet("vpn_func", 7256, &on, 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

  configTool_comLoadJson_apmibSetControl(1);
  EXPECT_EQ(configTool_comLoadJson_apmibSet(7256, &on), 1);
  unsigned short port = 8883;
  unsigned int big = 4000000000u;
  in_addr addr;
  addr.s_addr = inet_addr("10.0.0.1");
  testing::internal::CaptureStdout();
  configTool_comLoadJson_dbgApmibSet("a", 1, &on, 0);
  configTool_comLoadJson_dbgApmibSet("b", 2, &port, 1);
  configTool_comLoadJson_dbgApmibSet("c", 3, "text", 2);
  configTool_comLoadJson_dbgApmibSet("d", 4, &addr, 6);
  configTool_comLoadJson_dbgApmibSet("e", 5, &big, 7);
  configTool_comLoadJson_dbgApmibSet("f", 6, &big, 3);
  configTool_comLoadJson_apmibSetControl(0);
  unsigned char out[4] = {9, 9, 9, 9};
  configTool_comLoadJson_dbgApmibInit();
  configTool_comLoadJson_dbgApmibGet("g", 7, out);
  configTool_comLoadJson_dbgApmibUpdate(4);
  Json doc(R"({"x":1,"y":{"z":2}})");
  configTool_comLoadJson_dumpKeys(doc.object);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "@DBG_APMIB_SET:a(1),1\n@DBG_APMIB_SET:b(2),8883\n@DBG_APMIB_SET:c(3),text\n"
            "@DBG_APMIB_SET:d(4),10.0.0.1\n@DBG_APMIB_SET:e(5),4000000000\n@DBG_APMIB_SET:f(6),"
            "@DBG_APMIB_INIT\n@DBG_APMIB_GET:g(7)\n@DBG_APMIB_UPDATE(4)\n----Key=[x]\n----Key=[y]\n");
  EXPECT_EQ(out[0], 0);
  EXPECT_EQ(out[1], 9);
}

}  // namespace
