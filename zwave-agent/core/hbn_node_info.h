// The node information record: one node's description as the core learns it from the
// gateway's node reports, carried by value to the cloud (copied into a cloud pool buffer)
// and rendered there as JSON. The layout is fixed at 468 bytes with natural alignment and
// is checked below, so 32- and 64-bit builds agree byte for byte.
#pragma once
#include <cstddef>
#include <cstdint>

// Section states.
enum { HBN_NODE_STATE_NONE = 0, HBN_NODE_STATE_OBTAINED = 2 };

// Capacities of the text and list fields (texts keep room for their terminator).
enum {
  HBN_NODE_NAME_SIZE = 97,       // location and node name: 96 characters + NUL
  HBN_NODE_DEVICE_ID_SIZE = 33,  // device ID: 32 characters + NUL (16 bytes as hex text)
  HBN_NODE_CLASS_MAX = 64,       // command classes listed per node
};

struct HBN_node_info_t {
  uint8_t capabilityState;  // state of the next five bytes
  uint8_t capability;
  uint8_t security;
  uint8_t basic;
  uint8_t generic;
  uint8_t specific;
  uint8_t locationState;
  uint8_t locationType;  // character presentation
  char locationName[HBN_NODE_NAME_SIZE];
  uint8_t nameState;
  uint8_t nameType;
  char nodeName[HBN_NODE_NAME_SIZE];
  uint8_t manufacturerState;
  uint16_t manufacturerId;
  uint16_t productType;
  uint16_t productId;
  uint8_t deviceIdState;
  uint8_t deviceIdType;
  uint8_t deviceIdLength;  // characters in deviceId
  char deviceId[HBN_NODE_DEVICE_ID_SIZE];
  uint8_t zwavePlusState;
  uint8_t zwavePlusVersion;
  uint8_t roleType;
  uint8_t nodeType;
  uint16_t installerIconType;
  uint16_t userIconType;
  uint8_t commandClassState;  // 2 when at least one class is listed
  int32_t commandClassCount;  // 0 .. 64
  uint8_t commandClasses[HBN_NODE_CLASS_MAX];
  uint8_t versions[HBN_NODE_CLASS_MAX];       // per class; 255 = unknown
  uint8_t securityFlags[HBN_NODE_CLASS_MAX];  // per class; non-zero = used with security
  int32_t wakeUpInterval;                     // -1 = none
  int32_t nopInterval;                        // -1 = none
  uint32_t pairingStatus;
};

static_assert(sizeof(HBN_node_info_t) == 468, "node information record is 468 bytes");
static_assert(offsetof(HBN_node_info_t, locationName) == 8, "layout");
static_assert(offsetof(HBN_node_info_t, nodeName) == 107, "layout");
static_assert(offsetof(HBN_node_info_t, manufacturerState) == 204, "layout");
static_assert(offsetof(HBN_node_info_t, manufacturerId) == 206, "layout");
static_assert(offsetof(HBN_node_info_t, deviceIdState) == 212, "layout");
static_assert(offsetof(HBN_node_info_t, deviceId) == 215, "layout");
static_assert(offsetof(HBN_node_info_t, zwavePlusState) == 248, "layout");
static_assert(offsetof(HBN_node_info_t, installerIconType) == 252, "layout");
static_assert(offsetof(HBN_node_info_t, commandClassState) == 256, "layout");
static_assert(offsetof(HBN_node_info_t, commandClassCount) == 260, "layout");
static_assert(offsetof(HBN_node_info_t, commandClasses) == 264, "layout");
static_assert(offsetof(HBN_node_info_t, versions) == 328, "layout");
static_assert(offsetof(HBN_node_info_t, securityFlags) == 392, "layout");
static_assert(offsetof(HBN_node_info_t, wakeUpInterval) == 456, "layout");
static_assert(offsetof(HBN_node_info_t, nopInterval) == 460, "layout");
static_assert(offsetof(HBN_node_info_t, pairingStatus) == 464, "layout");
