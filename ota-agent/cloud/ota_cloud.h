// The OTA agent's cloud side: one MQTT session to the OTA server with its thread "cloud-mqtt",
// a pool of 8 buffers of 512 bytes and a send queue. Requests are handled on the MQTT library's
// callback thread; queued publishes and configuration dumps on the session thread.
#pragma once
#include <cstddef>

// The core operations the cloud side calls for requests (registered by HBN_cloud_initialize).
struct HBN_core_interface_t {
  int (*recvFwUpdate)(const char* url, const char* checksumUrl);    // 1 handed off, 0 not
  int (*recvCertUpdate)(const char* url, const char* checksumUrl);  // 1 handed off, 0 not
  void (*recvLteInfo)();
};

enum {
  HBN_OTA_CLOUD_BUF_COUNT = 8,
  HBN_OTA_CLOUD_BUF_SIZE = 512,
  HBN_OTA_PAYLOAD_SIZE = 65536,  // outgoing payload and incoming copy
};

// Send queue kinds.
enum {
  HBN_OTA_KIND_LTEINFO = 0,  // first parameter IMEI length, second serial length, buffer IMEI then serial
  HBN_OTA_KIND_VERSION = 1,
  HBN_OTA_KIND_CONFIG_INFO = 2,
  HBN_OTA_KIND_CONFIG_SERVER = 3,
  HBN_OTA_KIND_CONFIG_USER = 4,
  HBN_OTA_KIND_LOST = 5,    // wakes the thread only
  HBN_OTA_KIND_FINISH = 6,  // wakes the thread for its exit
};

// Registers the core's table (copied), creates pool, queue and the session thread. 0, or -1
// with what was made undone: "interface is NULL\n" for a null table, "interface function is
// NULL\n" for a table without its first entry (both level 3).
int HBN_cloud_initialize(const HBN_core_interface_t* table);
// Stops the thread, ends the MQTT session, frees queue, pool and session. Nothing without one.
void HBN_cloud_finalize();
// 1 while the session is connected, else 0.
int HBN_cloud_isConnected();

// Queues the "lteinfo" publish with the IMEI and LTE serial number (copied into a pool buffer).
// Identities longer than the buffer together: "CLOUD buffer is small\n" (level 3), dropped.
// Never waits: a full pool or queue is logged and the message dropped. Any thread.
void HBN_cloud_sendLteInfo(const char* imei, const char* serial);
// Queue the "version" and configuration dump publishes; never wait ("CLOUD send queue push
// fail\n", level 2, when the queue is full). Any thread.
void HBN_cloud_sendVersion();
void HBN_cloud_sendConfigInfo();
void HBN_cloud_sendConfigServer();
void HBN_cloud_sendConfigUser();
