#include "store_io_internal.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>

#include "apmib.h"

namespace configtool {

namespace {
struct ValueBuffer {
  alignas(8) unsigned char bytes[kValueBufferSize + 1] = {};
};

void readInto(int id, ValueBuffer& value) {
  apmib_get(id, value.bytes);
  value.bytes[kValueBufferSize] = '\0';
}
}  // namespace

unsigned char storeByte(int id) {
  ValueBuffer value;
  readInto(id, value);
  return value.bytes[0];
}

int32_t storeInt(int id) {
  ValueBuffer value;
  readInto(id, value);
  int32_t number = 0;
  memcpy(&number, value.bytes, sizeof number);
  return number;
}

uint16_t storeShort(int id) {
  ValueBuffer value;
  readInto(id, value);
  uint16_t number = 0;
  memcpy(&number, value.bytes, sizeof number);
  return number;
}

std::string storeAddress(int id) {
  ValueBuffer value;
  readInto(id, value);
  in_addr address;
  memcpy(&address, value.bytes, sizeof address);
  char text[INET_ADDRSTRLEN] = {};
  if (inet_ntop(AF_INET, &address, text, sizeof text) == nullptr) return "0.0.0.0";
  return text;
}

std::string storeText(int id) {
  ValueBuffer value;
  readInto(id, value);
  return std::string(reinterpret_cast<const char*>(value.bytes));
}

void writeJsonString(FILE* out, const char* text, size_t length) {
  static const char kHex[] = "0123456789abcdef";
  fputc('"', out);
  for (size_t i = 0; i < length; ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    switch (c) {
      case '"':
        fputs("\\\"", out);
        break;
      case '\\':
        fputs("\\\\", out);
        break;
      case '\n':
        fputs("\\n", out);
        break;
      case '\r':
        fputs("\\r", out);
        break;
      case '\t':
        fputs("\\t", out);
        break;
      default:
        if (c < 0x20 || c == 0x7f) {
          char escaped[7] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0xf], '\0'};
          fputs(escaped, out);
        } else {
          fputc(c, out);
        }
    }
  }
  fputc('"', out);
}

}  // namespace configtool
