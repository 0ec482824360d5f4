#include "cloud_publish_internal.h"

#include <cstdio>

#include "cloud_link.h"
#include "cloud_tables_internal.h"
#include "hbn_log.h"

HBN_cloud_publish_t::HBN_cloud_publish_t(const char* func, HBN_cloud_prefix_t prefix, const char* suffix)
    : func_(func), payload_(nullptr, 0) {
  hbn::CloudLink* link = HBN_cloud_commLink();
  if (link == nullptr || !link->isConnected()) return;
  size_t capacity = 0;
  char* buffer = link->buffer(&capacity);
  if (buffer == nullptr) {
    HBN_log_printAt(HBN_LOG_ERROR, func_, __LINE__, "MQTT publish buffer missing:%s\n", suffix);
    return;
  }
  const hbn::CloudServer& server = link->server();
  // Service code and serial number are at most 32 characters here.
  int n = snprintf(topic_, sizeof topic_, "%s/%.32s/%.32s/", prefix == HBN_CLOUD_PREFIX_SP ? "sp" : "gw",
                   server.serviceCode, server.serial);
  snprintf(topic_ + n, sizeof topic_ - static_cast<size_t>(n), "%s", suffix);
  connected_ = true;
  link_ = link;
  const size_t most = HBN_CLOUD_PAYLOAD_SIZE;
  payload_ = HBN_text_t(buffer, capacity < most ? capacity : most);
}

void HBN_cloud_publish_t::send() {
  if (!connected_) return;
  if (payload_.overflowed()) {
    HBN_log_printAt(HBN_LOG_ERROR, func_, __LINE__, "MQTT payload too long:%s\n", topic_);
    return;
  }
  sendBytes(payload_.text(), static_cast<int>(payload_.length()));
}

void HBN_cloud_publish_t::sendBytes(const void* data, int length) {
  if (!connected_) return;
  link_->mqtt().publish(func_, topic_, data, length);
}
