// The OTA agent's core: a pool of 12 buffers of 256 bytes, the core queue and the thread
// "core-msg", which marks the daily "version" report; and the three operations the cloud side
// calls for update and LTE identity requests.
#pragma once

enum {
  HBN_OTA_CORE_BUF_COUNT = 12,
  HBN_OTA_CORE_BUF_SIZE = 256,
  HBN_OTA_VERSION_PERIOD_S = 86400,  // "version" is published again after this long
};

// Pool, queue, "core-msg", then the cloud side with the core's table. 0, or -1 with what was
// made undone.
int HBN_core_initialize();
// Stops the cloud side and "core-msg", frees queue and pool. Nothing when not initialised.
void HBN_core_finalize();

// Writes the firmware update hand-off: 1 written, 0 not. Logs "CORE recv F/W update\n".
int HBN_core_recvFwUpdate(const char* url, const char* checksumUrl);
// Writes the certificate update hand-off (third line "cert"): 1 written, 0 not. Logs "CORE recv
// CERT update\n".
int HBN_core_recvCertUpdate(const char* url, const char* checksumUrl);
// Reads the IMEI ("/var/lte_imei.inf") and LTE serial number ("/var/lte_sno.inf") and queues
// the "lteinfo" publish. Logs "CORE recv LTE info\n".
void HBN_core_recvLteInfo();
