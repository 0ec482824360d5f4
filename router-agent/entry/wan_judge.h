// WAN judgement of the router agent: which WAN links exist, which is main and which sub, the
// fail-over settings that go with them, and the per-link check settings. Reads the
// configuration store (and, for the USB modem, its driver's uevent file); holds no state, so
// any thread may call it, although the agent calls it once at start.
#pragma once
#include <cstddef>
#include <cstdint>

enum {
  WAN_TYPE_NONE = -1,        // no such WAN, or its cloud is disabled
  WAN_TYPE_WIRED = 0,        // "eth0"
  WAN_TYPE_USB = 1,          // "usb1" or "usb2"
  WAN_TYPE_LTE = 2,          // "ppp0" (WAN mode 0) or "wwan0" (WAN mode 2)
  WAN_IFNAME_SIZE = 33,      // interface names: at most 32 characters
  WAN_PING_HOST_SIZE = 256,  // ping host: at most 255 characters
};

struct WanJudgement {
  int32_t mainType;  // WAN types; -1 when absent or when that type's cloud enable is 0
  int32_t subType;
  char mainIf[WAN_IFNAME_SIZE];  // "" when none
  char subIf[WAN_IFNAME_SIZE];
  int32_t failoverEnable;
  int32_t checkMethod;      // 0: by MQTT connection state; non-zero: by ping
  int32_t failbackEnable;   // MQTT mode: 7160; ping mode: 7165
  int32_t failbackSeconds;  // MQTT mode only
  char pingHost[WAN_PING_HOST_SIZE];
  int32_t pingInterval;  // seconds
  int32_t pingFailoverCount;
  int32_t pingFailbackCount;
  int32_t pingMainType;  // main and sub type as the WAN mode chose them, before the cloud enables
  int32_t pingSubType;
};

// Judges the WAN links into `result` (cleared first: numbers 0, all four types -1, names empty)
// and sets `*dual` (when given) to 1 for dual-WAN operation, else 0. Logs the fail-over settings
// it reads (level 0). 0 done; -1 when `result` is null.
int KV_VENTO_api_judgeNet(WanJudgement* result, int* dual);

// Interface name of the USB modem: "usb2" when the first "DRIVER=" line of
// "/sys/class/net/usb1/device/uevent" names a driver other than rndis_host, else "usb1".
// `name` receives it NUL-terminated, cut to `size`.
void wanUsbIfName(char* name, size_t size);

// Link check and optimisation settings of one WAN link.
struct WanLinkSettings {
  int32_t checkSeconds;  // link check minutes x 60 when the check is enabled and positive, else 0
  int32_t optimize;      // 1 only for the USB modem (type 1) with link check and optimize enabled
};

// Reads the settings of WAN `type`'s block (any type other than 1 and 2 reads type 0's).
// checkSeconds saturates at INT32_MAX for link check times too long to express in seconds.
WanLinkSettings wanLinkSettings(int type);
