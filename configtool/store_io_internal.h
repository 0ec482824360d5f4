// Small helpers shared by the dumps and the loaders: reading store values into fixed
// buffers, and writing JSON string values.
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>

namespace configtool {

// Every store read goes through one buffer larger than any value the store holds
// (its longest text is well below this), zeroed first so a missing value reads as 0 / "".
constexpr size_t kValueBufferSize = 512;

unsigned char storeByte(int id);
int32_t storeInt(int id);
uint16_t storeShort(int id);
// Dotted-decimal form of a 4-byte address in network order ("0.0.0.0" when unset).
std::string storeAddress(int id);
std::string storeText(int id);

// Writes `text` as a quoted JSON string: quote, backslash and control characters escaped,
// every other byte as it is.
void writeJsonString(FILE* out, const char* text, size_t length);
inline void writeJsonString(FILE* out, const std::string& text) {
  writeJsonString(out, text.data(), text.size());
}

}  // namespace configtool
