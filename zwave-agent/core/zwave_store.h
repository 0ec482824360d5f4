// The Z-Wave agent's own ids in the configuration store: its cloud server and session settings.
// The serial and service code it shares with the OTA agent are in store_reader.h.
#pragma once
#include "store_reader.h"

namespace hbn {
namespace mib {

inline constexpr Text kServerHost{1412};
inline constexpr Text kServerPort{1413};  // decimal text
inline constexpr ByteId kTlsEnable{1414};
inline constexpr ByteId kAuthEnable{1415};
inline constexpr Text kAuthUser{1416};
inline constexpr Text kAuthPassword{1417};
inline constexpr ByteId kKeepAliveEnable{1418};
inline constexpr Text kKeepAliveInterval{1419};  // decimal text, seconds

}  // namespace mib
}  // namespace hbn
