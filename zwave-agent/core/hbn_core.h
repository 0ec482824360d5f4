// Core request API: the Z-Wave core's front door. Requests for Z-Wave nodes (IDs below 235)
// and network-wide requests become one element of the core message queue and return at once;
// the core message thread executes them in order. Mode, gateway identity and node list are
// answered directly from the shared state under its mutex.
//
// Results: 0 success, -1 failure (logged where detected). Queueing operations may be called
// from any thread once HBN_core_initialize has succeeded.
#pragma once
#include <atomic>
#include <mutex>
#include <cstdint>

#include "hbn_buf.h"
#include "hbn_os.h"

#include "hbn_node_info.h"

enum {
  HBN_CORE_BUF_COUNT = 12,
  HBN_CORE_BUF_SIZE = 4096,
  HBN_CORE_NODELIST_SIZE = 29,      // bitmap of node IDs 1..232
  HBN_CORE_VIRTUAL_NODE_MIN = 235,  // IDs from here on are served by the adaptation layer
  HBN_CORE_PVLIST_ENTRY_SIZE = 16,  // one provisioning entry as queued for the gateway
};

// Kinds of the core message queue (word 1 of an element).
enum {
  HBN_CORE_KIND_MODE = 0,            // mode 0..5, node ID, 0
  HBN_CORE_KIND_NODE_UPDATE = 1,     // node ID, pairing status
  HBN_CORE_KIND_NODE_REMOVE = 2,     // node ID, force flag
  HBN_CORE_KIND_NODE_SEND = 3,       // node ID, length; buffer = data
  HBN_CORE_KIND_NOP_INTERVAL = 4,    // node ID, seconds
  HBN_CORE_KIND_NODE_KEY = 5,        // node ID, granted key bits, key value
  HBN_CORE_KIND_TEST_FRAME = 6,      // node ID, frame count
  HBN_CORE_KIND_BACKUP = 7,          // 1 if subject 1 else 0
  HBN_CORE_KIND_RESTORE = 8,         // 1 if subject 1 else 0; buffer = path text
  HBN_CORE_KIND_RESET = 9,           // reset kind 0, 2 or 3
  HBN_CORE_KIND_GW_DSK = 10,         //
  HBN_CORE_KIND_PVLIST_ADD = 11,     // count; buffer = entries of 16 bytes
  HBN_CORE_KIND_PVLIST_REMOVE = 12,  // count or -1 (remove all); buffer = entries (none for -1)
  HBN_CORE_KIND_PVLIST_GET = 13,     // 255
  HBN_CORE_KIND_GET_RSSI = 14,       // node ID
};

// State shared by the request API and the core threads. The threads are its only writers;
// they hold `mutex` while they replace the node list, the home ID or the gateway node ID.
// `mode` is a single word written without the mutex.
struct HBN_core_state_t {
  std::mutex mutex;
  std::atomic<int32_t> mode{6};  // 6 while starting, then 0..5
  uint32_t homeId = 0;           // 0 until known
  uint32_t gwNodeId = 0;         // 0 until known
  uint8_t nodeList[HBN_CORE_NODELIST_SIZE] = {};
};

// The operations handed to the cloud module, in slot order.
struct HBN_core_interface_t {
  int (*recvMode)(int mode, int nodeId);                                 // 0
  int (*recvNodeUpdate)(int nodeId, int pairingStatus);                  // 1
  int (*recvNodeRemove)(int nodeId, int force);                          // 2
  int (*recvNodeSend)(int nodeId, const uint8_t* data, int length);      // 3
  int (*recvNodeNopInterval)(int nodeId, int seconds);                   // 4
  int (*recvNodeFwUpdate)(int nodeId, const uint8_t* data, int length);  // 5
  int (*recvNodeKeyZW)(int nodeId, int kind, int key);                   // 6
  int (*recvNodeTestFrame)(int nodeId, int frameCount);                  // 7
  int (*recvBackup)(int subject);                                        // 8
  int (*recvRestore)(int subject, const char* path);                     // 9
  int (*recvReset)(int subject);                                         // 10
  int (*getMode)(int* mode);                                             // 11
  int (*getGwID)(int* nodeId, uint32_t* homeId);                         // 12
  int (*recvGwDSK)();                                                    // 13
  int (*getNodeList)(int* length, uint8_t* bitmap);                      // 14
  int (*recvSetPvList)(int addCount, const uint8_t* addEntries, int removeCount,
                       const uint8_t* removeEntries);  // 15
  int (*recvGetPvList)();                              // 16
  int (*recvGetRssi)(int nodeId);                      // 17
};
static_assert(sizeof(HBN_core_interface_t) == 18 * sizeof(void (*)()), "18 slots");

// Pool, queue, core threads, then the cloud module. Idempotent. 0, -1, or the failure code of
// HBN_cloud_initialize.
int HBN_core_initialize();
// Stops the core threads, then the cloud module, then releases queue and pool. No-op when not running.
void HBN_core_finalize();

// Mode changes asked by the platform: queue kind 0 with mode 0, 1 or 2. 0 or -1.
int HBN_core_changeNormal();
int HBN_core_changeInclusion();
int HBN_core_changeExclusion();

// Mode 6 or more is ignored (0, nothing queued).
int HBN_core_recvMode(int mode, int nodeId);
int HBN_core_recvNodeUpdate(int nodeId, int pairingStatus);
int HBN_core_recvNodeRemove(int nodeId, int force);
// Copies `length` bytes (0..4096) into a core pool buffer; longer data is refused (-1).
int HBN_core_recvNodeSend(int nodeId, const uint8_t* data, int length);
int HBN_core_recvNodeNopInterval(int nodeId, int seconds);
// Node firmware update: accepted and ignored.
int HBN_core_recvNodeFwUpdate(int nodeId, const uint8_t* data, int length);
int HBN_core_recvNodeKeyZW(int nodeId, int kind, int key);
int HBN_core_recvNodeTestFrame(int nodeId, int frameCount);
// Subjects 0 and 1 only; others are ignored (0).
int HBN_core_recvBackup(int subject);
// Subjects 0 and 1 only; the zero-terminated path (at most 4095 characters) is copied.
int HBN_core_recvRestore(int subject, const char* path);
// Subject 0 "zwave", 1 "setting", 2 "gw".
int HBN_core_recvReset(int subject);
// Writes the mode when it is 0..5, otherwise 0. Result 0.
int HBN_core_getMode(int* mode);
int HBN_core_getGwID(int* nodeId, uint32_t* homeId);
int HBN_core_recvGwDSK();
// Writes 29 and the 29-byte bitmap (the caller's buffer holds at least 29 bytes).
int HBN_core_getNodeList(int* length, uint8_t* bitmap);
// Each list holds at most 256 entries of 16 bytes; longer lists are refused (-1).
int HBN_core_recvSetPvList(int addCount, const uint8_t* addEntries, int removeCount,
                           const uint8_t* removeEntries);
int HBN_core_recvGetPvList();
int HBN_core_recvGetRssi(int nodeId);

// 1 once the gateway has closed its pipe: nothing reads it any more, so the Z-Wave side is
// gone until the agent starts again (the entry then ends the process). Else 0.
int HBN_core_isZipDown();

// The shared state (valid for the life of the process).
HBN_core_state_t* HBN_core_getState();

// ---- test seam: the request API without core threads or cloud module.
// Creates the core pool and queue and resets the shared state (mode 6, as when starting), so
// that the queueing operations work and their elements can be read back. 0 or -1.
int HBN_core_testSetup();
// The core queue made by HBN_core_testSetup (null before), to see whether an element waits.
HBN_queue_t* HBN_core_testQueue();
// Deletes what HBN_core_testSetup created.
void HBN_core_testTeardown();
// Reads one element of the core queue (timeoutMs > 0: 1 when nothing came). Copies up to
// `capacity` bytes of its buffer into `data` (when both are given) and returns the buffer to
// the pool. `hasBuffer` tells whether the element carried one.
int HBN_core_testReceive(int timeoutMs, uint32_t* kind, uint32_t* first, uint32_t* second, uint32_t* third,
                         bool* hasBuffer, uint8_t* data, int capacity);
