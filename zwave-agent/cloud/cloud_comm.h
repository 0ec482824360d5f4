// The MQTT session of the Z-Wave cloud link: its settings, its connection callbacks with the
// notices to the adaptation layer, and the building of every queued cloud message, on the
// cloud-agent skeleton (hbn::CloudLink: the thread "cloud-mqtt" and the request worker).
// Internal to the cloud module.
#pragma once
#include <cstdint>

#include "hbn_buf.h"
#include "hbn_core.h"
#include "hbn_os.h"

enum {
  HBN_CLOUD_STATE_CONNECTED = 0,
  HBN_CLOUD_STATE_CONNECTING = 1,
  HBN_CLOUD_STATE_DISCONNECTED = 2,
};

// Starts the session on the cloud module's pool and queue. 0 or -1.
int HBN_cloud_commInit(HBN_buf_t* pool, HBN_queue_t* queue, const HBN_core_interface_t* coreInterface);
// Stops the threads, disconnects and frees the session. No-op without a session.
void HBN_cloud_commFinish();
// Queues the wake-up that sends a blocked MQTT thread back to connecting.
void HBN_cloud_commMqttDisconnectNotice();

// Test seam: a session without threads or client (never connected, so nothing is published),
// with `coreInterface` as its core table and its names formed from `serviceCode` and `serial`, so
// that the request dispatch (HBN_cloud_commMqttMsgarrvd) runs as on the request worker. 0, or -1
// while a session exists.
int HBN_cloud_commTestBegin(const HBN_core_interface_t* coreInterface, const char* serviceCode,
                            const char* serial);
void HBN_cloud_commTestEnd();
