// The MQTT session of the cloud link: one Paho asynchronous client, the thread "cloud-mqtt"
// that connects and publishes every queued cloud message, the connection state machine with
// its notices to the adaptation layer, and the publish procedure shared by every payload
// builder. Internal to the cloud module.
#pragma once
#include <cstdint>

#include "json_text.h"
#include "hbn_buf.h"
#include "hbn_core.h"
#include "hbn_os.h"

struct KV_api_cloudHandler_t;
struct HBN_cloud_comm_t;

enum {
  HBN_CLOUD_STATE_CONNECTED = 0,
  HBN_CLOUD_STATE_CONNECTING = 1,
  HBN_CLOUD_STATE_DISCONNECTED = 2,
  HBN_CLOUD_TOPIC_SIZE = 512,
  HBN_CLOUD_PAYLOAD_SIZE = 4096,
  HBN_CLOUD_REQUEST_SIZE = 4096,  // request text and its NUL
};

enum HBN_cloud_prefix_t { HBN_CLOUD_PREFIX_GW, HBN_CLOUD_PREFIX_SP };

// Starts the session thread on the cloud module's pool and queue. 0 or -1.
int HBN_cloud_commInit(HBN_buf_t* pool, HBN_queue_t* queue, const HBN_core_interface_t* coreInterface);
// Stops the thread, disconnects and frees the session. No-op without a session.
void HBN_cloud_commFinish();
// Length of the request prefix (without the "#"), 0 without a session.
int HBN_cloud_commRequestPrefixLength();
// Queues the wake-up that sends a blocked MQTT thread back to connecting.
void HBN_cloud_commMqttDisconnectNotice();

// The MQTT thread's side of the messages that only restate the state (cloud_send.cpp): 1 when
// a "connected" is due (the mark is cleared). `fromQueue` 1: for a taken "connected" element
// with its `number` (0 for a stale one); 0: the queue is empty. And: the queued keep-alive has
// been taken.
int HBN_cloud_takeConnectedDue(int fromQueue, uint32_t number);
void HBN_cloud_keepAliveTaken();

// Test seam: a session record without thread or client (never connected, so nothing is
// published), with `coreInterface` as its core table and the prefixes formed from
// `serviceCode` and `serial`, so that the request dispatch (HBN_cloud_commMqttMsgarrvd) runs
// as on the library's callback thread. 0, or -1 while a session exists.
int HBN_cloud_commTestBegin(const HBN_core_interface_t* coreInterface, const char* serviceCode,
                            const char* serial);
void HBN_cloud_commTestEnd();

// The adaptation table kept by HBN_cloud_setApiHandler (null until set).
const KV_api_cloudHandler_t* HBN_cloud_commApiHandler();
// The core table of the running session (null without a session).
const HBN_core_interface_t* HBN_cloud_commCoreInterface();

// One publish, built in the calling thread's own topic and payload buffers (made on the thread's
// first publish). While it lives, the payload buffer is the caller's; `send` hands the text (or the
// given bytes) to the client at QoS 1. When the session is not connected nothing is sent and nothing
// is logged. A payload that overflowed its buffer is dropped with a log line, and so is a publish
// whose thread could not get its buffers.
class HBN_cloud_publish_t {
 public:
  // `func` is the builder's name, used in the send log line.
  HBN_cloud_publish_t(const char* func, HBN_cloud_prefix_t prefix, const char* suffix);
  HBN_cloud_publish_t(const HBN_cloud_publish_t&) = delete;
  HBN_cloud_publish_t& operator=(const HBN_cloud_publish_t&) = delete;
  bool connected() const { return connected_; }
  HBN_text_t& payload() { return payload_; }
  // Sends the payload text (without its NUL).
  void send();
  // Sends `length` bytes from `data` (binary payloads, or a text built elsewhere).
  void sendBytes(const void* data, int length);

 private:
  bool connected_ = false;
  const char* func_;
  HBN_cloud_comm_t* session_ = nullptr;
  const char* topic_ = nullptr;
  HBN_text_t payload_;
};
