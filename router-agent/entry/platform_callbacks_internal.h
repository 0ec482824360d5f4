// The platform side of the router agent: the five callbacks handed to the adaptation layer.
// Console lines go to standard output with the prefix "KV_TX440:".
#pragma once

#include "kv_vento_api.h"

struct WanLinkState;

// Logs the notice and hands it to the single-WAN or dual-WAN link handler.
void HBNKV_cloudConnectNotice(int state, WanLinkState* link);
// Firmware / certificate hand-off to the platform updater: 1 written, 0 not.
int HBNKV_firmwareUpdate(const char* url, const char* checksumUrl);
int HBNKV_certUpdate(const char* url, const char* checksumUrl);
// Numbers 0..9 become a cloud script request (its result); a negative number is returned
// unchanged; above 9 nothing is posted and the result is 0.
int HBNKV_execScript(int number);
// LTE information request: nothing to do. 0.
int HBNKV_lteInfo(int number);

KV_VENTO_api_interface_t HBNKV_interface();
