// The configuration store's id table and the value codec shared by the library and mibctl.
// Internal to platform/apmib; callers of the store use apmib.h only.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace apmib_ids {

enum class Kind : uint8_t {
  Byte,  // one-byte code
  U16,   // 16-bit integer
  I32,   // 32-bit signed integer
  Ipv4,  // 4-byte address, network byte order
  Text,  // NUL-terminated text in a buffer of `size` bytes
};

struct IdDef {
  int id;
  Kind kind;
  uint16_t size;       // bytes the caller's buffer must hold (text: including the NUL)
  bool hasDefault;     // false: apmib_get/apmib_getDef leave the caller's buffer unchanged
  const char* defval;  // factory default in store-file notation (decimal, dotted, plain text)
  const char* what;
};

// The definition for `id`, or nullptr for an id the store does not know.
const IdDef* find(int id);
// Every known id, in ascending order.
const IdDef* all(size_t* count);

// Largest value buffer of any kind (the longest text).
constexpr size_t kMaxSize = 256;

// Parses `text` (decimal, dotted address, or text as is) into `out` (def.size bytes).
// Returns false for unparsable or out-of-range numbers, bad addresses and text that does
// not fit in def.size - 1 characters.
bool parse(const IdDef& def, const std::string& text, unsigned char* out);
// Formats a value of def.size bytes as mibctl prints it (text as is, no escaping).
std::string format(const IdDef& def, const unsigned char* value);

// Store-file text escaping: backslash, CR, LF and other control bytes become escapes so
// that any value stays on one line; unescape reverses it (false for a malformed escape).
std::string escape(const std::string& raw);
bool unescape(const std::string& escaped, std::string* raw);

}  // namespace apmib_ids
