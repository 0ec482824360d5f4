// The router agent's own ids in the configuration store (WAN judgement, fail-over, the session's
// random delays; the per-WAN blocks are in store_reader.h) and its version when the build file is
// empty.
#pragma once
#include "store_reader.h"

namespace hbn {

inline constexpr char kRouterDefaultVersion[] = "01.00.03.01";

namespace mib {

// WAN judgement and fail-over.
inline constexpr ByteId kWanMode{7144};  // 0..3
inline constexpr ByteId kDualWanEnable{7155};
inline constexpr ByteId kSingleWanSelector{7156};
inline constexpr ByteId kFailoverEnable{7157};
inline constexpr ByteId kRoleSwap{7158};
inline constexpr ByteId kCheckMethod{7159};  // 0 MQTT state, else ping
inline constexpr ByteId kMqttFailbackEnable{7160};
inline constexpr I32Id kMqttFailbackMinutes{7161};
inline constexpr Text kPingHost{7162};
inline constexpr I32Id kPingInterval{7163};  // seconds
inline constexpr I32Id kPingFailoverCount{7164};
inline constexpr ByteId kPingFailbackEnable{7165};
inline constexpr I32Id kPingFailbackCount{7166};

// Upper bounds of the session's random delays, in seconds.
inline constexpr U16Id kAnnounceDelayMax{7263};
inline constexpr U16Id kInfoDelayMax{7264};

}  // namespace mib
}  // namespace hbn
