// The publish procedure every builder of the Z-Wave cloud follows: one message built in the
// calling thread's payload buffer of the running session's link, on the gateway ("gw/...") or
// service-provider ("sp/...") prefix.
#pragma once
#include "json_text.h"

enum {
  HBN_CLOUD_TOPIC_SIZE = 512,
  HBN_CLOUD_PAYLOAD_SIZE = 4096,
};

enum HBN_cloud_prefix_t { HBN_CLOUD_PREFIX_GW, HBN_CLOUD_PREFIX_SP };

namespace hbn {
class CloudLink;
}

// One publish. While it lives, the payload buffer is the caller's; `send` hands the text (or the
// given bytes) to the client at QoS 1. When the session is not connected nothing is sent and
// nothing is logged. A payload that overflowed its buffer is dropped with a log line, and so is
// a publish from a thread with no payload buffer of the link's.
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
  hbn::CloudLink* link_ = nullptr;
  char topic_[HBN_CLOUD_TOPIC_SIZE] = {0};
  HBN_text_t payload_;
};
