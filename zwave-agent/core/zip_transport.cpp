// Z/IP pipe transport: placeholder bodies until the transport lands.
#include "hbn_zip.h"

int HBN_core_zipCmdInit() { return -1; }
void HBN_core_zipCmdFinish() {}
int HBN_core_zipCmdGetFd() { return -1; }
int HBN_core_zipCmdRecv(int* outKind, int* outNodeID, const uint8_t** outData, int* outLength) {
  if (outKind) *outKind = HBN_ZIP_KIND_NONE;
  if (outNodeID) *outNodeID = 0;
  if (outData) *outData = nullptr;
  if (outLength) *outLength = 0;
  return -1;
}
int HBN_core_zipCmdSendData(const uint8_t*, int) { return -1; }
void HBN_core_zipCmdSendDone(int) {}
int HBN_core_zipCmdGetStatus() { return HBN_ZIP_STATUS_UNKNOWN; }
int HBN_core_zipPacketSend(int, const uint8_t*, int, int, int) { return 0; }
int HBN_core_zipPacketWait() { return HBN_ZIP_STATUS_UNKNOWN; }
int HBN_core_zipPacketParse(int, const uint8_t*, int, const uint8_t**, int*) { return 0; }
int HBN_core_zipClassify(uint8_t*, int, const uint8_t**, int*) { return HBN_ZIP_KIND_NONE; }
int HBN_core_zipCmdInclusionStart(int) { return -1; }
int HBN_core_zipCmdInclusionStop(int) { return -1; }
int HBN_core_zipCmdExclusionStart(int) { return -1; }
int HBN_core_zipCmdExclusionStop(int) { return -1; }
int HBN_core_zipCmdForceFailing(int) { return -1; }
int HBN_core_zipCmdRemoveFailed(int, int) { return -1; }
int HBN_core_zipCmdReplaceStart(int, int) { return -1; }
int HBN_core_zipCmdReplaceStop(int) { return -1; }
int HBN_core_zipCmdLearnStart(int, int) { return -1; }
int HBN_core_zipCmdLearnStop(int) { return -1; }
int HBN_core_zipCmdSend(int, const uint8_t*, int, int) { return -1; }
int HBN_core_zipCmdGetNodeList(int) { return -1; }
int HBN_core_zipCmdGetNodeInfo(int, int) { return -1; }
int HBN_core_zipCmdSetKeys(int, int) { return -1; }
int HBN_core_zipCmdSetDSK(int, int, const uint8_t*) { return -1; }
int HBN_core_zipCmdGetDSK(int) { return -1; }
int HBN_core_zipCmdGetGwDSK(int) { return -1; }
int HBN_core_zipCmdReset(int) { return -1; }
int HBN_core_zipCmdTestFrame(int, int) { return -1; }
int HBN_core_zipCmdPvSet(int, const uint8_t*) { return -1; }
int HBN_core_zipCmdPvDelete(int, const uint8_t*) { return -1; }
int HBN_core_zipCmdPvGet(int, int) { return -1; }
int HBN_core_zipCmdGetRssi(int, int) { return -1; }
