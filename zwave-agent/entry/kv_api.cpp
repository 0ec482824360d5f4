// Adaptation layer (placeholder bodies until the layer lands).
#include "kv_api.h"

int KV_api_initialize(const KV_api_interface_t*) { return 3; }
void KV_api_finalize() {}
int KV_api_stateChangeRequest(int) { return 4; }
int KV_api_isCloudConnect() { return 0; }
int KV_api_secureResponse(int, int, int) { return -1; }
int KV_api_resetRequest() { return 0; }
const char* KV_api_getVersion() { return ""; }
int KV_api_checkInterface(const KV_api_interface_t*) { return -1; }
int KV_api_recvMode(int, int) { return -1; }
int KV_api_recvNodeUpdate(int, int) { return -1; }
int KV_api_recvReset(int) { return -1; }
int KV_api_recvFwUpdate(const char*, const char*) { return -1; }
int KV_api_recvExecScript(int) { return -1; }
int KV_api_getMode(int*) { return -1; }
int KV_api_getNodeList(int*, uint16_t*) { return -1; }
int KV_api_stateChange(int) { return -1; }
int KV_api_getState() { return 0; }
