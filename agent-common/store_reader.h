// Typed reads of the configuration store (apmib). Every id the agents read is named here with
// the kind and value size the store gives it, so a read always hands the store a buffer of the
// right size and a caller never sizes one by hand.
//
// Contract of every read: the caller's default is written first and stays when the store has
// no value for the id; texts come back NUL-terminated and cut to the caller's buffer. Reads take
// no lock of ours (the store serialises itself), so any thread may call them.
#pragma once
#include <cstddef>
#include <cstdint>

namespace hbn {
namespace mib {

// Id kinds. A text id carries the size of the store's buffer (characters + NUL).
struct ByteId {
  int id;
};
struct U16Id {
  int id;
};
struct I32Id {
  int id;
};
template <size_t N>
struct TextId {
  static_assert(N >= 2, "a text value needs room for one character and its NUL");
  static constexpr size_t kSize = N;
  int id;
};
using Text = TextId<256>;                     // up to 255 characters
using ShortText = TextId<32>;                 // up to 31 characters
inline constexpr size_t kLoginTextSize = 33;  // MQTT login user and password: at most 32 characters

// Identity shared by the Z-Wave and OTA agents. Each agent names its own ids beside its code.
inline constexpr Text kSerial{1410};
inline constexpr Text kServiceCode{1411};

// Web login credentials, compared with their factory defaults.
inline constexpr ShortText kLoginUser{182};
inline constexpr ShortText kLoginPassword{183};

// Per-WAN-type settings: three blocks of 14 consecutive ids. Type 1 starts at 7101, type 2 at
// 7115, every other type at 7129.
enum WanOffset : int {
  kWanCloudEnable = 0,        // byte
  kWanSerial = 1,             // text
  kWanServiceCode = 2,        // text; "vexor" when empty (getServiceCode)
  kWanHost = 3,               // text
  kWanPort = 4,               // 16-bit
  kWanTlsEnable = 5,          // byte
  kWanLoginEnable = 6,        // byte
  kWanUser = 7,               // text, used up to 32 characters
  kWanPassword = 8,           // text, used up to 32 characters
  kWanKeepAliveEnable = 9,    // byte
  kWanKeepAliveSeconds = 10,  // 32-bit
  kWanLinkCheckEnable = 11,   // byte
  kWanLinkCheckMinutes = 12,  // 32-bit
  kWanOptimizeEnable = 13,    // byte
};
inline constexpr int kWanBlockLength = 14;

constexpr int wanBlockBase(int type) { return type == 1 ? 7101 : (type == 2 ? 7115 : 7129); }

struct WanBlock {
  ByteId cloudEnable;
  Text serial;
  Text serviceCode;
  Text host;
  U16Id port;
  ByteId tlsEnable;
  ByteId loginEnable;
  Text user;
  Text password;
  ByteId keepAliveEnable;
  I32Id keepAliveSeconds;
  ByteId linkCheckEnable;
  I32Id linkCheckMinutes;
  ByteId optimizeEnable;
};

// The typed ids of WAN `type`'s block.
constexpr WanBlock wanBlock(int type) {
  const int b = wanBlockBase(type);
  return WanBlock{{b + kWanCloudEnable},
                  {b + kWanSerial},
                  {b + kWanServiceCode},
                  {b + kWanHost},
                  {b + kWanPort},
                  {b + kWanTlsEnable},
                  {b + kWanLoginEnable},
                  {b + kWanUser},
                  {b + kWanPassword},
                  {b + kWanKeepAliveEnable},
                  {b + kWanKeepAliveSeconds},
                  {b + kWanLinkCheckEnable},
                  {b + kWanLinkCheckMinutes},
                  {b + kWanOptimizeEnable}};
}

// The cloud enables of the three blocks (types 1, 2, 0).
inline constexpr ByteId kCloudEnableWan1{7101};
inline constexpr ByteId kCloudEnableWan2{7115};
inline constexpr ByteId kCloudEnableWan0{7129};

// Current values; `def` when the store has none.
uint8_t get(ByteId id, uint8_t def = 0);
uint16_t get(U16Id id, uint16_t def = 0);
int32_t get(I32Id id, int32_t def = 0);
// Factory defaults; `def` when the store has none.
uint8_t getDef(ByteId id, uint8_t def = 0);
uint16_t getDef(U16Id id, uint16_t def = 0);
int32_t getDef(I32Id id, int32_t def = 0);

namespace detail {
// Reads text `id` into `value` (the store's `size` bytes), first filled with `def`, then copies
// it cut to `out` (`outSize` bytes; nothing is written when `out` is null or `outSize` is 0).
size_t readText(int id, bool factory, char* value, size_t size, const char* def, char* out, size_t outSize);
// Copies `text` cut to `out` (as above); returns the length written.
size_t copyText(const char* text, char* out, size_t outSize);
}  // namespace detail

// Text value into `out` (`outSize` bytes, NUL-terminated, cut to fit). A null `def` is "".
// Returns the length written.
template <size_t N>
size_t get(TextId<N> id, char* out, size_t outSize, const char* def = "") {
  char value[N];
  return detail::readText(id.id, false, value, N, def, out, outSize);
}
template <size_t N>
size_t getDef(TextId<N> id, char* out, size_t outSize, const char* def = "") {
  char value[N];
  return detail::readText(id.id, true, value, N, def, out, outSize);
}

// The service code used when the stored one is empty.
inline constexpr char kDefaultServiceCode[] = "vexor";
// A service code text as the agents use it: the stored text, or "vexor" when it is empty.
template <size_t N>
size_t getServiceCode(TextId<N> id, char* out, size_t outSize) {
  char value[N];
  detail::readText(id.id, false, value, N, "", nullptr, 0);
  return detail::copyText(value[0] != '\0' ? value : kDefaultServiceCode, out, outSize);
}

// True when the cloud of any WAN type is enabled (7101, 7115 or 7129 non-zero).
bool anyCloudEnabled();

}  // namespace mib
}  // namespace hbn
