// Payload pieces that the router and OTA agents build alike: string members, the power-on
// time text and the "netinfo" document. Text goes through HBN_text_t, so values are
// JSON-escaped and nothing is written past the caller's buffer.
#pragma once
#include <cstddef>
#include <cstdint>

#include "json_text.h"

namespace hbn {

// One string member: `"name":"value"`, preceded by a comma unless `first`.
void jsonMember(HBN_text_t& text, const char* name, const char* value, bool first = false);

// "YYYY-MM-DDThh:mm:ss+09:00" of `stored` (seconds since the epoch, broken down without a
// time-zone conversion; 0 gives 1970-01-01T00:00:00+09:00).
void powerOnText(int64_t stored, char* out, size_t size);

// {"ifname":..,"mac":"%02X"x6,"ipv4":dotted} of `ifname`; MAC and address all zero when the
// interface cannot be queried or its name is longer than an interface name can be.
void netInfoPayload(HBN_text_t& text, const char* ifname);

}  // namespace hbn
