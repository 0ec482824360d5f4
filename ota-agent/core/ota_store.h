// The OTA agent's own ids in the configuration store (its server; the serial and service code it
// shares with the Z-Wave agent are in store_reader.h) and its version when the build file is empty.
#pragma once
#include "store_reader.h"

namespace hbn {

inline constexpr char kOtaDefaultVersion[] = "01.00.00.09";

namespace mib {

inline constexpr Text kOtaHost{1421};
inline constexpr U16Id kOtaPort{1422};
inline constexpr ByteId kOtaTlsEnable{1423};
inline constexpr ByteId kOtaLoginEnable{1424};
inline constexpr Text kOtaUser{1425};
inline constexpr Text kOtaPassword{1426};

}  // namespace mib
}  // namespace hbn
