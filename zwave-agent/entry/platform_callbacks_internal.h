// The platform side of this program: the eight callbacks handed to the adaptation layer.
// Each prints one "KV_TX440:" line on standard output.
#pragma once

#include "kv_api.h"

int HBNKV_stateChangeNotice(unsigned state);  // always 0
void HBNKV_cloudConnectNotice(int connected);
void HBNKV_secureRequest(int nodeId, int requestedKeys);
int HBNKV_factoryResetRequest();  // waits 10 s, runs "kv_reset_reboot.sh", 1
void HBNKV_resetComplite();
int HBNKV_rebootRequest();  // runs "reboot", 0
// Writes the firmware hand-off files: 1 taken, 0 refused or failed.
int HBNKV_firmwareUpdateRequest(const char* url, const char* checksumUrl);
// Numbers 0..9 become a cloud script request (its result); others are refused with -1.
int HBNKV_execScript(int number);

// The table of the eight callbacks above.
KV_api_interface_t HBNKV_interface();

// The hand-off itself: the configuration file (URL and checksum URL, one a line), then the
// empty trigger file. Texts holding a line break are refused, nothing is written. When the
// trigger cannot be created the configuration file is removed. 1 written, 0 otherwise.
int HBNKV_writeFirmwareHandoff(const char* url, const char* checksumUrl);
