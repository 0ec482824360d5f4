// The settings and server-settings dumps: fixed text fragments and store values written
// straight to the output file in table order, one line, no white space.
#include <cstdio>
#include <string>

#include "apmib.h"
#include "configtool.h"
#include "hbn_file.h"
#include "store_io_internal.h"

namespace {

using configtool::writeJsonString;

enum class Kind {
  Code,      // byte: words[value], or `other` when the value is past the list
  Int,       // 32-bit decimal
  Short,     // 16-bit decimal
  Address,   // IPv4, dotted
  Text,      // as stored
  Range,     // two addresses joined by "-"
  Protocol,  // the VPN protocol from two on/off bytes
};

struct Member {
  const char* group;  // nullptr: direct member of the document's object
  const char* key;
  Kind kind;
  int id;
  int id2;
  const char* const* words;
  int wordCount;
  const char* other;
};

const char* const kOff[] = {"disabled"};
const char* const kReject[] = {"reject"};
const char* const kMode[] = {"plugin", "mobile", "non-mobile"};
const char* const kClient[] = {"client"};
const char* const kDownDhcp[] = {"staticIP", "client"};
const char* const kAuto[] = {"auto"};
const char* const kSplit[] = {"split"};
const char* const kIkev1[] = {"ikev1"};
const char* const kCrypt[] = {"aes256-cbc", "aes192-cbc", "aes-cbc", "3des-cbc", "des-cbc"};
const char* const kAuth[] = {"sha-hmac", "sha256-hmac", "md5-hmac"};
const char* const kDh[] = {"768", "1024", "1536", "2048"};

#define WORDS(list) list, static_cast<int>(sizeof(list) / sizeof(list[0]))

// clang-format off
const Member kSettings[] = {
  {nullptr, "mode", Kind::Code, 7255, 0, WORDS(kMode), "unknown"},
  {nullptr, "NTP_address", Kind::Text, 155, 0, nullptr, 0, nullptr},
  {"firewall_application_filter", "IGMP_proxy", Kind::Code, 7181, 0, WORDS(kOff), "enabled"},
  {"firewall_application_filter", "PING_reply", Kind::Code, 7182, 0, WORDS(kReject), "accept"},
  {"firewall_application_filter", "SSH_access", Kind::Code, 7183, 0, WORDS(kReject), "accept"},
  {"firewall_application_filter", "WebUI_access", Kind::Code, 7184, 0, WORDS(kReject), "accept"},
  {"firewall_application_filter", "VPN_pass_thru(IPsec)", Kind::Code, 7185, 0, WORDS(kReject), "accept"},
  {"firewall_application_filter", "VPN_pass_thru(PPTP)", Kind::Code, 7186, 0, WORDS(kReject), "accept"},
  {"firewall_application_filter", "VPN_pass_thru(L2TP)", Kind::Code, 7187, 0, WORDS(kReject), "accept"},
  {"firewall_application_filter", "VPN_pass_thru(IPv6)", Kind::Code, 7188, 0, WORDS(kReject), "accept"},
  {"upside", "DHCP_mode", Kind::Code, 7209, 0, WORDS(kClient), "staticIP"},
  {"upside", "IP_address", Kind::Address, 101, 0, nullptr, 0, nullptr},
  {"upside", "subnet_mask", Kind::Address, 102, 0, nullptr, 0, nullptr},
  {"upside", "default_gateway", Kind::Address, 103, 0, nullptr, 0, nullptr},
  {"upside", "DNS_mode", Kind::Code, 7176, 0, WORDS(kAuto), "static"},
  {"upside", "DNS_address1", Kind::Address, 7177, 0, nullptr, 0, nullptr},
  {"upside", "DNS_address2", Kind::Address, 7178, 0, nullptr, 0, nullptr},
  {"upside", "DNS_address3", Kind::Address, 7179, 0, nullptr, 0, nullptr},
  {"downside", "DHCP_mode", Kind::Code, 173, 0, WORDS(kDownDhcp), "server"},
  {"downside", "IP_address", Kind::Address, 170, 0, nullptr, 0, nullptr},
  {"downside", "subnet_mask", Kind::Address, 171, 0, nullptr, 0, nullptr},
  {"downside", "DHCP_range", Kind::Range, 174, 175, nullptr, 0, nullptr},
  {"downside", "default_gateway", Kind::Address, 172, 0, nullptr, 0, nullptr},
  {"downside", "DNS_address", Kind::Address, 176, 0, nullptr, 0, nullptr},
  {"vpn", "protocol", Kind::Protocol, 7226, 7237, nullptr, 0, nullptr},
  {"vpn", "vpn_func", Kind::Code, 7256, 0, WORDS(kOff), "enabled"},
  {"vpn", "tunnel", Kind::Code, 7257, 0, WORDS(kSplit), "full"},
  {"ipsec_conf", "keyexchange", Kind::Code, 7258, 0, WORDS(kIkev1), "ikev2"},
  {"ipsec_conf", "pre_shared_key", Kind::Text, 7240, 0, nullptr, 0, nullptr},
  {"ipsec_conf", "crypt_algorithm", Kind::Code, 7245, 0, WORDS(kCrypt), "unknown"},
  {"ipsec_conf", "auth_algorithm", Kind::Code, 7244, 0, WORDS(kAuth), "unknown"},
  {"ipsec_conf", "dh_group", Kind::Code, 7248, 0, WORDS(kDh), "unknown"},
  {"ipsec_conf", "lifetime", Kind::Int, 7247, 0, nullptr, 0, nullptr},
  {"ipsec_conf", "local_lan_ip", Kind::Text, 7259, 0, nullptr, 0, nullptr},
  {"ipsec_conf", "local_id", Kind::Text, 7241, 0, nullptr, 0, nullptr},
  {"ipsec_conf", "remote_wan_ip", Kind::Text, 7239, 0, nullptr, 0, nullptr},
  {"ipsec_conf", "remote_lan_ip", Kind::Text, 7243, 0, nullptr, 0, nullptr},
  {"ipsec_conf", "remote_id", Kind::Text, 7242, 0, nullptr, 0, nullptr},
  {"ipsec_conf", "keep_alive_func", Kind::Code, 7249, 0, WORDS(kOff), "enabled"},
  {"ipsec_conf", "keep_alive_interval", Kind::Int, 7250, 0, nullptr, 0, nullptr},
  {"l2tpd_conf", "keep_alive_func", Kind::Code, 7234, 0, WORDS(kOff), "enabled"},
  {"l2tpd_conf", "keep_alive_interval", Kind::Int, 7235, 0, nullptr, 0, nullptr},
  {"l2tpd_conf", "remote_wan_ip", Kind::Text, 7227, 0, nullptr, 0, nullptr},
  {"l2tpd_conf", "remote_lan_ip", Kind::Text, 7231, 0, nullptr, 0, nullptr},
  {"l2tpd_conf", "local_lan_ip", Kind::Text, 7232, 0, nullptr, 0, nullptr},
  {"l2tpd_conf", "remote_end_id", Kind::Text, 7230, 0, nullptr, 0, nullptr},
  {"l2tpd_conf", "hostname", Kind::Text, 7228, 0, nullptr, 0, nullptr},
  {"plugin", "pppoe_server_address", Kind::Address, 7260, 0, nullptr, 0, nullptr},
  {"plugin", "pppoe_client_address", Kind::Address, 7261, 0, nullptr, 0, nullptr},
  {"plugin", "DNS_option", Kind::Address, 7262, 0, nullptr, 0, nullptr},
};

const Member kServer[] = {
  // The delay bounds are 16-bit values in the store.
  {nullptr, "boot_delay_max", Kind::Short, 7263, 0, nullptr, 0, nullptr},
  {nullptr, "info_delay_max", Kind::Short, 7264, 0, nullptr, 0, nullptr},
  {nullptr, "server_config_revision", Kind::Text, 7266, 0, nullptr, 0, nullptr},
  {"server", "service_code", Kind::Text, 1411, 0, nullptr, 0, nullptr},
  {"server", "address", Kind::Text, 1412, 0, nullptr, 0, nullptr},
  {"server", "port", Kind::Text, 1413, 0, nullptr, 0, nullptr},
  {"server", "TLS_enable", Kind::Code, 1414, 0, WORDS(kOff), "enabled"},
  {"server", "AUTH_enable", Kind::Code, 1415, 0, WORDS(kOff), "enabled"},
  {"server", "AUTH_user", Kind::Text, 1416, 0, nullptr, 0, nullptr},
  {"server", "AUTH_pass", Kind::Text, 1417, 0, nullptr, 0, nullptr},
  {"server_use", "server_enable", Kind::Code, 7101, 0, WORDS(kOff), "enabled"},
  {"server_use", "keep_alive_enable", Kind::Code, 1418, 0, WORDS(kOff), "enabled"},
  {"server_use", "keep_alive_interval", Kind::Text, 1419, 0, nullptr, 0, nullptr},
  {"server_use", "net_chk_enable", Kind::Code, 1430, 0, WORDS(kOff), "enabled"},
  {"server_use", "net_chk_err_time", Kind::Text, 1434, 0, nullptr, 0, nullptr},
  {"server_use", "net_opt_enable", Kind::Code, 7114, 0, WORDS(kOff), "enabled"},
  {"fota", "ota_function", Kind::Code, 1420, 0, WORDS(kOff), "enabled"},
  {"protocol_check", "protocol_enable", Kind::Code, 7267, 0, WORDS(kOff), "enabled"},
};
// clang-format on

std::string valueOf(const Member& m) {
  switch (m.kind) {
    case Kind::Code: {
      unsigned char code = configtool::storeByte(m.id);
      return code < m.wordCount ? m.words[code] : m.other;
    }
    case Kind::Int:
      return std::to_string(configtool::storeInt(m.id));
    case Kind::Short:
      return std::to_string(configtool::storeShort(m.id));
    case Kind::Address:
      return configtool::storeAddress(m.id);
    case Kind::Text:
      return configtool::storeText(m.id);
    case Kind::Range:
      return configtool::storeAddress(m.id) + "-" + configtool::storeAddress(m.id2);
    case Kind::Protocol: {
      bool l2tp = configtool::storeByte(m.id) != 0;
      bool ipsec = configtool::storeByte(m.id2) != 0;
      if (l2tp && ipsec) return "L2TPv3overIPsec";
      if (l2tp) return "L2TPv3";
      if (ipsec) return "IPsec";
      return "off";
    }
  }
  return std::string();
}

// Writes {"<top>":{...}} and a line feed; groups open where their first member stands and
// close where the next group (or the end) begins. The document is written under a temporary name
// and renamed over `path` once whole: a reader never finds half a document there, and a link at
// `path` is replaced, not followed.
int dumpDocument(const char* path, const char* top, const Member* members, size_t count) {
  if (path == nullptr) return -1;
  hbn::FileReplacement file(path, 0644);
  FILE* out = file.stream();
  if (out == nullptr) {
    fprintf(stderr, "ERROR:cannot open %s for writing\n", path);
    return -1;
  }
  apmib_init();
  fprintf(out, "{\"%s\":{", top);
  const char* group = nullptr;
  for (size_t i = 0; i < count; ++i) {
    const Member& m = members[i];
    bool first = i == 0;
    if (m.group != group) {
      if (group != nullptr) fputc('}', out);
      if (!first) fputc(',', out);
      if (m.group != nullptr) fprintf(out, "\"%s\":{", m.group);
      group = m.group;
    } else if (!first) {
      fputc(',', out);
    }
    fprintf(out, "\"%s\":", m.key);
    writeJsonString(out, valueOf(m));
  }
  if (group != nullptr) fputc('}', out);
  fputs("}}\n", out);
  if (!file.commit()) {
    fprintf(stderr, "ERROR:cannot write %s\n", path);
    return -1;
  }
  return 0;
}

}  // namespace

extern "C" int configtool_dumpJsonCfg(const char* path) {
  return dumpDocument(path, "setting", kSettings, sizeof kSettings / sizeof kSettings[0]);
}

extern "C" int configtool_dumpJsonSvr(const char* path) {
  return dumpDocument(path, "setting_server", kServer, sizeof kServer / sizeof kServer[0]);
}
