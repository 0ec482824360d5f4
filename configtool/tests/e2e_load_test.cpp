// The settings and server-settings loads, run through the configtool command: the error
// document, what reaches the store, and that a refused document changes nothing.
#include <gtest/gtest.h>

#include "configtool_fixture.h"

using cttest::jsonAt;
using cttest::Store;

namespace {

const char kNone[] = "<none>";
const char kRange[] = "範囲外の値が設定されています";
const char kNotAddr[] = "値がIPアドレスではありません";
const char kNotList[] = "値がIPアドレス/サブネット長ではありません";

// Ids whose value differs between two listings.
std::map<int, std::string> changed(const std::map<int, std::string>& before,
                                   const std::map<int, std::string>& after) {
  std::map<int, std::string> out;
  for (const auto& kv : after) {
    auto it = before.find(kv.first);
    if (it == before.end() || it->second != kv.second) out[kv.first] = kv.second;
  }
  for (const auto& kv : before)
    if (after.find(kv.first) == after.end()) out[kv.first] = "<gone>";
  return out;
}

std::string cfg(const std::string& settingBody) { return "{\"setting\":{" + settingBody + "}}"; }
std::string svr(const std::string& body) { return "{\"setting_server\":{" + body + "}}"; }

TEST(ConfigtoolLoad, SingleKeyChangesOnlyItsIdAndLeavesNoErrorFile) {
  Store store;
  auto before = store.list();
  EXPECT_EQ(store.loadCfg(cfg("\"vpn\":{\"vpn_func\":\"enabled\"}")), kNone);
  EXPECT_EQ(changed(before, store.list()), (std::map<int, std::string>{{7256, "1"}}));
  // An empty setting object is a valid document that writes nothing.
  before = store.list();
  EXPECT_EQ(store.loadCfg("{\"setting\":{}}"), kNone);
  EXPECT_TRUE(changed(before, store.list()).empty());
}

TEST(ConfigtoolLoad, ErrorDocuments) {
  struct Case {
    std::string document;
    std::string errors;
  };
  const Case cases[] = {
      {"{\"other\":1}", "{\"setting_error\":{\"setting\":\"キーがありません\"}}\n"},
      {"[1,2]", "{\"setting_error\":{\"setting\":\"キーがありません\"}}\n"},
      {"{\"setting\":null}", "{\"setting_error\":{\"setting\":\"キーがありません\"}}\n"},
      {"{\"setting\":[]}", "{\"setting_error\":{\"setting\":\"範囲外の値が設定されています\"}}\n"},
      {cfg("\"hostname\":\"x\",\"upside\":{\"IP_address\":\"999.1.1.1\"}"),
       "{\"setting_error\":{\"hostname\":\"不明なキーです\",\"upside\":{\"IP_address\":"
       "\"値がIPアドレスではありません\"}}}\n"},
      {cfg("\"foo\":1,\"upside\":{\"IP_address\":\"1.2.3\",\"bar\":true}"),
       "{\"setting_error\":{\"foo\":\"不明なキーです\",\"upside\":{\"bar\":\"不明なキーです\",\"IP_address\":"
       "\"値がIPアドレスではありません\"}}}\n"},
      // Groups only, in bit order whatever the input order; top-level keys before groups.
      {cfg("\"plugin\":{\"DNS_option\":\"x\"},\"upside\":{\"subnet_mask\":\"1.2.3.4.5\"},"
           "\"vpn\":{\"protocol\":\"ipsec\",\"tunnel\":\"half\"}"),
       "{\"setting_error\":{\"upside\":{\"subnet_mask\":\"値がサブネットマスクではありません\"},"
       "\"vpn\":{\"protocol\":\"範囲外の値が設定されています\",\"tunnel\":\"範囲外の値が設定されています\"},"
       "\"plugin\":{\"DNS_option\":\"値がIPアドレスではありません\"}}}\n"},
      {cfg("\"upside\":{},\"mode\":\"Plugin\",\"vpn\":\"on\",\"ipsec_conf\":{\"local_lan_ip\":\"10.0.0.0\"}"),
       "{\"setting_error\":{\"vpn\":\"範囲外の値が設定されています\",\"mode\":"
       "\"範囲外の値が設定されています\","
       "\"ipsec_conf\":{\"local_lan_ip\":\"値がIPアドレス/サブネット長ではありません\"}}}\n"},
      // A key that needs escaping is reported so that the document stays JSON.
      {cfg("\"a\\\"b\\\\c\":1"), "{\"setting_error\":{\"a\\\"b\\\\c\":\"不明なキーです\"}}\n"},
  };
  for (const Case& c : cases) {
    Store store;
    std::string before = store.file();
    EXPECT_EQ(store.loadCfg(c.document), c.errors) << c.document;
    EXPECT_EQ(store.file(), before) << c.document;
  }
}

TEST(ConfigtoolLoad, ServerErrorDocuments) {
  struct Case {
    std::string document;
    std::string errors;
  };
  const std::string serviceCodeRefused =
      "{\"setting_server_error\":{\"server\":{\"service_code\":\"範囲外の値が設定されています\"}}}\n";
  const Case cases[] = {
      {"{}", "{\"setting_server_error\":{\"setting_server\":\"キーがありません\"}}\n"},
      {svr("\"fota\":{}"),
       "{\"setting_server_error\":{\"fota\":{\"ota_function\":\"範囲外の値が設定されています\"}}}\n"},
      {svr("\"fota\":{\"ota_function\":null},\"protocol_check\":{\"protocol_enable\":\"on\"}"),
       "{\"setting_server_error\":{\"fota\":{\"ota_function\":\"範囲外の値が設定されています\"},"
       "\"protocol_check\":{\"protocol_enable\":\"範囲外の値が設定されています\"}}}\n"},
      {svr("\"boot_delay_max\":\"65536\",\"x\":1,\"server\":{\"port\":\"-1\"},\"server_use\":{\"net_chk_err_"
           "time\":61}"),
       "{\"setting_server_error\":{\"x\":\"不明なキーです\",\"boot_delay_max\":"
       "\"範囲外の値が設定されています\","
       "\"server\":{\"port\":\"範囲外の値が設定されています\"},"
       "\"server_use\":{\"net_chk_err_time\":\"範囲外の値が設定されています\"}}}\n"},
      // The service code is a level of every topic: a wildcard or a separator in it is refused.
      {svr("\"server\":{\"service_code\":\"atk+svc\"}"), serviceCodeRefused},
      {svr("\"server\":{\"service_code\":\"#\"}"), serviceCodeRefused},
      {svr("\"server\":{\"service_code\":\"a/b\"}"), serviceCodeRefused},
      {svr("\"server\":{\"service_code\":\"a\\u0000b\"}"), serviceCodeRefused},
  };
  for (const Case& c : cases) {
    Store store;
    std::string before = store.file();
    EXPECT_EQ(store.loadSvr(c.document), c.errors) << c.document;
    EXPECT_EQ(store.file(), before) << c.document;
  }
}

// Accepted and refused values of each kind of check; every refused value is reported
// under its key and keeps the store as it was.
TEST(ConfigtoolLoad, ValueChecks) {
  struct Case {
    std::string group;  // "" for the top level
    std::string key;
    std::string value;    // JSON text of the value
    const char* message;  // nullptr: accepted
  };
  const Case cases[] = {
      {"ipsec_conf", "keep_alive_interval", "\"0\"", kRange},
      {"ipsec_conf", "keep_alive_interval", "\"3601\"", kRange},
      {"ipsec_conf", "keep_alive_interval", "\"10s\"", kRange},
      {"ipsec_conf", "keep_alive_interval", "\"-5\"", kRange},
      {"ipsec_conf", "keep_alive_interval", "\"60\"", nullptr},
      {"ipsec_conf", "keep_alive_interval", "60", nullptr},
      {"ipsec_conf", "keep_alive_interval", "60.0", kRange},
      {"ipsec_conf", "keep_alive_interval", "\"99999999999999999999\"", kRange},
      {"ipsec_conf", "lifetime", "\"\"", kRange},
      {"ipsec_conf", "lifetime", "\"86400\"", nullptr},
      {"ipsec_conf", "lifetime", "\"" + std::string(600, '0') + "1\"", kRange},
      {"ipsec_conf", "local_lan_ip", "\"192.168.1.0/24,10.0.0.0/8\"", nullptr},
      {"ipsec_conf", "local_lan_ip", "\"192.168.1.0/33\"", kNotList},
      {"ipsec_conf", "local_lan_ip", "\"192.168.1.0\"", kNotList},
      {"ipsec_conf", "local_lan_ip", "\"10.0.0.0/\"", nullptr},
      {"ipsec_conf", "local_lan_ip", "\"10.0.0.0/8,\"", kNotList},
      {"ipsec_conf", "remote_lan_ip", "\"10.0.0.0/8,,10.1.0.0/16\"", kNotList},
      {"ipsec_conf", "remote_lan_ip", "\"10.0.0.0/0000000000000008\"", kNotList},
      {"ipsec_conf", "remote_lan_ip", "\"10.0.0.0/000000000000008\"", nullptr},
      {"upside", "subnet_mask", "\"255.0.255.0\"", nullptr},
      {"upside", "IP_address", "\"1.2.3\"", kNotAddr},
      {"upside", "IP_address", "\"10\"", kNotAddr},
      {"upside", "IP_address", "\"1.2.3.4 x\"", kNotAddr},
      {"upside", "DNS_mode", "\"Static\"", kRange},
      {"firewall_application_filter", "PING_reply", "\"accept\"", nullptr},
      {"firewall_application_filter", "PING_reply", "\"enabled\"", kRange},
      {"firewall_application_filter", "IGMP_proxy", "true", kRange},
      {"downside", "DHCP_range", "\"192.168.0.2-192.168.0.300\"", kNotAddr},
      {"downside", "DHCP_range", "\"192.168.0.2\"", kNotAddr},
      {"downside", "DHCP_range", "\"\"", nullptr},
      {"downside", "DHCP_range", "\"192.168.0.2-192.168.000.100\"", kNotAddr},
      {"", "NTP_address", "\"" + std::string(255, 'n') + "\"", nullptr},
      {"", "NTP_address", "\"" + std::string(256, 'n') + "\"", kRange},
      {"", "mode", "{\"a\":1}", kRange},
      {"ipsec_conf", "dh_group", "1024", nullptr},
      // A NUL inside a string would be stored cut short.
      {"ipsec_conf", "pre_shared_key", "\"abc\\u0000def\"", kRange},
      {"upside", "IP_address", "\"1.2.3.4\\u0000\"", kNotAddr},
      // Longer than the store keeps: refused, never cut.
      {"ipsec_conf", "pre_shared_key", "\"" + std::string(300, 'k') + "\"", kRange},
      {"l2tpd_conf", "hostname", "\"" + std::string(600, 'h') + "\"", kRange},
  };
  for (const Case& c : cases) {
    Store store;
    std::string member = "\"" + c.key + "\":" + c.value;
    std::string document = cfg(c.group.empty() ? member : "\"" + c.group + "\":{" + member + "}");
    std::string before = store.file();
    std::string errors = store.loadCfg(document);
    if (c.message == nullptr) {
      EXPECT_EQ(errors, kNone) << document;
    } else {
      std::string path = "setting_error/" + (c.group.empty() ? "" : c.group + "/") + c.key;
      EXPECT_EQ(jsonAt(errors, path), c.message) << document << " -> " << errors;
      EXPECT_EQ(store.file(), before) << document;
    }
  }
}

TEST(ConfigtoolLoad, ValuesReachEveryIdOfTheirKey) {
  Store store({{101, "10.9.9.9"}, {7210, "10.9.9.9"}, {7232, "1.1.1.1"}, {7231, "2.2.2.2"}});
  auto before = store.list();
  EXPECT_EQ(store.loadCfg(
                cfg("\"mode\":\"mobile\",\"NTP_address\":\"\","
                    "\"firewall_application_filter\":{\"IGMP_proxy\":\"enabled\",\"SSH_access\":\"accept\"},"
                    "\"upside\":{\"IP_address\":\"\",\"DNS_address2\":\"9.9.9.9\",\"DNS_mode\":\"static\"},"
                    "\"downside\":{\"DHCP_range\":\"192.168.5.10-192.168.5.50\"},"
                    "\"vpn\":{\"protocol\":\"L2TPv3\"},"
                    "\"ipsec_conf\":{\"lifetime\":\"7200\",\"local_lan_ip\":\"\"},"
                    "\"l2tpd_conf\":{\"remote_lan_ip\":\"\",\"local_lan_ip\":\"\"}")),
            kNone);
  EXPECT_EQ(changed(before, store.list()),
            (std::map<int, std::string>{
                {7255, "1"},           {283, "1"},        {7181, "1"},       {7201, "1"},
                {7218, "1"},           {196, "1"},        {7183, "1"},       {7203, "1"},
                {7220, "1"},           {7178, "9.9.9.9"}, {7198, "9.9.9.9"}, {7215, "9.9.9.9"},
                {7176, "1"},           {7196, "1"},       {7213, "1"},       {174, "192.168.5.10"},
                {175, "192.168.5.50"}, {7226, "1"},       {7247, "7200"},    {7231, ""}}));
}

TEST(ConfigtoolLoad, ServerValuesReachEveryIdOfTheirKey) {
  Store store;
  auto before = store.list();
  EXPECT_EQ(store.loadSvr(svr("\"boot_delay_max\":\"\",\"info_delay_max\":\"65535\",\"server\":{\"port\":"
                              "\"8883\",\"address\":\"h\"},"
                              "\"server_use\":{\"keep_alive_interval\":120,\"net_chk_err_time\":\"5\"},"
                              "\"fota\":{\"ota_function\":\"enabled\"},"
                              "\"protocol_check\":{\"protocol_enable\":\"disabled\"}")),
            kNone);
  std::map<int, std::string> expect = {{7264, "65535"}, {1413, "8883"}, {1422, "8883"}, {7105, "8883"},
                                       {7119, "8883"},  {7133, "8883"}, {1412, "h"},    {1421, "h"},
                                       {7104, "h"},     {7118, "h"},    {7132, "h"},    {1419, "120"},
                                       {7111, "120"},   {7125, "120"},  {7139, "120"},  {7113, "5"},
                                       {7127, "5"},     {7141, "5"},    {7265, "1"}};
  auto diff = changed(before, store.list());
  // Values equal to the factory ones (boot_delay_max 0, protocol_enable 0) show no change.
  EXPECT_EQ(diff, expect);
  EXPECT_EQ(store.get(7263), "0");
  EXPECT_EQ(store.get(7267), "0");
}

// The VPN protocol word sets the L2TPv3 flag (7226) and the IPsec flag (7237).
TEST(ConfigtoolLoad, VpnProtocolSetsBothFlags) {
  const struct {
    const char* word;
    const char* l2tp;
    const char* ipsec;
  } cases[] = {{"IPsec", "0", "1"}, {"L2TPv3", "1", "0"}, {"L2TPv3overIPsec", "1", "1"}, {"off", "0", "0"}};
  for (const auto& c : cases) {
    Store store({{7226, c.l2tp[0] == '1' ? "0" : "1"}, {7237, c.ipsec[0] == '1' ? "0" : "1"}});
    EXPECT_EQ(store.loadCfg(cfg(std::string("\"vpn\":{\"protocol\":\"") + c.word + "\"}")), kNone);
    EXPECT_EQ(store.get(7226), c.l2tp) << c.word;
    EXPECT_EQ(store.get(7237), c.ipsec) << c.word;
    EXPECT_EQ(jsonAt(store.dumpCfg(), "setting/vpn/protocol"), c.word);
  }
}

// The downside DHCP mode codes are the ones the dump reads back.
TEST(ConfigtoolLoad, DownsideDhcpModeRoundTrips) {
  Store store;
  for (const char* word : {"staticIP", "client", "server"}) {
    EXPECT_EQ(store.loadCfg(cfg(std::string("\"downside\":{\"DHCP_mode\":\"") + word + "\"}")), kNone);
    EXPECT_EQ(jsonAt(store.dumpCfg(), "setting/downside/DHCP_mode"), word);
  }
}

TEST(ConfigtoolLoad, DumpLoadDumpRoundTrip) {
  Store store({{7255, "1"},
               {155, "ntp\"quoted\\"},
               {7181, "1"},
               {7185, "1"},
               {7209, "1"},
               {101, "10.1.2.3"},
               {7176, "1"},
               {173, "0"},
               {7226, "0"},
               {7237, "1"},
               {7256, "1"},
               {7240, "p\\s\tk"},
               {7245, "2"},
               {7247, "100"},
               {7259, "1.2.3.0/24"},
               {7250, "10"},
               {7235, "3600"},
               {7231, "3.3.3.3"},
               {7228, "host"}});
  std::string first = store.dumpCfg();
  EXPECT_EQ(store.loadCfg(first), kNone);
  EXPECT_EQ(store.dumpCfg(), first);

  store.set(1419, "60");
  store.set(1434, "7");
  store.set(1413, "1883");
  store.set(7266, "\"r1\"");
  std::string server = store.dumpSvr();
  EXPECT_EQ(store.loadSvr(server), kNone);
  EXPECT_EQ(store.dumpSvr(), server);
}

// Inputs that are not a settings document at all: the fixed one-line error, result -1,
// and the store untouched, whatever their size, depth or encoding.
TEST(ConfigtoolLoad, HostileInputsAreRefusedWholesale) {
  const std::string notJson = "{\"setting_error\":\"JSON形式になっていません\"}\n";
  std::string big = cfg("\"NTP_address\":\"" + std::string(10 * 1024 * 1024, 'a') + "\"");
  std::string deep = "{\"setting\":{\"mode\":" + std::string(100000, '[') + std::string(100000, ']') + "}}";
  const std::string inputs[] = {
      "",
      "{\"setting\":",
      "not json",
      "{\"setting\":{}} trailing",
      big,
      deep,
      cfg("\"NTP_address\":\"bad \xff\xfe utf8\""),
      std::string("{\"setting\":{\"NTP_address\":\"a\0b\"}}", 33),
  };
  for (const std::string& input : inputs) {
    Store store;
    std::string before = store.file();
    store.writeTmp("in.json", input);
    hbntest::Result r = store.configtool({"loadJsonCfg", store.path("in.json"), store.path("err.json")});
    EXPECT_EQ(r.status, 1) << input.substr(0, 60);
    EXPECT_EQ(store.readTmp("err.json"), notJson) << input.substr(0, 60);
    EXPECT_EQ(store.file(), before);
  }
  Store store;
  hbntest::Result r = store.configtool({"loadJsonSvr", store.path("missing.json"), store.path("err.json")});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(store.readTmp("err.json"), notJson);
}

TEST(ConfigtoolLoad, UnopenableErrorFile) {
  Store store;
  std::string before = store.file();
  store.writeTmp("in.json", cfg("\"mode\":\"mobile\""));
  hbntest::Result r = store.configtool({"loadJsonCfg", store.path("in.json"), store.path("no/dir/err.json")});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "ERROR:JSON parse error file\n");
  EXPECT_EQ(store.file(), before);
}

// Limits of the working copies: over-long address and length parts, range parts and lists.
TEST(ConfigtoolLoad, WorkingCopyLimits) {
  std::string list32, list33;
  for (int i = 0; i < 33; ++i) {
    std::string entry = "10.0." + std::to_string(i) + ".0/24";
    if (i < 32) list32 += (i ? "," : "") + entry;
    list33 += (i ? "," : "") + entry;
  }
  std::string longList;
  while (longList.size() <= 511)
    longList += (longList.empty() ? "" : ",") + std::string("100.100.100.100/32");
  struct Case {
    std::string member;
    std::string path;
    const char* message;
  };
  const Case cases[] = {
      // 32 entries pass the list check but are longer than the store keeps: refused, not cut.
      {"\"ipsec_conf\":{\"remote_lan_ip\":\"" + list32 + "\"}", "ipsec_conf/remote_lan_ip", kNotList},
      {"\"ipsec_conf\":{\"remote_lan_ip\":\"" + list33 + "\"}", "ipsec_conf/remote_lan_ip", kNotList},
      {"\"ipsec_conf\":{\"local_lan_ip\":\"" + longList + "\"}", "ipsec_conf/local_lan_ip", kNotList},
      {"\"downside\":{\"DHCP_range\":\"1.2.3.4-1.2.3.4000000000000000\"}", "downside/DHCP_range", kNotAddr},
  };
  for (const Case& c : cases) {
    Store store;
    std::string before = store.file();
    EXPECT_EQ(jsonAt(store.loadCfg(cfg(c.member)), "setting_error/" + c.path), c.message);
    EXPECT_EQ(store.file(), before);
  }
}

}  // namespace
