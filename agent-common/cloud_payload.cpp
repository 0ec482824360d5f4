#include "cloud_payload.h"

#include <net/if.h>

#include <cstdio>
#include <cstring>
#include <ctime>

#include "device_info.h"

namespace hbn {

void jsonMember(HBN_text_t& text, const char* name, const char* value, bool first) {
  text.format("%s\"%s\":\"", first ? "" : ",", name).escaped(value).append("\"");
}

void powerOnText(int64_t stored, char* out, size_t size) {
  time_t seconds = static_cast<time_t>(stored);
  struct tm parts;
  memset(&parts, 0, sizeof parts);
  gmtime_r(&seconds, &parts);
  snprintf(out, size, "%04d-%02d-%02dT%02d:%02d:%02d+09:00", parts.tm_year + 1900, parts.tm_mon + 1,
           parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec);
}

void netInfoPayload(HBN_text_t& text, const char* ifname) {
  uint8_t mac[6] = {0}, ip[4] = {0};
  // The interface query cuts a long name to an interface name's length, and the cut name could
  // be another interface: a name that long has no interface, so all zero.
  if (strlen(ifname) < IFNAMSIZ) readInterfaceInfo(ifname, mac, ip);
  char macText[13], ipText[16];
  snprintf(macText, sizeof macText, "%02X%02X%02X%02X%02X%02X", mac[0], mac[1], mac[2], mac[3], mac[4],
           mac[5]);
  snprintf(ipText, sizeof ipText, "%u.%u.%u.%u", ip[0], ip[1], ip[2], ip[3]);
  text.append("{");
  jsonMember(text, "ifname", ifname, true);
  jsonMember(text, "mac", macText);
  jsonMember(text, "ipv4", ipText);
  text.append("}");
}

}  // namespace hbn
