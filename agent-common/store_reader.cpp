// Typed reads of the configuration store: each read hands apmib a buffer of exactly the id's
// size, pre-filled with the caller's default, so a missing value leaves the default in place.
#include "store_reader.h"

#include <cstring>

#include "apmib.h"

namespace hbn {
namespace mib {

namespace {

template <typename T>
T readNumber(int id, bool factory, T def) {
  T value = def;
  if (factory) {
    apmib_getDef(id, &value);
  } else {
    apmib_get(id, &value);
  }
  return value;
}

}  // namespace

uint8_t get(ByteId id, uint8_t def) { return readNumber<uint8_t>(id.id, false, def); }
uint16_t get(U16Id id, uint16_t def) { return readNumber<uint16_t>(id.id, false, def); }
int32_t get(I32Id id, int32_t def) { return readNumber<int32_t>(id.id, false, def); }
uint8_t getDef(ByteId id, uint8_t def) { return readNumber<uint8_t>(id.id, true, def); }
uint16_t getDef(U16Id id, uint16_t def) { return readNumber<uint16_t>(id.id, true, def); }
int32_t getDef(I32Id id, int32_t def) { return readNumber<int32_t>(id.id, true, def); }

bool anyCloudEnabled() {
  return get(kCloudEnableWan1) != 0 || get(kCloudEnableWan2) != 0 || get(kCloudEnableWan0) != 0;
}

namespace detail {

size_t copyText(const char* text, char* out, size_t outSize) {
  if (out == nullptr || outSize == 0) return 0;
  size_t length = text != nullptr ? strnlen(text, outSize - 1) : 0;
  if (length > 0) std::memmove(out, text, length);
  out[length] = '\0';
  return length;
}

size_t readText(int id, bool factory, char* value, size_t size, const char* def, char* out, size_t outSize) {
  std::memset(value, 0, size);
  copyText(def, value, size);
  if (factory) {
    apmib_getDef(id, value);
  } else {
    apmib_get(id, value);
  }
  value[size - 1] = '\0';  // whatever the store wrote, the text ends inside the buffer
  return copyText(value, out, outSize);
}

}  // namespace detail

}  // namespace mib
}  // namespace hbn
