// The messages the Z-Wave agent publishes: one builder per message, each following the
// session's publish procedure (nothing happens unless connected). Queued messages reach their
// builder through HBN_cloud_payloadDispatch on the MQTT thread; four answers are built directly
// by the request handlers on the library's callback thread.
#pragma once
#include <cstdint>

// Runs the builder of one cloud queue element (kinds 0 to 20; others do nothing).
void HBN_cloud_payloadDispatch(uint32_t kind, uint32_t p1, uint32_t p2, uint32_t p3, const void* data);

void HBN_cloud_commMqttSendConnected();
void HBN_cloud_commMqttSendMode(int mode, int status, const char* message);
void HBN_cloud_commMqttSendNodeList();
// `action` is "add", "update" or "replace"; `record` the 468-byte node information record.
void HBN_cloud_commMqttSendNodeBaseInfo(const char* action, int nodeId, int status, const void* record);
void HBN_cloud_commMqttSendNodeRemove(int nodeId, int status);
void HBN_cloud_commMqttSendNodeReceive(int nodeId, int length, const uint8_t* data);
void HBN_cloud_commMqttSendNodeNopInterval(int nodeId, int seconds);
void HBN_cloud_commMqttSendNodeFilter(int nodeId, int length, const uint8_t* data);
void HBN_cloud_commMqttSendNodeKeepAlive(int nodeId);
void HBN_cloud_commMqttSendNodeKeyZW(int nodeId, int keyBits);
void HBN_cloud_commMqttSendNodeTestFrame(int nodeId, uint32_t packedCounters);
void HBN_cloud_commMqttSendBackup(int subject, int status, int length, const uint8_t* data);
void HBN_cloud_commMqttSendRestore(int subject, int status);
void HBN_cloud_commMqttSendReset(int subject, int status);
void HBN_cloud_commMqttSendStatus();
void HBN_cloud_commMqttSendVersion();
void HBN_cloud_commMqttSendKeepAlive();
void HBN_cloud_commMqttSendPvList(int count, const uint8_t* entries);
void HBN_cloud_commMqttSendRssi(int nodeId, int rssi);
void HBN_cloud_commMqttSpSendNetInfo(const char* ifname);
void HBN_cloud_commMqttSpSendGwDSK(int length, const uint8_t* dsk);
void HBN_cloud_commMqttSpSendGwDSK_2(int length, const uint8_t* keys);

// ---- payload texts, without the session (shared with the builders, and tested directly).
class HBN_text_t;
struct HBN_node_info_t;
// The node information payload of one record.
void HBN_cloud_payloadNodeInfo(HBN_text_t& out, int nodeId, int status, const HBN_node_info_t& info);
// Comma-separated, quoted key names of the bits, in the fixed order S0, S2_ACCESS, ...
void HBN_cloud_payloadKeyNames(HBN_text_t& out, int keyBits);
// Node IDs of the bitmap (bit j of byte i is node 8i+j+1) except `gwNodeId`, then the
// virtual IDs, joined by ",".
void HBN_cloud_payloadNodeIds(HBN_text_t& out, const uint8_t* bitmap, int bitmapLength, int gwNodeId,
                              const uint16_t* virtualIds, int virtualCount);
// Provisioning entries of 17 bytes; lists only the entries that fit whole. Returns the count listed.
int HBN_cloud_payloadPvList(HBN_text_t& out, int count, const uint8_t* entries);
// The gateway-key payload; false when `length` is below 32 (nothing to publish).
bool HBN_cloud_payloadGwKeys(HBN_text_t& out, int length, const uint8_t* keys);
