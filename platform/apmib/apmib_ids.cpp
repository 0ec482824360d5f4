// The ids this system reads and writes, with their kind, size and factory default.
// Texts hold at most 255 characters (256-byte buffer) unless a caller is known to use a
// smaller buffer: the login credentials and the administrator password (32 bytes).
#include "apmib_ids_internal.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace apmib_ids {
namespace {

constexpr uint16_t kText = 256;
constexpr uint16_t kShortText = 32;

constexpr IdDef B(int id, const char* def, const char* what) { return {id, Kind::Byte, 1, true, def, what}; }
constexpr IdDef W(int id, const char* def, const char* what) { return {id, Kind::U16, 2, true, def, what}; }
constexpr IdDef I(int id, const char* def, const char* what) { return {id, Kind::I32, 4, true, def, what}; }
constexpr IdDef A(int id, const char* def, const char* what) { return {id, Kind::Ipv4, 4, true, def, what}; }
constexpr IdDef T(int id, const char* def, const char* what) {
  return {id, Kind::Text, kText, true, def, what};
}
constexpr IdDef S(int id, const char* def, const char* what) {
  return {id, Kind::Text, kShortText, true, def, what};
}
// Text without a factory value (per-device identity, written at manufacture).
constexpr IdDef N(int id, const char* what) { return {id, Kind::Text, kText, false, "", what}; }

// Sorted by id (checked once at first use).
const IdDef kTable[] = {
    // Router WAN (upside) and LAN (downside) addresses.
    A(101, "0.0.0.0", "WAN IP address"),
    A(102, "0.0.0.0", "WAN subnet mask"),
    A(103, "0.0.0.0", "WAN default gateway"),
    T(155, "", "NTP server address"),
    A(170, "192.168.0.1", "LAN IP address"),
    A(171, "255.255.255.0", "LAN subnet mask"),
    A(172, "0.0.0.0", "LAN default gateway"),
    B(173, "2", "LAN DHCP mode (2 server)"),
    A(174, "192.168.0.2", "LAN DHCP range start"),
    A(175, "192.168.0.100", "LAN DHCP range end"),
    A(176, "0.0.0.0", "LAN DNS address"),
    S(182, "admin", "web login user name"),
    S(183, "admin", "web login password"),
    B(194, "0", "firewall: WebUI access"),
    B(195, "0", "firewall: PING reply"),
    B(196, "0", "firewall: SSH access"),
    B(245, "0", "firewall: VPN pass-through IPsec"),
    B(246, "0", "firewall: VPN pass-through PPTP"),
    B(247, "0", "firewall: VPN pass-through L2TP"),
    B(283, "0", "firewall: IGMP proxy"),
    B(360, "0", "firewall: VPN pass-through IPv6"),
    // Z-Wave agent identity, cloud and OTA server settings, logins.
    S(1409, "", "administrator password"),
    N(1410, "serial number"),
    T(1411, "", "service code"),
    T(1412, "", "cloud server host"),
    T(1413, "", "cloud server port (decimal text)"),
    B(1414, "0", "cloud TLS enable"),
    B(1415, "0", "cloud login enable"),
    T(1416, "", "cloud login user"),
    T(1417, "", "cloud login password"),
    B(1418, "0", "cloud keep-alive enable"),
    T(1419, "", "cloud keep-alive interval seconds (decimal text)"),
    B(1420, "0", "OTA function enable (as dumped)"),
    T(1421, "", "OTA server host"),
    W(1422, "0", "OTA server port"),
    B(1423, "0", "OTA TLS enable"),
    B(1424, "0", "OTA login enable"),
    T(1425, "", "OTA login user"),
    T(1426, "", "OTA login password"),
    T(1428, "", "console login user name"),
    T(1429, "", "console login password"),
    B(1430, "0", "network check enable (as dumped)"),
    T(1434, "", "network check error time (as dumped, decimal text)"),
    // WAN type 1 block (7101..7114).
    B(7101, "0", "WAN1 cloud enable"),
    N(7102, "WAN1 serial number"),
    T(7103, "", "WAN1 service code"),
    T(7104, "", "WAN1 MQTT server host"),
    W(7105, "0", "WAN1 MQTT server port"),
    B(7106, "0", "WAN1 TLS enable"),
    B(7107, "0", "WAN1 MQTT login enable"),
    T(7108, "", "WAN1 MQTT user name"),
    T(7109, "", "WAN1 MQTT password"),
    B(7110, "0", "WAN1 keep-alive enable"),
    I(7111, "0", "WAN1 keep-alive period seconds"),
    B(7112, "0", "WAN1 link check enable"),
    I(7113, "0", "WAN1 link check time minutes"),
    B(7114, "0", "WAN1 optimize enable"),
    // WAN type 2 block (7115..7128).
    B(7115, "0", "WAN2 cloud enable"),
    N(7116, "WAN2 serial number"),
    T(7117, "", "WAN2 service code"),
    T(7118, "", "WAN2 MQTT server host"),
    W(7119, "0", "WAN2 MQTT server port"),
    B(7120, "0", "WAN2 TLS enable"),
    B(7121, "0", "WAN2 MQTT login enable"),
    T(7122, "", "WAN2 MQTT user name"),
    T(7123, "", "WAN2 MQTT password"),
    B(7124, "0", "WAN2 keep-alive enable"),
    I(7125, "0", "WAN2 keep-alive period seconds"),
    B(7126, "0", "WAN2 link check enable"),
    I(7127, "0", "WAN2 link check time minutes"),
    B(7128, "0", "WAN2 optimize enable"),
    // WAN type 0 block (7129..7142).
    B(7129, "0", "WAN0 cloud enable"),
    N(7130, "WAN0 serial number"),
    T(7131, "", "WAN0 service code"),
    T(7132, "", "WAN0 MQTT server host"),
    W(7133, "0", "WAN0 MQTT server port"),
    B(7134, "0", "WAN0 TLS enable"),
    B(7135, "0", "WAN0 MQTT login enable"),
    T(7136, "", "WAN0 MQTT user name"),
    T(7137, "", "WAN0 MQTT password"),
    B(7138, "0", "WAN0 keep-alive enable"),
    I(7139, "0", "WAN0 keep-alive period seconds"),
    B(7140, "0", "WAN0 link check enable"),
    I(7141, "0", "WAN0 link check time minutes"),
    B(7142, "0", "WAN0 optimize enable"),
    // WAN judgement and fail-over.
    B(7144, "3", "WAN mode 0..3"),
    B(7155, "0", "dual-WAN enable"),
    B(7156, "0", "single-WAN selector"),
    B(7157, "0", "fail-over enable"),
    B(7158, "0", "main/sub role swap"),
    B(7159, "0", "check method (0 MQTT, else ping)"),
    B(7160, "0", "MQTT-mode fail-back enable"),
    I(7161, "0", "MQTT-mode fail-back time minutes"),
    T(7162, "", "ping host"),
    I(7163, "0", "ping interval seconds"),
    I(7164, "0", "ping fail-over count"),
    B(7165, "0", "ping fail-back enable"),
    I(7166, "0", "ping fail-back count"),
    // Router settings.
    B(7176, "0", "WAN DNS mode (0 auto)"),
    A(7177, "0.0.0.0", "WAN DNS address 1"),
    A(7178, "0.0.0.0", "WAN DNS address 2"),
    A(7179, "0.0.0.0", "WAN DNS address 3"),
    B(7181, "0", "firewall: IGMP proxy"),
    B(7182, "0", "firewall: PING reply"),
    B(7183, "0", "firewall: SSH access"),
    B(7184, "0", "firewall: WebUI access"),
    B(7185, "0", "firewall: VPN pass-through IPsec"),
    B(7186, "0", "firewall: VPN pass-through PPTP"),
    B(7187, "0", "firewall: VPN pass-through L2TP"),
    B(7188, "0", "firewall: VPN pass-through IPv6"),
    B(7196, "0", "WAN DNS mode (copy 2)"),
    A(7197, "0.0.0.0", "WAN DNS address 1 (copy 2)"),
    A(7198, "0.0.0.0", "WAN DNS address 2 (copy 2)"),
    A(7199, "0.0.0.0", "WAN DNS address 3 (copy 2)"),
    B(7201, "0", "firewall: IGMP proxy (copy 2)"),
    B(7202, "0", "firewall: PING reply (copy 2)"),
    B(7203, "0", "firewall: SSH access (copy 2)"),
    B(7204, "0", "firewall: WebUI access (copy 2)"),
    B(7205, "0", "firewall: VPN pass-through IPsec (copy 2)"),
    B(7206, "0", "firewall: VPN pass-through PPTP (copy 2)"),
    B(7207, "0", "firewall: VPN pass-through L2TP (copy 2)"),
    B(7208, "0", "firewall: VPN pass-through IPv6 (copy 2)"),
    B(7209, "0", "WAN DHCP mode (0 client)"),
    A(7210, "0.0.0.0", "WAN IP address (copy 2)"),
    A(7211, "0.0.0.0", "WAN subnet mask (copy 2)"),
    A(7212, "0.0.0.0", "WAN default gateway (copy 2)"),
    B(7213, "0", "WAN DNS mode (copy 3)"),
    A(7214, "0.0.0.0", "WAN DNS address 1 (copy 3)"),
    A(7215, "0.0.0.0", "WAN DNS address 2 (copy 3)"),
    A(7216, "0.0.0.0", "WAN DNS address 3 (copy 3)"),
    B(7218, "0", "firewall: IGMP proxy (copy 3)"),
    B(7219, "0", "firewall: PING reply (copy 3)"),
    B(7220, "0", "firewall: SSH access (copy 3)"),
    B(7221, "0", "firewall: WebUI access (copy 3)"),
    B(7222, "0", "firewall: VPN pass-through IPsec (copy 3)"),
    B(7223, "0", "firewall: VPN pass-through PPTP (copy 3)"),
    B(7224, "0", "firewall: VPN pass-through L2TP (copy 3)"),
    B(7225, "0", "firewall: VPN pass-through IPv6 (copy 3)"),
    B(7226, "0", "VPN L2TPv3 on"),
    T(7227, "", "L2TP remote WAN address"),
    T(7228, "", "L2TP host name"),
    T(7230, "", "L2TP remote end id"),
    T(7231, "", "L2TP remote LAN address"),
    T(7232, "", "L2TP local LAN address"),
    B(7234, "0", "L2TP keep-alive enable"),
    I(7235, "60", "L2TP keep-alive interval seconds"),
    B(7237, "0", "VPN IPsec on"),
    T(7239, "", "IPsec remote WAN address"),
    T(7240, "", "IPsec pre-shared key"),
    T(7241, "", "IPsec local id"),
    T(7242, "", "IPsec remote id"),
    T(7243, "", "IPsec remote LAN address list"),
    B(7244, "0", "IPsec auth algorithm"),
    B(7245, "0", "IPsec crypt algorithm"),
    I(7247, "3600", "IPsec lifetime seconds"),
    B(7248, "0", "IPsec DH group"),
    B(7249, "0", "IPsec keep-alive enable"),
    I(7250, "60", "IPsec keep-alive interval seconds"),
    A(7253, "192.168.0.1", "LAN IP address (copy 2)"),
    A(7254, "255.255.255.0", "LAN subnet mask (copy 2)"),
    B(7255, "0", "operation mode (0 plugin, 1 mobile, 2 non-mobile)"),
    B(7256, "0", "VPN function enable"),
    B(7257, "0", "VPN tunnel (0 split, 1 full)"),
    B(7258, "0", "IPsec key exchange (0 ikev1, 1 ikev2)"),
    T(7259, "", "IPsec local LAN address list"),
    A(7260, "0.0.0.0", "PPPoE server address"),
    A(7261, "0.0.0.0", "PPPoE client address"),
    A(7262, "0.0.0.0", "DNS option address"),
    // Server-side switches and delay bounds.
    W(7263, "0", "boot announce random delay bound"),
    W(7264, "0", "info random delay bound"),
    B(7265, "0", "OTA function enable (as loaded)"),
    T(7266, "", "server configuration revision"),
    B(7267, "0", "protocol check enable"),
};

constexpr size_t kCount = sizeof(kTable) / sizeof(kTable[0]);

bool parseLong(const std::string& text, long long lo, long long hi, long long* out) {
  if (text.empty() || text.size() > 20) return false;
  errno = 0;
  char* end = nullptr;
  long long v = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || end == text.c_str() || *end != '\0' || v < lo || v > hi) return false;
  *out = v;
  return true;
}

}  // namespace

const IdDef* find(int id) {
  const IdDef* end = kTable + kCount;
  const IdDef* it = std::lower_bound(kTable, end, id, [](const IdDef& d, int v) { return d.id < v; });
  return (it != end && it->id == id) ? it : nullptr;
}

const IdDef* all(size_t* count) {
  *count = kCount;
  return kTable;
}

bool parse(const IdDef& def, const std::string& text, unsigned char* out) {
  long long v = 0;
  switch (def.kind) {
    case Kind::Byte:
      if (!parseLong(text, 0, 255, &v)) return false;
      out[0] = static_cast<unsigned char>(v);
      return true;
    case Kind::U16: {
      if (!parseLong(text, 0, 65535, &v)) return false;
      uint16_t w = static_cast<uint16_t>(v);
      std::memcpy(out, &w, sizeof w);
      return true;
    }
    case Kind::I32: {
      if (!parseLong(text, INT32_MIN, INT32_MAX, &v)) return false;
      int32_t i = static_cast<int32_t>(v);
      std::memcpy(out, &i, sizeof i);
      return true;
    }
    case Kind::Ipv4: {
      struct in_addr a {};
      if (inet_pton(AF_INET, text.c_str(), &a) != 1) return false;
      std::memcpy(out, &a.s_addr, 4);
      return true;
    }
    case Kind::Text:
      if (text.size() + 1 > def.size || text.find('\0') != std::string::npos) return false;
      std::memcpy(out, text.c_str(), text.size() + 1);
      return true;
  }
  return false;
}

std::string format(const IdDef& def, const unsigned char* value) {
  switch (def.kind) {
    case Kind::Byte:
      return std::to_string(value[0]);
    case Kind::U16: {
      uint16_t w;
      std::memcpy(&w, value, sizeof w);
      return std::to_string(w);
    }
    case Kind::I32: {
      int32_t i;
      std::memcpy(&i, value, sizeof i);
      return std::to_string(i);
    }
    case Kind::Ipv4: {
      char buf[INET_ADDRSTRLEN] = {0};
      inet_ntop(AF_INET, value, buf, sizeof buf);
      return buf;
    }
    case Kind::Text:
      return std::string(reinterpret_cast<const char*>(value),
                         strnlen(reinterpret_cast<const char*>(value), def.size));
  }
  return std::string();
}

std::string escape(const std::string& raw) {
  static const char hex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(raw.size());
  for (unsigned char c : raw) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c < 0x20 || c == 0x7f) {
      out += "\\x";
      out += hex[c >> 4];
      out += hex[c & 0xf];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

bool unescape(const std::string& escaped, std::string* raw) {
  raw->clear();
  for (size_t i = 0; i < escaped.size(); ++i) {
    char c = escaped[i];
    if (c != '\\') {
      *raw += c;
      continue;
    }
    if (++i >= escaped.size()) return false;
    switch (escaped[i]) {
      case '\\':
        *raw += '\\';
        break;
      case 'n':
        *raw += '\n';
        break;
      case 'r':
        *raw += '\r';
        break;
      case 'x': {
        if (i + 2 >= escaped.size() || !isxdigit(static_cast<unsigned char>(escaped[i + 1])) ||
            !isxdigit(static_cast<unsigned char>(escaped[i + 2])))
          return false;
        char hx[3] = {escaped[i + 1], escaped[i + 2], 0};
        long v = std::strtol(hx, nullptr, 16);
        if (v == 0) return false;  // a NUL cannot be part of a text value
        *raw += static_cast<char>(v);
        i += 2;
        break;
      }
      default:
        return false;
    }
  }
  return true;
}

}  // namespace apmib_ids
