// The session record of the OTA agent's cloud side and what its parts (session thread, request
// handlers, payload builders) share. Internal to ota-agent/cloud.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "cloud_requests.h"
#include "cloud_server.h"
#include "device_info.h"
#include "hbn_buf.h"
#include "hbn_os.h"
#include "mqtt_session.h"
#include "ota_cloud.h"
#include "store_reader.h"

enum {
  OTA_TEXT_SIZE = 256,     // serial, service code, server host
  OTA_TOPIC_SIZE = 1024,   // prefix and request or message name
  OTA_ANSWER_SIZE = 8192,  // answers built on the callback thread
};

struct OtaCloud : hbn::SessionEvents, hbn::CloudRequestHost {
  std::atomic<int> running{0};
  hbn::CloudServer server;
  char clientId[2 * OTA_TEXT_SIZE + 16] = {0};
  char prefix[2 * OTA_TEXT_SIZE + 8] = {0};
  char subscription[OTA_TEXT_SIZE + 16] = {0};
  char firmwareVersion[hbn::kFirmwareVersionSize] = {0};

  HBN_core_interface_t core{};
  HBN_buf_t* pool = nullptr;
  HBN_queue_t* queue = nullptr;
  HBN_thread_t* thread = nullptr;
  hbn::MqttSession mqtt{this};

  // Session thread: outgoing payloads (dumps among them). Callback thread: the incoming copy
  // (also a refused load's error document) and the answers built there.
  char* out = nullptr;  // HBN_OTA_PAYLOAD_SIZE
  char* in = nullptr;   // HBN_OTA_PAYLOAD_SIZE + 1
  char answer[OTA_ANSWER_SIZE] = {0};

  // Library callbacks (ota_cloud.cpp).
  void connectSuccess(hbn::MqttSession&) override;
  void connectFailure(hbn::MqttSession&) override;
  void connectionLost(hbn::MqttSession&) override;
  void messageArrived(hbn::MqttSession&, const char* topic, int topicLength, const void* payload,
                      int length) override;

  // What the shared request handlers need (ota_request.cpp).
  char* incoming(size_t* capacity) override;
  void queueUpload(hbn::ConfigDump which) override;
  void resetMqtt() override;
  int firmwareUpdate(const char* url, const char* checksumUrl) override;
  int certUpdate(const char* url, const char* checksumUrl) override;
  void publishConfigError(const char* name, const char* text, size_t length) override;
  void publishNetInfo(const char* ifname) override;
};

// Queues `kind` (parameters and buffer as given) without waiting; "CLOUD send queue push
// fail\n" under `func` when that fails. 0 queued, -1 not.
int otaQueue(const char* func, OtaCloud* cloud, uint32_t kind, uint32_t p1 = 0, uint32_t p2 = 0,
             uintptr_t buffer = 0);
// Publishes `length` bytes on the session's prefix followed by `name`, under `func`.
// `onlyConnected`: skipped silently unless connected.
void otaPublish(const char* func, OtaCloud* cloud, const char* name, const char* payload, size_t length,
                bool onlyConnected = true);
// The wall-clock time at which the clock was first found synchronised; 0 while not known.
int64_t otaPowerOnTime();

// Payload builders (ota_payload.cpp); each publishes under its own name into `buffer`.
void HBN_cloud_commMqttSendVersion(OtaCloud* cloud, char* buffer, size_t capacity);
void HBN_cloud_commMqttSendLteInfo(OtaCloud* cloud, const char* imei, size_t imeiLength, const char* serial,
                                   size_t serialLength);
void HBN_cloud_commMqttSendNetInfo(OtaCloud* cloud, const char* ifname, char* buffer, size_t capacity);
void HBN_cloud_commMqttSendConfigInfo(OtaCloud* cloud);
void HBN_cloud_commMqttSendConfigServer(OtaCloud* cloud);
void HBN_cloud_commMqttSendConfigUser(OtaCloud* cloud);
// `name` is "reboot" or "noreboot"; `text` the error document.
void HBN_cloud_commMqttSendConfigError(OtaCloud* cloud, const char* name, const char* text, size_t length);

// The message-arrived handler (ota_request.cpp), on the callback thread.
void HBN_cloud_commMqttMsgarrvd(OtaCloud* cloud, const char* topic, int topicLength, const void* payload,
                                int length);
