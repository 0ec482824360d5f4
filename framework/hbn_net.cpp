// Network and text helpers: interface addresses, a one-shot ICMP echo bound to an interface,
// the Internet checksum, and the text conversions of the cloud payloads.
#include "hbn_net.h"
#include "hbn_platform.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <arpa/inet.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "hbn_log.h"

namespace {

// Linux raw ICMP socket filter (linux/icmp.h clashes with net/if.h): a set bit drops that type.
constexpr int kIcmpFilter = 1;
constexpr int kIcmpEchoRequest = 8;
struct IcmpFilter {
  uint32_t data;
};

}  // namespace

void HBN_util_netGetInfo(const char* ifname, uint8_t* hwaddr, uint8_t* addr) {
  if (hwaddr != nullptr) memset(hwaddr, 0, 6);
  if (addr != nullptr) memset(addr, 0, 16);
  if (ifname == nullptr || hwaddr == nullptr || addr == nullptr) {
    HBN_log_print(HBN_LOG_ERROR, "argument is NULL\n");
    return;
  }
  int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (sock < 0) {
    HBN_log_print(HBN_LOG_ERROR, "socket create fail\n");
    return;
  }
  struct ifreq request;
  memset(&request, 0, sizeof request);
  strncpy(request.ifr_name, ifname, 15);  // the rest of the 16-byte name stays NUL
  request.ifr_addr.sa_family = AF_INET;
  int result = ioctl(sock, SIOCGIFHWADDR, &request);
  if (result != 0) {
    HBN_log_print(HBN_LOG_ERROR, "ioctl fail(%d)\n", result);
    close(sock);
    return;
  }
  memcpy(hwaddr, request.ifr_hwaddr.sa_data, 6);
  HBN_log_print(HBN_LOG_DEBUG, "MAC:%02X%02X%02X%02X%02X%02X\n", hwaddr[0], hwaddr[1], hwaddr[2], hwaddr[3],
                hwaddr[4], hwaddr[5]);
  request.ifr_addr.sa_family = AF_INET;
  result = ioctl(sock, SIOCGIFADDR, &request);
  if (result != 0) {
    HBN_log_print(HBN_LOG_ERROR, "ioctl fail(%d)\n", result);
    close(sock);
    return;
  }
  struct sockaddr_in inet;
  memcpy(&inet, &request.ifr_addr, sizeof inet);
  memcpy(addr, &inet.sin_addr.s_addr, 4);  // network order: most significant byte first
  HBN_log_print(HBN_LOG_DEBUG, "ADDR:%d.%d.%d.%d\n", addr[0], addr[1], addr[2], addr[3]);
  close(sock);
}

uint32_t HBN_util_netResolve(const char* host) {
  if (host == nullptr) return INADDR_NONE;
  uint32_t address = inet_addr(host);
  if (address != INADDR_NONE) return address;
  // getaddrinfo rather than gethostbyname: any thread may resolve at the same time.
  struct addrinfo hints;
  memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_INET;
  struct addrinfo* found = nullptr;
  if (getaddrinfo(host, nullptr, &hints, &found) != 0 || found == nullptr) return INADDR_NONE;
  struct sockaddr_in inet;
  memcpy(&inet, found->ai_addr, sizeof inet);
  freeaddrinfo(found);
  return inet.sin_addr.s_addr;
}

int HBN_util_netPing(const char* ifname, uint32_t target) {
  if (ifname == nullptr || target == INADDR_NONE) return -1;
  int sock = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
  if (sock < 0) return -1;
  setsockopt(sock, SOL_SOCKET, SO_BINDTODEVICE, ifname,
             static_cast<socklen_t>(strnlen(ifname, IFNAMSIZ - 1) + 1));
  // A raw socket also sees echo requests, our own included when the target is this host;
  // filter them so the one packet examined can be the answer.
  IcmpFilter filter = {1u << kIcmpEchoRequest};
  setsockopt(sock, SOL_RAW, kIcmpFilter, &filter, sizeof filter);
  int result = -1;
  if (HBN_util_netPingSendPacket(sock, target) == 0 && HBN_util_netPingRecvPacket(sock, target) == 0)
    result = 0;
  close(sock);
  return result;
}

int HBN_util_netPingSendPacket(int sock, uint32_t target) {
  uint8_t packet[8] = {8, 0, 0, 0, 0, 0, 0, 0};
  uint16_t identifier = htons(static_cast<uint16_t>(getpid()));
  memcpy(packet + 4, &identifier, 2);
  uint16_t checksum = HBN_util_netChecksum(packet, sizeof packet);
  memcpy(packet + 2, &checksum, 2);
  struct sockaddr_in to;
  memset(&to, 0, sizeof to);
  to.sin_family = AF_INET;
  to.sin_port = 0;
  to.sin_addr.s_addr = target;
  if (sendto(sock, packet, sizeof packet, 0, reinterpret_cast<struct sockaddr*>(&to), sizeof to) < 0)
    return -1;
  return 0;
}

int HBN_util_netPingRecvPacket(int sock, uint32_t target) {
  struct pollfd fd = {sock, POLLIN, 0};
  if (hbn::platform().poll(&fd, 1, 1000) < 1) return -1;
  uint8_t packet[2048];
  ssize_t length = recv(sock, packet, sizeof packet, 0);
  if (length < 20) return -1;
  uint32_t source;
  uint32_t destination;
  memcpy(&source, packet + 12, 4);
  memcpy(&destination, packet + 16, 4);
  HBN_log_print(HBN_LOG_DEBUG, "ping dest      =0x%08X\n", target);
  HBN_log_print(HBN_LOG_DEBUG, "ping reply src =0x%08X\n", source);
  HBN_log_print(HBN_LOG_DEBUG, "ping reply dest=0x%08X\n", destination);
  if (source != target) return -1;
  size_t headerLength = static_cast<size_t>(packet[0] & 0x0f) * 4;
  if (static_cast<size_t>(length) < headerLength + 8) return -1;
  int type = packet[headerLength];
  if (type == 0) {
    HBN_log_print(HBN_LOG_DEBUG, "ping reply=ECHO REPLY)\n");
    return 0;
  }
  HBN_log_print(HBN_LOG_DEBUG, "ping reply=%d\n", type);
  return -1;
}

uint16_t HBN_util_netChecksum(const void* data, int length) {
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  uint32_t sum = 0;
  int i = 0;
  for (; i + 1 < length; i += 2) {
    uint16_t word;
    memcpy(&word, bytes + i, 2);
    sum += word;
  }
  if (i < length) sum += bytes[i];
  sum = (sum >> 16) + (sum & 0xffff);
  sum = (sum >> 16) + (sum & 0xffff);
  return static_cast<uint16_t>(~sum & 0xffff);
}

int HBN_util_strSplit(char* text, const char* delimiters, char* tokens[10]) {
  if (text == nullptr || delimiters == nullptr || tokens == nullptr) return 0;
  int count = 0;
  char* save = nullptr;
  for (char* token = strtok_r(text, delimiters, &save); token != nullptr && count < 10;
       token = count < 10 ? strtok_r(nullptr, delimiters, &save) : nullptr) {
    tokens[count++] = token;
  }
  return count;
}

int HBN_util_hexEncode(char* destination, const uint8_t* source, int n) {
  static const char kDigits[] = "0123456789ABCDEF";
  if (destination == nullptr || source == nullptr || n <= 0) return 0;
  for (int i = 0; i < n; ++i) {
    destination[2 * i] = kDigits[source[i] >> 4];
    destination[2 * i + 1] = kDigits[source[i] & 0x0f];
  }
  return 2 * n;
}

namespace {

uint8_t hexValue(char c) {
  if (c >= '0' && c <= '9') return static_cast<uint8_t>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<uint8_t>(c - 'a' + 10);
  if (c >= 'A' && c <= 'F') return static_cast<uint8_t>(c - 'A' + 10);
  return 0;
}

}  // namespace

int HBN_util_hexDecode(uint8_t* destination, const char* text, int n) {
  if (destination == nullptr || text == nullptr || n <= 0) return 0;
  for (int i = 0; i < n; ++i) {
    uint8_t value = hexValue(text[i]);
    if (i % 2 == 0) {
      destination[i / 2] = static_cast<uint8_t>(value << 4);
    } else {
      destination[i / 2] = static_cast<uint8_t>(destination[i / 2] | value);
    }
  }
  return n / 2;
}

int HBN_util_strToInt(const char* text, int* value) {
  if (text == nullptr || value == nullptr) return -1;
  char* end = nullptr;
  errno = 0;
  long parsed = strtol(text, &end, 10);
  bool overflow = errno == ERANGE || parsed > INT_MAX || parsed < INT_MIN;
  if (parsed > INT_MAX) parsed = INT_MAX;
  if (parsed < INT_MIN) parsed = INT_MIN;
  *value = static_cast<int>(parsed);
  // An empty text or a number out of range is not a number.
  if (end == text || *end != '\0' || overflow) return -1;
  return 0;
}

int HBN_util_dskToText(const uint8_t* dsk, char* destination) {
  if (dsk == nullptr || destination == nullptr) return -1;
  char* out = destination;
  for (int i = 0; i < 8; ++i) {
    unsigned short group = static_cast<unsigned short>((dsk[2 * i] << 8) | dsk[2 * i + 1]);
    out += snprintf(out, 7, i == 0 ? "%05hu" : "-%05hu", group);
  }
  return 0;
}

int HBN_util_dskFromText(char* text, uint8_t* destination) {
  if (text == nullptr || destination == nullptr) return -1;
  char* groups[10];
  if (HBN_util_strSplit(text, "-", groups) != 8) return -1;
  uint8_t bytes[16];
  for (int i = 0; i < 8; ++i) {
    int value = 0;
    if (HBN_util_strToInt(groups[i], &value) != 0) return -1;
    bytes[2 * i] = static_cast<uint8_t>((value >> 8) & 0xff);
    bytes[2 * i + 1] = static_cast<uint8_t>(value & 0xff);
  }
  memcpy(destination, bytes, sizeof bytes);
  return 0;
}

int HBN_util_timeFromText(const char* text, time_t* seconds) {
  if (text == nullptr || seconds == nullptr) return -1;
  int year, month, day, hour, minute, second;
  if (sscanf(text, "%d/%d/%d %d:%d:%d", &year, &month, &day, &hour, &minute, &second) != 6) return -1;
  struct tm fields;
  memset(&fields, 0, sizeof fields);
  fields.tm_year = year - 1900;
  fields.tm_mon = month - 1;
  fields.tm_mday = day;
  fields.tm_hour = hour;
  fields.tm_min = minute;
  fields.tm_sec = second;
  fields.tm_isdst = -1;  // local time as the zone has it on that date
  time_t result = mktime(&fields);
  if (result == static_cast<time_t>(-1)) return -1;
  *seconds = result;
  return 0;
}
