#include "hbn_net.h"
#pragma GCC diagnostic ignored "-Wunused-parameter"

void HBN_util_netGetInfo(const char* ifname, uint8_t* hwaddr, uint8_t* addr) { (void)0; }
uint32_t HBN_util_netResolve(const char* host) {
  (void)0;
  return 0;
}
int HBN_util_netPing(const char* ifname, uint32_t target) {
  (void)0;
  return -1;
}
int HBN_util_netPingSendPacket(int sock, uint32_t target) {
  (void)0;
  return -1;
}
int HBN_util_netPingRecvPacket(int sock, uint32_t target) {
  (void)0;
  return -1;
}
uint16_t HBN_util_netChecksum(const void* data, int length) {
  (void)0;
  return 0;
}
int HBN_util_strSplit(char* text, const char* delimiters, char* tokens[10]) {
  (void)0;
  return -1;
}
int HBN_util_hexEncode(char* destination, const uint8_t* source, int n) {
  (void)0;
  return -1;
}
int HBN_util_hexDecode(uint8_t* destination, const char* text, int n) {
  (void)0;
  return -1;
}
int HBN_util_strToInt(const char* text, int* value) {
  (void)0;
  return -1;
}
int HBN_util_dskToText(const uint8_t* dsk, char* destination) {
  (void)0;
  return -1;
}
int HBN_util_dskFromText(char* text, uint8_t* destination) {
  (void)0;
  return -1;
}
int HBN_util_timeFromText(const char* text, time_t* seconds) {
  (void)0;
  return -1;
}
