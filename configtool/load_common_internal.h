// Internals shared by the loader building blocks and the two loaders.
#pragma once
#include <netinet/in.h>

#include <string>

#include <json-c/json.h>

namespace configtool {

// Fixed messages of the error document.
extern const char kMsgOutOfRange[];
extern const char kMsgNotAddress[];
extern const char kMsgNotMask[];
extern const char kMsgNotAddressList[];
extern const char kMsgUnknownKey[];
extern const char kMsgMissingKey[];

// Longest text accepted anywhere (the loaders' working copies hold 512 bytes).
constexpr size_t kMaxText = 511;
// Address and length parts of an entry, and each side of a DHCP range.
constexpr size_t kMaxAddressText = 15;
constexpr int kMaxListEntries = 32;

// Reads `key` of `object` as text: strings as they are (a NUL inside is kept, so checks
// refuse it), other JSON types as their JSON text. 1 when absent, null or `object` is not
// an object; 0 otherwise.
int readValue(json_object* object, const char* key, std::string* text);

// A dotted-quad IPv4 address of at most 15 characters.
bool parseAddress(const std::string& text, struct in_addr* address);
// One "address/length" entry.
bool checkAddressEntry(const std::string& entry);

// Whether the write switch is on.
bool writesEnabled();

}  // namespace configtool
