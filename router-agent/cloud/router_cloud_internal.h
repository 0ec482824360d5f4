// The session record of the router agent's cloud module and the operations its parts share
// (session thread, request handlers, payload builders). Internal to router-agent/cloud.
#pragma once
#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "hbn_buf.h"
#include "hbn_os.h"
#include "cloud_requests.h"
#include "cloud_server.h"
#include "mqtt_session.h"
#include "router_cloud.h"

enum {
  ROUTER_TEXT_SIZE = 256,  // serial, service code, server host
  ROUTER_LOGIN_SIZE = 33,  // user name and password: at most 32 characters
  ROUTER_IFNAME_SIZE = 33,
  ROUTER_TOPIC_SIZE = 1024,   // prefix and request or message name
  ROUTER_ANSWER_SIZE = 8192,  // small answers built on the callback thread
};

struct RouterCloud : hbn::SessionEvents, hbn::CloudRequestHost {
  int type = 0;
  char ifname[ROUTER_IFNAME_SIZE] = {0};
  std::atomic<int> running{0};
  std::atomic<int> announced{0};
  int keepAlive = -1;  // seconds between keep-alive publishes, -1 disabled
  hbn::CloudServer server;
  char clientId[2 * ROUTER_TEXT_SIZE + 16] = {0};
  char prefix[2 * ROUTER_TEXT_SIZE + 8] = {0};
  char subscription[ROUTER_TEXT_SIZE + 16] = {0};

  // Registered by the adaptation layer; `active` is set once the table is in place.
  HBN_cloud_callbacks_t callbacks{};
  void* context = nullptr;
  std::atomic<bool> active{false};

  HBN_buf_t* pool = nullptr;
  HBN_queue_t* queue = nullptr;
  HBN_thread_t* thread = nullptr;
  pthread_t sessionThread{};
  std::atomic<bool> threadKnown{false};
  hbn::MqttSession mqtt{this};

  // Session thread: outgoing payloads (dumps among them). Callback thread: the incoming copy
  // (also the error document of a load, once the request is on file) and small answers.
  char* out = nullptr;  // HBN_ROUTER_PAYLOAD_SIZE
  char* in = nullptr;   // HBN_ROUTER_PAYLOAD_SIZE + 1
  char answer[ROUTER_ANSWER_SIZE] = {0};

  void connectSuccess(hbn::MqttSession&) override;
  void connectFailure(hbn::MqttSession&) override;
  void connectionLost(hbn::MqttSession&) override;
  void messageArrived(hbn::MqttSession&, const char* topic, int topicLength, const void* payload,
                      int length) override;

  // What the request handling shared with the OTA agent needs (router_request.cpp).
  char* incoming(size_t* capacity) override;
  void queueUpload(hbn::ConfigDump which) override;
  void resetMqtt() override;
  int firmwareUpdate(const char* url, const char* checksumUrl) override;
  int certUpdate(const char* url, const char* checksumUrl) override;
  void publishConfigError(const char* name, const char* text, size_t length) override;
  void publishNetInfo(const char* name) override;
};

// Queues a kind without waiting (these run on the callback thread too); "CLOUD send queue push
// fail\n" under `func` when the queue is full.
void routerQueue(const char* func, RouterCloud* cloud, uint32_t kind);
// The buffer that the calling thread builds its payloads in, and its size.
char* routerBuffer(RouterCloud* cloud, size_t* capacity);
// Publishes `length` bytes on the session's prefix followed by `name`, under `func`.
// `onlyConnected`: skipped silently unless connected.
void routerPublish(const char* func, RouterCloud* cloud, const char* name, const char* payload, size_t length,
                   bool onlyConnected = true);
// Calls the adaptation's connection callback (0 connected, 1 not) when registered.
void routerNotify(RouterCloud* cloud, int state);

// Payload builders (router_payload.cpp); each publishes under its own name.
void HBN_cloud_commMqttSendConnected(RouterCloud* cloud);
void HBN_cloud_commMqttSendConnectedVer(RouterCloud* cloud);
void HBN_cloud_commMqttSendConnectedTls(RouterCloud* cloud);
void HBN_cloud_commMqttSendConnectedWan(RouterCloud* cloud);
void HBN_cloud_commMqttSendVersion(RouterCloud* cloud);
void HBN_cloud_commMqttSendKeepAlive(RouterCloud* cloud);
void HBN_cloud_commMqttSendNetInfo(RouterCloud* cloud, const char* ifname);
void HBN_cloud_commMqttSendConfigInfo(RouterCloud* cloud);
void HBN_cloud_commMqttSendConfigServer(RouterCloud* cloud);
void HBN_cloud_commMqttSendConfigUser(RouterCloud* cloud);
// `name` is "reboot" or "noreboot"; `text` the error document.
void HBN_cloud_commMqttSendConfigError(RouterCloud* cloud, const char* name, const char* text, size_t length);

// Request handlers (router_request.cpp), on the callback thread.
void HBN_cloud_commMqttMsgarrvd(RouterCloud* cloud, const char* topic, int topicLength, const void* payload,
                                int length);
