#include "mqtt_request.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "hbn_log.h"

namespace hbn {

void dumpTopic(const char* topic, int length) {
  // One write; what the network sent is shown with its control bytes escaped.
  std::string line = "DUMP-topic=" + std::to_string(length) + ",";
  if (length > 0) HBN_log_escapeTo(line, topic, static_cast<size_t>(length));
  line += '\n';
  fwrite(line.data(), 1, line.size(), stderr);
}

void dumpPayloadText(const void* payload, int length) {
  // The bytes as they are, control bytes (a NUL among them too) escaped, in one write.
  std::string line = "DUMP-payload=";
  if (length > 0) HBN_log_escapeTo(line, static_cast<const char*>(payload), static_cast<size_t>(length));
  line += '\n';
  fwrite(line.data(), 1, line.size(), stderr);
}

void dumpPayloadHex(const void* payload, int length) {
  // One write, so lines of two threads never interleave.
  static const char digits[] = "0123456789ABCDEF";
  const unsigned char* bytes = static_cast<const unsigned char*>(payload);
  std::string line = "DUMP-payload=";
  line.reserve(line.size() + 2 * static_cast<size_t>(length > 0 ? length : 0) + 1);
  for (int i = 0; i < length; ++i) {
    line += digits[bytes[i] >> 4];
    line += digits[bytes[i] & 15];
  }
  line += '\n';
  fputs(line.c_str(), stderr);
}

bool requestName(const char* topic, int length, const char** name, size_t* nameLength) {
  if (length <= 5) return false;
  int slashes = 0;
  int at = 0;
  while (at < length && slashes < 3)
    if (topic[at++] == '/') ++slashes;
  if (slashes < 3 || at >= length) return false;
  *name = topic + at;
  *nameLength = static_cast<size_t>(length - at);
  return true;
}

std::string printableText(const char* text, size_t length) {
  std::string shown;
  for (size_t i = 0; i < length; ++i) {
    if (text[i] == '\0')
      shown += "\\x00";
    else
      shown += text[i];
  }
  return shown;
}

bool nameIs(const char* name, size_t length, const char* text, bool prefix) {
  size_t n = strlen(text);
  return (prefix ? length >= n : length == n) && memcmp(name, text, n) == 0;
}

RequestJson::RequestJson(const char* func, char* buffer, size_t capacity, const void* payload, int length,
                         bool objectOnly)
    : func_(func) {
  if (length < 0) length = 0;
  if (static_cast<size_t>(length) >= capacity) {
    HBN_log_printAt(HBN_LOG_WARN, func_, __LINE__, "MQTT payload too long(%d)\n", length);
    return;
  }
  if (length > 0) memcpy(buffer, payload, static_cast<size_t>(length));
  buffer[length] = '\0';
  root_ = json_tokener_parse(buffer);
  if (root_ == nullptr || (objectOnly && !json_object_is_type(root_, json_type_object))) {
    HBN_log_printAt(HBN_LOG_WARN, func_, __LINE__, "MQTT json parse fail\n");
    release();
  }
}

void RequestJson::release() {
  if (root_) json_object_put(root_);
  root_ = nullptr;
}

json_object* RequestJson::member(const char* name, json_type type) const {
  json_object* value = nullptr;
  if (root_ == nullptr || !json_object_is_type(root_, json_type_object) ||
      !json_object_object_get_ex(root_, name, &value))
    return nullptr;
  if (!json_object_is_type(value, type)) return nullptr;
  return value;
}

const char* RequestJson::anyText(const char* name, size_t* length) const {
  json_object* value = nullptr;
  if (!has(name)) return nullptr;
  json_object_object_get_ex(root_, name, &value);
  const char* text = value != nullptr ? json_object_get_string(value) : "null";
  *length = value != nullptr && json_object_is_type(value, json_type_string)
                ? static_cast<size_t>(json_object_get_string_len(value))
                : strlen(text);
  return text;
}

bool RequestJson::has(const char* name) const {
  return root_ != nullptr && json_object_is_type(root_, json_type_object) &&
         json_object_object_get_ex(root_, name, nullptr);
}

bool RequestJson::integer(const char* name, const char* missingMessage, int* out) const {
  json_object* value = member(name, json_type_int);
  if (value == nullptr) {
    HBN_log_printAt(HBN_LOG_WARN, func_, __LINE__, "%s", missingMessage);
    return false;
  }
  *out = json_object_get_int(value);
  return true;
}

const char* RequestJson::string(const char* name, const char* missingMessage) const {
  json_object* value = member(name, json_type_string);
  if (value != nullptr &&
      strlen(json_object_get_string(value)) != static_cast<size_t>(json_object_get_string_len(value)))
    value = nullptr;
  if (value == nullptr) {
    HBN_log_printAt(HBN_LOG_WARN, func_, __LINE__, "%s", missingMessage);
    return nullptr;
  }
  return json_object_get_string(value);
}

}  // namespace hbn
