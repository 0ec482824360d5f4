// Adaptation layer between the platform (main and its callbacks) and the Z-Wave core.
// The platform hands in eight callbacks; the layer starts framework, settings store, core and
// download worker, and serves the cloud requests that are not for real Z-Wave nodes (virtual
// node 1000 and box-wide requests) through the fourteen entry points it registers with the
// cloud module.
#pragma once
#include <cstdint>

// Adaptation states (the word the platform is told about through stateChangeNotice).
enum {
  KV_API_STATE_STARTUP = 1,
  KV_API_STATE_IDLE = 2,
  KV_API_STATE_INCLUSION = 3,
  KV_API_STATE_EXCLUSION = 4,
  KV_API_STATE_RESET = 5,
  KV_API_STATE_FAILURE = 6,
};

enum { KV_API_VIRTUAL_NODE = 1000 };

// Platform callbacks, in slot order; every slot must be set.
struct KV_api_interface_t {
  int (*stateChangeNotice)(unsigned state);                                // 0: 0 accepted
  void (*cloudConnectNotice)(int connected);                               // 1: 1 connected
  void (*secureRequest)(int nodeId, int requestedKeys);                    // 2
  int (*factoryResetRequest)();                                            // 3: low byte 1 taken
  void (*resetComplite)();                                                 // 4
  int (*rebootRequest)();                                                  // 5
  int (*firmwareUpdateRequest)(const char* url, const char* checksumUrl);  // 6: low byte 1 taken
  int (*execScript)(int number);                                           // 7
};
static_assert(sizeof(KV_api_interface_t) == 8 * sizeof(void (*)()), "8 slots");

// Entry points handed to the cloud module, in slot order. The cloud module calls them on the
// MQTT callback thread (slot 0 also on the MQTT thread with button ID -1).
struct KV_api_cloudHandler_t {
  int (*recvMode)(int mode, int buttonId);                               // 0: 0 accepted, -1 refused
  int (*recvNodeUpdate)(int nodeId, int pairingStatus);                  // 1
  int (*recvNodeSend)(int nodeId, const uint8_t* data, int length);      // 2: ignored
  int (*recvSecure)(int nodeId, int requestedKeys);                      // 3
  int (*recvNodeFilter)(int nodeId, const uint8_t* data, int length);    // 4: ignored
  int (*recvNodeFwUpdate)(int nodeId, const uint8_t* data, int length);  // 5: ignored
  int (*recvBackup)(int subject);                                        // 6: ignored
  int (*recvRestore)(int subject, const char* path);                     // 7: ignored
  int (*recvReset)(int subject);                                         // 8: 0 "zwave", 1 "setting", 2 "gw"
  int (*recvFwUpdate)(const char* url, const char* checksumUrl);         // 9
  int (*recvExecScript)(int number);                                     // 10: execScript's result
  int (*getMode)(int* mode);                                             // 11
  int (*getNodeList)(int* count, uint16_t* nodeIds);                     // 12: writes 1 and 1000
  int (*stateChange)(int state);                                         // 13: 0 = connected
};
static_assert(sizeof(KV_api_cloudHandler_t) == 14 * sizeof(void (*)()), "14 slots");

// Platform-facing operations. Results as listed per operation.
int KV_api_initialize(const KV_api_interface_t* callbacks);  // 0, 2 table rejected, 3 start-up failed
void KV_api_finalize();
int KV_api_stateChangeRequest(int state);  // 0 or 4
int KV_api_isCloudConnect();               // 1 connected, else 0
int KV_api_secureResponse(int nodeId, int kind, int key);
int KV_api_resetRequest();  // 1 core restarted, 0 otherwise
const char* KV_api_getVersion();
int KV_api_checkInterface(const KV_api_interface_t* callbacks);  // 0 or -1

// Cloud entry points (also reachable through the handler table).
int KV_api_recvMode(int mode, int buttonId);
int KV_api_recvNodeUpdate(int nodeId, int pairingStatus);
int KV_api_recvReset(int subject);
int KV_api_recvFwUpdate(const char* url, const char* checksumUrl);
int KV_api_recvExecScript(int number);
int KV_api_getMode(int* mode);
int KV_api_getNodeList(int* count, uint16_t* nodeIds);
int KV_api_stateChange(int state);

// The current adaptation state (KV_API_STATE_*).
int KV_api_getState();

// ---- test seam: installs the callbacks and a state without starting any module, so the
// entry points can be driven directly. 0, or -1 for an incomplete table.
int KV_api_testInstall(const KV_api_interface_t* callbacks, int state);
