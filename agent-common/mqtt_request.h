// Helpers for the request side of an agent's MQTT session, used on the library's callback
// thread: the diagnostic dumps of arriving messages, the request name of a topic, and the JSON
// payload parsed from a bounded, terminated copy.
#pragma once
#include <json-c/json.h>

#include <cstddef>
#include <string>

namespace hbn {

// "DUMP-topic=%d,%s\n" on standard error (not in the system log), control bytes escaped as in
// log lines.
void dumpTopic(const char* topic, int length);
// "DUMP-payload=" followed by the bytes as they are (control bytes escaped) and a newline.
void dumpPayloadText(const void* payload, int length);
// "DUMP-payload=" followed by each byte as "%02X" and a newline, in one write.
void dumpPayloadHex(const void* payload, int length);

// The request name: what follows the third "/" of `topic` (`length` bytes, not terminated), in
// place (`*name`, `*nameLength` bytes). False when the topic is 5 characters or shorter, has
// fewer than three "/" or nothing after the third.
bool requestName(const char* topic, int length, const char** name, size_t* nameLength);
// `length` bytes of request text for a log line: a NUL inside shown as "\\x00" (printf would
// stop there); the log escapes the other control bytes.
std::string printableText(const char* text, size_t length);

// The request name (`length` bytes) is `text` whole, or, with `prefix`, begins with it.
bool nameIs(const char* name, size_t length, const char* text, bool prefix = false);

// A request payload parsed as JSON, released when it goes out of scope. The payload is first
// copied into the caller's `buffer` (`capacity` bytes) and terminated there. Failures are
// logged under `func`: a payload that does not fit "MQTT payload too long(%d)\n", text that is
// not JSON "MQTT json parse fail\n" (both warnings). With `objectOnly`, a root other than an
// object also counts as a parse failure; without, it parses, and its members are all missing.
class RequestJson {
 public:
  RequestJson(const char* func, char* buffer, size_t capacity, const void* payload, int length,
              bool objectOnly = true);
  ~RequestJson() { release(); }
  RequestJson(const RequestJson&) = delete;
  RequestJson& operator=(const RequestJson&) = delete;
  bool ok() const { return root_ != nullptr; }
  void release();
  // The member of that type, or null: a value of another type counts as missing.
  json_object* member(const char* name, json_type type) const;
  // The member's text whatever its type (a JSON null reads "null"), or null when missing;
  // `length` takes the text's whole length, a NUL inside included, so it is compared whole.
  const char* anyText(const char* name, size_t* length) const;
  // True when the member exists, whatever its type (null included).
  bool has(const char* name) const;
  // An integer member; false (and `missingMessage` logged, warning) when missing or not an integer.
  bool integer(const char* name, const char* missingMessage, int* out) const;
  // A string member, or null (and `missingMessage` logged, warning). A string with a NUL inside
  // counts as missing: no use of it could see it whole.
  const char* string(const char* name, const char* missingMessage) const;

 private:
  const char* func_;
  json_object* root_ = nullptr;
};

}  // namespace hbn
