// Placeholder bodies; replaced by the real module.
#include "hbn_core.h"

int HBN_core_initialize() { return -1; }
void HBN_core_finalize() {}
int HBN_core_changeNormal() { return -1; }
int HBN_core_changeInclusion() { return -1; }
int HBN_core_changeExclusion() { return -1; }
int HBN_core_recvMode(int mode, int nodeId) {
  (void)mode;
  (void)nodeId;
  return -1;
}
int HBN_core_recvNodeUpdate(int nodeId, int pairingStatus) {
  (void)nodeId;
  (void)pairingStatus;
  return -1;
}
int HBN_core_recvNodeRemove(int nodeId, int force) {
  (void)nodeId;
  (void)force;
  return -1;
}
int HBN_core_recvNodeSend(int nodeId, const uint8_t* data, int length) {
  (void)nodeId;
  (void)data;
  (void)length;
  return -1;
}
int HBN_core_recvNodeNopInterval(int nodeId, int seconds) {
  (void)nodeId;
  (void)seconds;
  return -1;
}
int HBN_core_recvNodeFwUpdate(int nodeId, const uint8_t* data, int length) {
  (void)nodeId;
  (void)data;
  (void)length;
  return -1;
}
int HBN_core_recvNodeKeyZW(int nodeId, int kind, int key) {
  (void)nodeId;
  (void)kind;
  (void)key;
  return -1;
}
int HBN_core_recvNodeTestFrame(int nodeId, int frameCount) {
  (void)nodeId;
  (void)frameCount;
  return -1;
}
int HBN_core_recvBackup(int subject) {
  (void)subject;
  return -1;
}
int HBN_core_recvRestore(int subject, const char* path) {
  (void)subject;
  (void)path;
  return -1;
}
int HBN_core_recvReset(int subject) {
  (void)subject;
  return -1;
}
int HBN_core_getMode(int* mode) {
  (void)mode;
  return -1;
}
int HBN_core_getGwID(int* nodeId, uint32_t* homeId) {
  (void)nodeId;
  (void)homeId;
  return -1;
}
int HBN_core_recvGwDSK() { return -1; }
int HBN_core_getNodeList(int* length, uint8_t* bitmap) {
  (void)length;
  (void)bitmap;
  return -1;
}
int HBN_core_recvSetPvList(int addCount, const uint8_t* addEntries, int removeCount,
                           const uint8_t* removeEntries) {
  (void)addCount;
  (void)addEntries;
  (void)removeCount;
  (void)removeEntries;
  return -1;
}
int HBN_core_recvGetPvList() { return -1; }
int HBN_core_recvGetRssi(int nodeId) {
  (void)nodeId;
  return -1;
}
HBN_core_state_t* HBN_core_getState() { return nullptr; }
int HBN_core_testSetup() { return -1; }
void HBN_core_testTeardown() {}
int HBN_core_testReceive(int timeoutMs, uint32_t* kind, uint32_t* first, uint32_t* second, uint32_t* third,
                         bool* hasBuffer, uint8_t* data, int capacity) {
  (void)timeoutMs;
  (void)kind;
  (void)first;
  (void)second;
  (void)third;
  (void)hasBuffer;
  (void)data;
  (void)capacity;
  return -1;
}
