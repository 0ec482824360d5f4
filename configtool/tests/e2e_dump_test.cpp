// The settings and server-settings dumps, run through the configtool command.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "configtool_fixture.h"

using cttest::jsonAt;
using cttest::Store;

namespace {

// A store with a distinct, non-default value in every id the settings dump reads.
const std::map<int, std::string> kFullSettings = {
    {7255, "2"},
    {155, "ntp.example.net"},
    {7181, "1"},
    {7182, "1"},
    {7183, "0"},
    {7184, "1"},
    {7185, "0"},
    {7186, "1"},
    {7187, "0"},
    {7188, "1"},
    {7209, "1"},
    {101, "10.1.2.3"},
    {102, "255.255.0.0"},
    {103, "10.1.0.1"},
    {7176, "1"},
    {7177, "8.8.8.8"},
    {7178, "8.8.4.4"},
    {7179, "1.1.1.1"},
    {173, "1"},
    {170, "192.168.10.1"},
    {171, "255.255.255.0"},
    {174, "192.168.10.20"},
    {175, "192.168.10.99"},
    {172, "192.168.10.254"},
    {176, "192.168.10.1"},
    {7226, "1"},
    {7237, "1"},
    {7256, "1"},
    {7257, "1"},
    {7258, "1"},
    {7240, "secret key"},
    {7245, "3"},
    {7244, "1"},
    {7248, "2"},
    {7247, "28800"},
    {7259, "192.168.10.0/24,10.0.0.0/8"},
    {7241, "left"},
    {7239, "203.0.113.9"},
    {7243, "172.16.0.0/12"},
    {7242, "right"},
    {7249, "1"},
    {7250, "30"},
    {7234, "1"},
    {7235, "45"},
    {7227, "198.51.100.7"},
    {7231, "172.16.1.1"},
    {7232, "192.168.10.1"},
    {7230, "peer"},
    {7228, "gw01"},
    {7260, "10.0.0.1"},
    {7261, "10.0.0.2"},
    {7262, "10.0.0.53"},
};

TEST(ConfigtoolDump, SettingsDocumentIsOneLineInTableOrder) {
  Store store(kFullSettings);
  EXPECT_EQ(
      store.dumpCfg(),
      "{\"setting\":{\"mode\":\"non-mobile\",\"NTP_address\":\"ntp.example.net\","
      "\"firewall_application_filter\":{\"IGMP_proxy\":\"enabled\",\"PING_reply\":\"accept\","
      "\"SSH_access\":\"reject\",\"WebUI_access\":\"accept\",\"VPN_pass_thru(IPsec)\":\"reject\","
      "\"VPN_pass_thru(PPTP)\":\"accept\",\"VPN_pass_thru(L2TP)\":\"reject\",\"VPN_pass_thru(IPv6)\":"
      "\"accept\"},"
      "\"upside\":{\"DHCP_mode\":\"staticIP\",\"IP_address\":\"10.1.2.3\",\"subnet_mask\":\"255.255.0.0\","
      "\"default_gateway\":\"10.1.0.1\",\"DNS_mode\":\"static\",\"DNS_address1\":\"8.8.8.8\","
      "\"DNS_address2\":\"8.8.4.4\",\"DNS_address3\":\"1.1.1.1\"},"
      "\"downside\":{\"DHCP_mode\":\"client\",\"IP_address\":\"192.168.10.1\",\"subnet_mask\":\"255.255.255."
      "0\","
      "\"DHCP_range\":\"192.168.10.20-192.168.10.99\",\"default_gateway\":\"192.168.10.254\","
      "\"DNS_address\":\"192.168.10.1\"},"
      "\"vpn\":{\"protocol\":\"L2TPv3overIPsec\",\"vpn_func\":\"enabled\",\"tunnel\":\"full\"},"
      "\"ipsec_conf\":{\"keyexchange\":\"ikev2\",\"pre_shared_key\":\"secret "
      "key\",\"crypt_algorithm\":\"3des-cbc\","
      "\"auth_algorithm\":\"sha256-hmac\",\"dh_group\":\"1536\",\"lifetime\":\"28800\","
      "\"local_lan_ip\":\"192.168.10.0/24,10.0.0.0/"
      "8\",\"local_id\":\"left\",\"remote_wan_ip\":\"203.0.113.9\","
      "\"remote_lan_ip\":\"172.16.0.0/12\",\"remote_id\":\"right\",\"keep_alive_func\":\"enabled\","
      "\"keep_alive_interval\":\"30\"},"
      "\"l2tpd_conf\":{\"keep_alive_func\":\"enabled\",\"keep_alive_interval\":\"45\","
      "\"remote_wan_ip\":\"198.51.100.7\",\"remote_lan_ip\":\"172.16.1.1\",\"local_lan_ip\":\"192.168.10.1\","
      "\"remote_end_id\":\"peer\",\"hostname\":\"gw01\"},"
      "\"plugin\":{\"pppoe_server_address\":\"10.0.0.1\",\"pppoe_client_address\":\"10.0.0.2\","
      "\"DNS_option\":\"10.0.0.53\"}}}\n");
}

// Byte codes and their texts, including the codes past each list.
TEST(ConfigtoolDump, CodesAndTheirTexts) {
  struct Case {
    std::map<int, std::string> values;
    std::vector<std::pair<std::string, std::string>> expect;
  };
  const Case cases[] = {
      {{{7255, "0"},
        {7209, "0"},
        {173, "0"},
        {7226, "0"},
        {7237, "0"},
        {7245, "4"},
        {7244, "2"},
        {7248, "3"}},
       {{"setting/mode", "plugin"},
        {"setting/upside/DHCP_mode", "client"},
        {"setting/downside/DHCP_mode", "staticIP"},
        {"setting/vpn/protocol", "off"},
        {"setting/ipsec_conf/crypt_algorithm", "des-cbc"},
        {"setting/ipsec_conf/auth_algorithm", "md5-hmac"},
        {"setting/ipsec_conf/dh_group", "2048"}}},
      {{{7255, "3"},
        {7209, "7"},
        {173, "2"},
        {7226, "1"},
        {7237, "0"},
        {7245, "5"},
        {7244, "3"},
        {7248, "4"}},
       {{"setting/mode", "unknown"},
        {"setting/upside/DHCP_mode", "staticIP"},
        {"setting/downside/DHCP_mode", "server"},
        {"setting/vpn/protocol", "L2TPv3"},
        {"setting/ipsec_conf/crypt_algorithm", "unknown"},
        {"setting/ipsec_conf/auth_algorithm", "unknown"},
        {"setting/ipsec_conf/dh_group", "unknown"}}},
      {{{7255, "1"}, {173, "255"}, {7226, "0"}, {7237, "9"}, {7181, "200"}, {7182, "0"}, {7247, "-5"}},
       {{"setting/mode", "mobile"},
        {"setting/downside/DHCP_mode", "server"},
        {"setting/vpn/protocol", "IPsec"},
        {"setting/firewall_application_filter/IGMP_proxy", "enabled"},
        {"setting/firewall_application_filter/PING_reply", "reject"},
        {"setting/ipsec_conf/lifetime", "-5"}}},
  };
  for (const Case& c : cases) {
    Store store(c.values);
    std::string dump = store.dumpCfg();
    for (const auto& e : c.expect) EXPECT_EQ(jsonAt(dump, e.first), e.second) << e.first << " in " << dump;
  }
}

// Quotes, backslashes and control characters in stored text are escaped, so the document
// stays JSON and gives the stored text back.
TEST(ConfigtoolDump, StoredTextIsEscaped) {
  Store store;
  const std::string nasty = "a\"b\\c\td\x01";
  store.set(7240, nasty);
  store.set(1416, "us\"er");
  std::string cfg = store.dumpCfg();
  EXPECT_NE(cfg.find("\"pre_shared_key\":\"a\\\"b\\\\c\\td\\u0001\""), std::string::npos) << cfg;
  EXPECT_EQ(jsonAt(cfg, "setting/ipsec_conf/pre_shared_key"), nasty);
  EXPECT_EQ(jsonAt(store.dumpSvr(), "setting_server/server/AUTH_user"), "us\"er");
}

TEST(ConfigtoolDump, ServerDocumentIsOneLineInTableOrder) {
  Store store({{7263, "30"},   {7264, "600"}, {7266, "\"rev-7\""}, {1411, "svc"},  {1412, "mqtt.example.com"},
               {1413, "8883"}, {1414, "1"},   {1415, "0"},         {1416, "user"}, {1417, "pass"},
               {7101, "1"},    {1418, "1"},   {1419, "60"},        {1430, "0"},    {1434, "5"},
               {7114, "1"},    {1420, "1"},   {7267, "0"},         {7265, "0"},    {7113, "9"}});
  EXPECT_EQ(store.dumpSvr(),
            "{\"setting_server\":{\"boot_delay_max\":\"30\",\"info_delay_max\":\"600\","
            "\"server_config_revision\":\"\\\"rev-7\\\"\",\"server\":{\"service_code\":\"svc\","
            "\"address\":\"mqtt.example.com\",\"port\":\"8883\",\"TLS_enable\":\"enabled\","
            "\"AUTH_enable\":\"disabled\",\"AUTH_user\":\"user\",\"AUTH_pass\":\"pass\"},"
            "\"server_use\":{\"server_enable\":\"enabled\",\"keep_alive_enable\":\"enabled\","
            "\"keep_alive_interval\":\"60\",\"net_chk_enable\":\"disabled\",\"net_chk_err_time\":\"5\","
            "\"net_opt_enable\":\"enabled\"},\"fota\":{\"ota_function\":\"enabled\"},"
            "\"protocol_check\":{\"protocol_enable\":\"disabled\"}}}\n");
}

TEST(ConfigtoolDump, UnwritableOutputFails) {
  Store store;
  for (const char* op : {"dumpJsonCfg", "dumpJsonSvr"}) {
    hbntest::Result r = store.configtool({op, store.path("no/such/dir/out.json")});
    EXPECT_EQ(r.status, 1) << op;
    EXPECT_FALSE(store.existsTmp("no/such/dir/out.json"));
  }
}

TEST(ConfigtoolCommand, WrongOperationOrArgumentCount) {
  Store store;
  for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
           {}, {"dumpjsoncfg", "/x"}, {"dumpJsonCfg"}, {"loadJsonCfg", "/x"}, {"dumpJsonCfg", "/x", "/y"}}) {
    hbntest::Result r = store.configtool(args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out.compare(0, 4, "ERR:"), 0) << r.out;
  }
}

// Every file configtool writes at a path it is given is made anew: a link planted there is
// replaced (or removed), never followed, so its target stays as it was.
TEST(ConfigtoolCommand, LinksAtTheOutputPathsAreNeverFollowed) {
  Store store;
  store.writeTmp("victim", "precious");
  store.writeTmp("in.json", "{\"setting\":{\"mode\":\"mobile\"}}");
  store.writeTmp("bad.json", "{\"setting\":{\"mode\":\"nonsense\"}}");
  struct Case {
    std::vector<std::string> args;
    const char* output;
    bool remains;  // the output exists afterwards (as a regular file)
  } cases[] = {
      {{"dumpJsonCfg", store.path("out.json")}, "out.json", true},
      {{"dumpJsonSvr", store.path("svr.json")}, "svr.json", true},
      {{"dumpInfo", store.path("info.txt")}, "info.txt", true},
      {{"loadJsonCfg", store.path("bad.json"), store.path("err.json")}, "err.json", true},
      {{"loadJsonCfg", store.path("in.json"), store.path("noerr.json")}, "noerr.json", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.output);
    ASSERT_EQ(symlink(store.path("victim").c_str(), store.path(c.output).c_str()), 0);
    store.configtool(c.args);
    EXPECT_EQ(store.readTmp("victim"), "precious");
    struct stat st;
    bool there = lstat(store.path(c.output).c_str(), &st) == 0;
    EXPECT_EQ(there, c.remains);
    if (there) {
      EXPECT_TRUE(S_ISREG(st.st_mode));
    }
  }
}

}  // namespace
