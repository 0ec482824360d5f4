// Network and text helpers shared by the daemons. Stateless; any thread may call them.
#pragma once
#include <cstdint>
#include <ctime>

// Clears both outputs, then fills the 6-byte hardware address and the first four bytes of the
// 16-byte address buffer (IPv4, most significant byte first). Failures are logged.
void HBN_util_netGetInfo(const char* ifname, uint8_t* hwaddr, uint8_t* addr);
// Network-byte-order IPv4 address of a dotted text or host name; 0xFFFFFFFF when none.
uint32_t HBN_util_netResolve(const char* host);
// One ICMP echo bound to `ifname`; 0 when a reply came within a second, else -1.
int HBN_util_netPing(const char* ifname, uint32_t target);
int HBN_util_netPingSendPacket(int sock, uint32_t target);
int HBN_util_netPingRecvPacket(int sock, uint32_t target);
// RFC 1071 Internet checksum, low 16 bits.
uint16_t HBN_util_netChecksum(const void* data, int length);

// Splits `text` in place with strtok_r; at most 10 tokens; returns their count.
int HBN_util_strSplit(char* text, const char* delimiters, char* tokens[10]);
// Two upper-case digits per byte, no terminator; returns 2n.
int HBN_util_hexEncode(char* destination, const uint8_t* source, int n);
// Reads n characters; returns the whole bytes written.
int HBN_util_hexDecode(uint8_t* destination, const char* text, int n);
// strtol base 10 (value always stored); 0 when the whole text was used, else -1.
int HBN_util_strToInt(const char* text, int* value);
// 16-byte DSK to "xxxxx-...-xxxxx" (47 characters and NUL); returns 0.
int HBN_util_dskToText(const uint8_t* dsk, char* destination);
// Parses eight groups (alters `text`); 0 and 16 bytes, or -1.
int HBN_util_dskFromText(char* text, uint8_t* destination);
// "Y/M/D h:m:s" in local time; 0 and the time, or -1.
int HBN_util_timeFromText(const char* text, time_t* seconds);
