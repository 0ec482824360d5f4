// The Z-Wave commands the core sends to the gateway, byte for byte, and how each is sent:
// tracked (wait for the acknowledgement, succeed only on it) or not waited for.
#include <cstring>

#include "hbn_log.h"
#include "hbn_zip.h"

namespace {

uint8_t seq() { return static_cast<uint8_t>(HBN_core_zipNextCmdSeq()); }

// Clears the completion status, sends, waits; 0 only when the gateway acknowledged.
int sendTracked(int dst, const uint8_t* command, int length, int secure) {
  HBN_core_zipStatusClear();
  if (!HBN_core_zipPacketSend(dst, command, length, secure, HBN_ZIP_SEND_TRACKED)) {
    HBN_LOG(HBN_LOG_ERROR, "Z/IP send refused(%d,0x%02X)\n", dst, length > 0 ? command[0] : 0);
    return -1;
  }
  return HBN_core_zipPacketWait() == HBN_ZIP_STATUS_OK ? 0 : -1;
}

// Sends and returns at once; the transmission state goes back to idle. A refusal is logged
// under the name of the command operation `func`.
int sendUntracked(const char* func, int dst, const uint8_t* command, int length, int secure, int mode) {
  if (!HBN_core_zipPacketSend(dst, command, length, secure, mode)) {
    HBN_log_printAt(HBN_LOG_WARN, func, __LINE__, "zconnection_send_async fail\n");
    return -1;
  }
  HBN_core_zipPacketRelease();
  return 0;
}

}  // namespace

int HBN_core_zipCmdInclusionStart(int gw) {
  const uint8_t c[] = {0x34, 0x01, seq(), 0x00, 0x07, 0x00};
  return sendTracked(gw, c, sizeof(c), 1);
}

int HBN_core_zipCmdInclusionStop(int gw) {
  const uint8_t c[] = {0x34, 0x01, seq(), 0x00, 0x05, 0x00};
  return sendTracked(gw, c, sizeof(c), 1);
}

int HBN_core_zipCmdExclusionStart(int gw) {
  const uint8_t c[] = {0x34, 0x03, seq(), 0x00, 0x01};
  return sendTracked(gw, c, sizeof(c), 1);
}

int HBN_core_zipCmdExclusionStop(int gw) {
  const uint8_t c[] = {0x34, 0x03, seq(), 0x00, 0x05};
  return sendTracked(gw, c, sizeof(c), 1);
}

int HBN_core_zipCmdForceFailing(int nodeID) {
  const uint8_t c[] = {0x20, 0x02};
  return sendUntracked(__func__, nodeID, c, sizeof(c), 0, HBN_ZIP_SEND_NO_ROUTE);
}

int HBN_core_zipCmdRemoveFailed(int gw, int nodeID) {
  const uint8_t c[] = {0x34, 0x07, seq(), static_cast<uint8_t>(nodeID)};
  return sendTracked(gw, c, sizeof(c), 1);
}

int HBN_core_zipCmdReplaceStart(int gw, int nodeID) {
  const uint8_t c[] = {0x34, 0x09, seq(), static_cast<uint8_t>(nodeID), 0x00, 0x07};
  return sendTracked(gw, c, sizeof(c), 1);
}

int HBN_core_zipCmdReplaceStop(int gw) {
  const uint8_t c[] = {0x34, 0x09, seq(), 0x00, 0x00, 0x05};
  return sendTracked(gw, c, sizeof(c), 1);
}

int HBN_core_zipCmdLearnStart(int gw, int mode) {
  const uint8_t c[] = {0x4D, 0x01, seq(), 0x00, static_cast<uint8_t>(mode)};
  return sendTracked(gw, c, sizeof(c), 1);
}

int HBN_core_zipCmdLearnStop(int gw) {
  const uint8_t c[] = {0x4D, 0x01, seq(), 0x00, 0x00};
  return sendTracked(gw, c, sizeof(c), 1);
}

int HBN_core_zipCmdSend(int nodeID, const uint8_t* data, int length, int secure) {
  if (data == nullptr || length <= 0) {
    HBN_LOG(HBN_LOG_WARN, "zconnection_send_async fail\n");
    return -1;
  }
  return sendUntracked(__func__, nodeID, data, length, secure ? 1 : 0, HBN_ZIP_SEND_TRACKED);
}

int HBN_core_zipCmdGetNodeList(int wait) {
  const uint8_t c[] = {0x4D, 0x0A, seq()};
  if (wait) return sendTracked(0, c, sizeof(c), 1);
  // Sent from the command thread, which cannot wait for its own acknowledgement: the answer
  // settles the packet when it arrives, or the next send expires it.
  HBN_core_zipStatusClear();
  return HBN_core_zipPacketSend(0, c, sizeof(c), 1, HBN_ZIP_SEND_TRACKED) ? 0 : -1;
}

int HBN_core_zipCmdGetNodeInfo(int gw, int nodeID) {
  const uint8_t c[] = {0x4D, 0x0C, seq(), static_cast<uint8_t>(nodeID)};
  return sendTracked(gw, c, sizeof(c), 1);
}

int HBN_core_zipCmdSetKeys(int gw, int keys) {
  const uint8_t c[] = {0x34, 0x12, seq(), 0x01, static_cast<uint8_t>(keys)};
  return sendUntracked(__func__, gw, c, sizeof(c), 1, HBN_ZIP_SEND_TRACKED);
}

int HBN_core_zipCmdSetDSK(int gw, int length, const uint8_t* input) {
  const int n = length < 0 ? 0 : length % 16;
  if (n > 0 && input == nullptr) return -1;
  uint8_t c[4 + 16];
  c[0] = 0x34;
  c[1] = 0x14;
  c[2] = seq();
  c[3] = static_cast<uint8_t>(0x80 + n);
  if (n > 0) memcpy(c + 4, input, static_cast<size_t>(n));
  return sendUntracked(__func__, gw, c, 4 + n, 1, HBN_ZIP_SEND_TRACKED);
}

int HBN_core_zipCmdGetDSK(int gw) {
  const uint8_t c[] = {0x4D, 0x08, seq(), 0x00};
  return sendTracked(gw, c, sizeof(c), 1);
}

int HBN_core_zipCmdGetGwDSK(int gw) {
  const uint8_t c[] = {0x4D, 0xA8, seq()};
  return sendTracked(gw, c, sizeof(c), 1);
}

int HBN_core_zipCmdReset(int gw) {
  const uint8_t c[] = {0x4D, 0x06, seq()};
  return sendTracked(gw, c, sizeof(c), 1);
}

int HBN_core_zipCmdTestFrame(int nodeID, int count) {
  // The frame index runs as an int: with 255 frames an 8-bit index would never pass the count.
  const int n = count & 0xFF;
  const uint8_t c[] = {0x20, 0x01, 0x00};
  HBN_core_zipTestBegin(n);
  int result = 0;
  for (int index = 1; index <= n; ++index) {
    HBN_core_zipStatusClear();
    if (!HBN_core_zipPacketSend(nodeID, c, sizeof(c), 0, HBN_ZIP_SEND_TEST)) {
      HBN_LOG(HBN_LOG_WARN, "zconnection_send_async fail\n");
      result = -1;
      break;
    }
    HBN_core_zipPacketWait();
    HBN_core_zipTestNext();
  }
  HBN_core_zipTestEnd();
  return result;
}

int HBN_core_zipCmdPvSet(int gw, const uint8_t* dsk) {
  if (dsk == nullptr) return -1;
  uint8_t c[4 + 16] = {0x78, 0x01, seq(), 0x10};
  memcpy(c + 4, dsk, 16);
  return sendTracked(gw, c, sizeof(c), 1);
}

int HBN_core_zipCmdPvDelete(int gw, const uint8_t* dsk) {
  if (dsk == nullptr) {
    const uint8_t all[] = {0x78, 0x02, seq(), 0x00};
    return sendTracked(gw, all, sizeof(all), 1);
  }
  uint8_t c[4 + 16] = {0x78, 0x02, seq(), 0x10};
  memcpy(c + 4, dsk, 16);
  return sendTracked(gw, c, sizeof(c), 1);
}

int HBN_core_zipCmdPvGet(int gw, int remaining) {
  const uint8_t c[] = {0x78, 0x03, seq(), static_cast<uint8_t>(remaining)};
  return sendTracked(gw, c, sizeof(c), 1);
}

int HBN_core_zipCmdGetRssi(int gw, int nodeID) {
  const uint8_t c[] = {0x67, 0x09, static_cast<uint8_t>(nodeID)};
  return sendTracked(gw, c, sizeof(c), 1);
}
