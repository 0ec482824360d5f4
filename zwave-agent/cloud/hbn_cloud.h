// Cloud send API: every other part of the agent hands a message to the cloud by one of the
// HBN_cloud_send* operations, which copies its arguments into one element of the cloud queue
// (variable data in a cloud pool buffer) and returns at once. The MQTT thread takes the
// elements in order and publishes them. Sends report nothing: failures are logged and the
// message is lost. Any thread may send between HBN_cloud_initialize and HBN_cloud_finalize.
#pragma once
#include <cstdint>

#include "hbn_buf.h"
#include "hbn_core.h"
#include "hbn_os.h"

struct KV_api_cloudHandler_t;

enum {
  HBN_CLOUD_BUF_COUNT = 8,
  HBN_CLOUD_BUF_SIZE = 4096,
  HBN_CLOUD_NODE_RECORD_SIZE = 468,  // node information record, copied by value
  HBN_CLOUD_PVLIST_ENTRY_SIZE = 17,  // 16-byte DSK and one status byte
  HBN_CLOUD_PVLIST_MAX = HBN_CLOUD_BUF_SIZE / HBN_CLOUD_PVLIST_ENTRY_SIZE,  // 240
};

// Kinds of the cloud queue (word 1); P1..P3 are words 2..4, the buffer address word 5.
enum {
  HBN_CLOUD_KIND_CONNECTED = 0,
  HBN_CLOUD_KIND_MODE = 1,              // mode, status, notify; buffer = message text or none
  HBN_CLOUD_KIND_NODE_ADD = 2,          // node ID, status, 468; buffer = record
  HBN_CLOUD_KIND_NODE_UPDATE = 3,       // node ID, status, 468; buffer = record
  HBN_CLOUD_KIND_NODE_REMOVE = 4,       // node ID, status
  HBN_CLOUD_KIND_NODE_REPLACE = 5,      // node ID, status, 468; buffer = record
  HBN_CLOUD_KIND_NODE_RECEIVE = 6,      // node ID, length; buffer = data
  HBN_CLOUD_KIND_NODE_NOP = 7,          // node ID, seconds
  HBN_CLOUD_KIND_NODE_FILTER = 8,       // node ID, length; buffer = data
  HBN_CLOUD_KIND_NODE_KEEPALIVE = 9,    // node ID
  HBN_CLOUD_KIND_NODE_KEY = 10,         // node ID, requested key bits
  HBN_CLOUD_KIND_NODE_TEST_FRAME = 11,  // node ID, packed counters
  HBN_CLOUD_KIND_BACKUP = 12,           // subject, status, length; buffer = heap block (free())
  HBN_CLOUD_KIND_RESTORE = 13,          // subject, status
  HBN_CLOUD_KIND_RESET = 14,            // subject, status
  HBN_CLOUD_KIND_VERSION = 15,
  HBN_CLOUD_KIND_KEEPALIVE = 16,
  HBN_CLOUD_KIND_PVLIST = 17,      // count; buffer = count x 17 bytes
  HBN_CLOUD_KIND_RSSI = 18,        // node ID, RSSI
  HBN_CLOUD_KIND_GW_DSK = 19,      // length; buffer = bytes
  HBN_CLOUD_KIND_GW_DSK_2 = 20,    // length; buffer = bytes
  HBN_CLOUD_KIND_DISCONNECT = 21,  // wakes the MQTT thread
  HBN_CLOUD_KIND_FINISH = 22,      // wakes the MQTT thread for its exit
};

// Checks the core table (non-null, all 18 slots set), creates the pool and the queue and
// starts the MQTT session (thread "cloud-mqtt"). 0 or -1. Idempotent.
int HBN_cloud_initialize(const HBN_core_interface_t* coreInterface);
// Stops the MQTT session, then removes queue and pool (messages still queued are dropped).
// No-op when not initialised.
void HBN_cloud_finalize();

// Keeps a copy of the adaptation layer's 14 entry points. Call before HBN_cloud_initialize.
void HBN_cloud_setApiHandler(const KV_api_cloudHandler_t* handler);
// 1 while an MQTT session is connected, else 0.
int HBN_cloud_isConnected();

// The module's pool and queue (null when not initialised).
HBN_buf_t* HBN_cloud_getPool();
HBN_queue_t* HBN_cloud_getQueue();

void HBN_cloud_sendConnected();
// `message` may be null; a text of 4095 characters or more is dropped (the mode still goes).
void HBN_cloud_sendMode(int mode, int notify, int status, const char* message);
void HBN_cloud_sendNodeAdd(int nodeId, const HBN_node_info_t* record, int status);
void HBN_cloud_sendNodeUpdate(int nodeId, const HBN_node_info_t* record, int status);
void HBN_cloud_sendNodeRemove(int nodeId, int status);
void HBN_cloud_sendNodeReplace(int nodeId, const HBN_node_info_t* record, int status);
// Data of 0..4096 bytes.
void HBN_cloud_sendNodeReceive(int nodeId, int length, const uint8_t* data);
void HBN_cloud_sendNodeNopInterval(int nodeId, int seconds);
void HBN_cloud_sendNodeFilter(int nodeId, int length, const uint8_t* data);
void HBN_cloud_sendNodeKeepAlive(int nodeId);
void HBN_cloud_sendNodeKeyZW(int nodeId, int requestedKeys);
// Each counter is cut to its low 8 bits.
void HBN_cloud_sendNodeTestFrame(int nodeId, int count, int sent, int acknowledged);
// The data goes in a heap block of exactly `length` bytes that the consumer frees with free().
void HBN_cloud_sendBackup(int subject, int status, int length, const uint8_t* data);
void HBN_cloud_sendRestore(int subject, int status);
void HBN_cloud_sendReset(int subject, int status);
void HBN_cloud_sendVersion();
void HBN_cloud_sendKeepAlive();
// At most 240 entries of 17 bytes; a longer list is refused.
void HBN_cloud_sendPvList(int count, const uint8_t* entries);
void HBN_cloud_sendRssi(int nodeId, int rssi);
void HBN_cloud_spSendGwDSK(int length, const uint8_t* dsk);
void HBN_cloud_spSendGwDSK_2(int length, const uint8_t* keys);

// ---- test seam: the send API without an MQTT session.
// Creates the cloud pool and queue only (no MQTT thread), so that tests read what the send
// operations queue. 0, or -1 when the module is already running.
int HBN_cloud_testSetup();
// Deletes what HBN_cloud_testSetup created.
void HBN_cloud_testTeardown();
// Reads the cloud queue in place of the MQTT thread.
// One element (timeoutMs > 0: result 1 when nothing came; 0 on success; -1 on error). The
// buffer's content (its length depends on the kind, see above; at most `capacity` bytes) is
// copied to `data` when given, and the buffer is released (pool buffer back to the pool, the
// backup heap block freed). `dataLength` receives the number of bytes the buffer held, 0 when
// the element had none.
int HBN_cloud_testReceive(int timeoutMs, uint32_t* kind, uint32_t* p1, uint32_t* p2, uint32_t* p3,
                          uint8_t* data, int capacity, int* dataLength);
