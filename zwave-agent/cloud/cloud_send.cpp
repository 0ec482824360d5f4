// Placeholder bodies; replaced by the real module.
#include "hbn_cloud.h"

int HBN_cloud_initialize(const HBN_core_interface_t* coreInterface) {
  (void)coreInterface;
  return -1;
}
void HBN_cloud_finalize() {}
void HBN_cloud_setApiHandler(const KV_api_cloudHandler_t* handler) { (void)handler; }
int HBN_cloud_isConnected() { return -1; }
HBN_buf_t* HBN_cloud_getPool() { return nullptr; }
HBN_queue_t* HBN_cloud_getQueue() { return nullptr; }
void HBN_cloud_sendConnected() {}
void HBN_cloud_sendMode(int mode, int notify, int status, const char* message) {
  (void)mode;
  (void)notify;
  (void)status;
  (void)message;
}
void HBN_cloud_sendNodeAdd(int nodeId, const HBN_node_info_t* record, int status) {
  (void)nodeId;
  (void)record;
  (void)status;
}
void HBN_cloud_sendNodeUpdate(int nodeId, const HBN_node_info_t* record, int status) {
  (void)nodeId;
  (void)record;
  (void)status;
}
void HBN_cloud_sendNodeRemove(int nodeId, int status) {
  (void)nodeId;
  (void)status;
}
void HBN_cloud_sendNodeReplace(int nodeId, const HBN_node_info_t* record, int status) {
  (void)nodeId;
  (void)record;
  (void)status;
}
void HBN_cloud_sendNodeReceive(int nodeId, int length, const uint8_t* data) {
  (void)nodeId;
  (void)length;
  (void)data;
}
void HBN_cloud_sendNodeNopInterval(int nodeId, int seconds) {
  (void)nodeId;
  (void)seconds;
}
void HBN_cloud_sendNodeFilter(int nodeId, int length, const uint8_t* data) {
  (void)nodeId;
  (void)length;
  (void)data;
}
void HBN_cloud_sendNodeKeepAlive(int nodeId) { (void)nodeId; }
void HBN_cloud_sendNodeKeyZW(int nodeId, int requestedKeys) {
  (void)nodeId;
  (void)requestedKeys;
}
void HBN_cloud_sendNodeTestFrame(int nodeId, int count, int sent, int acknowledged) {
  (void)nodeId;
  (void)count;
  (void)sent;
  (void)acknowledged;
}
void HBN_cloud_sendBackup(int subject, int status, int length, const uint8_t* data) {
  (void)subject;
  (void)status;
  (void)length;
  (void)data;
}
void HBN_cloud_sendRestore(int subject, int status) {
  (void)subject;
  (void)status;
}
void HBN_cloud_sendReset(int subject, int status) {
  (void)subject;
  (void)status;
}
void HBN_cloud_sendVersion() {}
void HBN_cloud_sendKeepAlive() {}
void HBN_cloud_sendPvList(int count, const uint8_t* entries) {
  (void)count;
  (void)entries;
}
void HBN_cloud_sendRssi(int nodeId, int rssi) {
  (void)nodeId;
  (void)rssi;
}
void HBN_cloud_spSendGwDSK(int length, const uint8_t* dsk) {
  (void)length;
  (void)dsk;
}
void HBN_cloud_spSendGwDSK_2(int length, const uint8_t* keys) {
  (void)length;
  (void)keys;
}
int HBN_cloud_testReceive(int timeoutMs, uint32_t* kind, uint32_t* p1, uint32_t* p2, uint32_t* p3,
                          uint8_t* data, int capacity, int* dataLength) {
  (void)timeoutMs;
  (void)kind;
  (void)p1;
  (void)p2;
  (void)p3;
  (void)data;
  (void)capacity;
  (void)dataLength;
  return -1;
}
