// WAN judgement: main and sub WAN by WAN mode and role swap, the cloud enables of their
// blocks, the fail-over settings of the MQTT or ping check, and the per-link check settings.
#include "wan_judge.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "hbn_log.h"
#include "hbn_path.h"
#include "router_store.h"

namespace mib = hbn::mib;

namespace {

constexpr char kUevent[] = "/sys/class/net/usb1/device/uevent";
constexpr size_t kUeventLineSize = 256;  // lines of up to 255 characters

struct Wan {
  int32_t type;
  char ifname[WAN_IFNAME_SIZE];
};

void setName(char* dest, size_t size, const char* name) { mib::detail::copyText(name, dest, size); }

// Minutes to seconds in 64 bits, saturating instead of overflowing a 32-bit result.
int32_t minutesToSeconds(int32_t minutes) {
  int64_t seconds = static_cast<int64_t>(minutes) * 60;
  if (seconds > INT32_MAX) return INT32_MAX;
  if (seconds < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(seconds);
}

// Main and sub WAN in their default order for a dual-WAN `mode`. Modes other than 0..2 are
// handled like 3: the wired WAN alone, without an interface name.
void defaultOrder(int mode, Wan* main, Wan* sub) {
  switch (mode) {
    case 0:
      main->type = WAN_TYPE_USB;
      wanUsbIfName(main->ifname, sizeof main->ifname);
      sub->type = WAN_TYPE_LTE;
      setName(sub->ifname, sizeof sub->ifname, "ppp0");
      break;
    case 1:
      main->type = WAN_TYPE_WIRED;
      setName(main->ifname, sizeof main->ifname, "eth0");
      sub->type = WAN_TYPE_USB;
      wanUsbIfName(sub->ifname, sizeof sub->ifname);
      break;
    case 2:
      main->type = WAN_TYPE_WIRED;
      setName(main->ifname, sizeof main->ifname, "eth0");
      sub->type = WAN_TYPE_LTE;
      setName(sub->ifname, sizeof sub->ifname, "wwan0");
      break;
    default:
      main->type = WAN_TYPE_WIRED;
      sub->type = WAN_TYPE_NONE;
      break;
  }
}

// The single WAN of a not-dual set-up, by WAN mode and selector.
int32_t singleWanType(int mode, int selector) {
  switch (mode) {
    case 0:
      return selector == 0 ? WAN_TYPE_USB : (selector == 1 ? WAN_TYPE_LTE : WAN_TYPE_WIRED);
    case 1:
      return selector == 1 ? WAN_TYPE_USB : WAN_TYPE_WIRED;
    case 2:
      return selector == 1 ? WAN_TYPE_LTE : WAN_TYPE_WIRED;
    default:
      return WAN_TYPE_WIRED;
  }
}

int32_t withCloudEnable(int32_t type) {
  if (type < 0) return type;
  return mib::get(mib::wanBlock(type).cloudEnable) != 0 ? type : WAN_TYPE_NONE;
}

// Fail-over settings of the ping check; an empty host leaves the check without numbers.
void readPingSettings(const char* func, WanJudgement* r) {
  mib::get(mib::kPingHost, r->pingHost, sizeof r->pingHost);
  if (r->pingHost[0] != '\0') {
    r->pingInterval = mib::get(mib::kPingInterval);
    r->pingFailoverCount = mib::get(mib::kPingFailoverCount);
    r->failbackEnable = mib::get(mib::kPingFailbackEnable);
    r->pingFailbackCount = mib::get(mib::kPingFailbackCount);
  }
  HBN_log_printAt(HBN_LOG_DEBUG, func, __LINE__, "ping:host            =%s\n", r->pingHost);
  HBN_log_printAt(HBN_LOG_DEBUG, func, __LINE__, "ping:interval        =%d\n", r->pingInterval);
  HBN_log_printAt(HBN_LOG_DEBUG, func, __LINE__, "ping:fail over count =%d\n", r->pingFailoverCount);
  HBN_log_printAt(HBN_LOG_DEBUG, func, __LINE__, "ping:fail back enable=%d\n", r->failbackEnable);
  HBN_log_printAt(HBN_LOG_DEBUG, func, __LINE__, "ping:fail back count =%d\n", r->pingFailbackCount);
}

// Fail-over settings of the MQTT check; fail-back needs a positive time.
void readMqttSettings(const char* func, WanJudgement* r) {
  r->failbackEnable = mib::get(mib::kMqttFailbackEnable);
  r->failbackSeconds = minutesToSeconds(mib::get(mib::kMqttFailbackMinutes));
  if (r->failbackSeconds <= 0) r->failbackEnable = 0;
  HBN_log_printAt(HBN_LOG_DEBUG, func, __LINE__, "mqtt:enable=%d\n", r->failbackEnable);
  HBN_log_printAt(HBN_LOG_DEBUG, func, __LINE__, "mqtt:count =%d\n", r->failbackSeconds);
}

}  // namespace

int KV_VENTO_api_judgeNet(WanJudgement* result, int* dual) {
  if (dual != nullptr) *dual = 0;
  if (result == nullptr) return -1;
  std::memset(result, 0, sizeof *result);
  result->mainType = result->subType = WAN_TYPE_NONE;
  result->pingMainType = result->pingSubType = WAN_TYPE_NONE;

  const int mode = mib::get(mib::kWanMode, 3);
  const int dualEnable = mib::get(mib::kDualWanEnable, 0);
  if (dualEnable == 0) {
    result->mainType = singleWanType(mode, mib::get(mib::kSingleWanSelector, 0));
    return 0;
  }

  if (dual != nullptr) *dual = 1;
  result->failoverEnable = mib::get(mib::kFailoverEnable, 0);
  const int roleSwap = mib::get(mib::kRoleSwap, 0);
  Wan main = {WAN_TYPE_NONE, {}};
  Wan sub = {WAN_TYPE_NONE, {}};
  defaultOrder(mode, &main, &sub);
  const bool wiredOnly = mode < 0 || mode > 2;  // no sub WAN: nothing to swap, no fail-over
  if (result->failoverEnable == 0 && roleSwap != 0 && !wiredOnly) {
    Wan swapped = main;
    main = sub;
    sub = swapped;
  }
  result->mainType = main.type;
  result->subType = sub.type;
  setName(result->mainIf, sizeof result->mainIf, main.ifname);
  setName(result->subIf, sizeof result->subIf, sub.ifname);

  result->pingMainType = result->mainType;
  result->pingSubType = result->subType;
  result->mainType = withCloudEnable(result->mainType);
  result->subType = withCloudEnable(result->subType);

  if (wiredOnly || result->failoverEnable == 0) return 0;
  result->checkMethod = mib::get(mib::kCheckMethod, 0);
  HBN_LOG(HBN_LOG_DEBUG, "mqtt or ping=%d\n", result->checkMethod);
  if (result->checkMethod != 0) {
    readPingSettings(__func__, result);
  } else {
    readMqttSettings(__func__, result);
  }
  return 0;
}

void wanUsbIfName(char* name, size_t size) {
  const char* found = "usb1";
  FILE* file = std::fopen(HBN_path(kUevent).c_str(), "r");
  if (file != nullptr) {
    char line[kUeventLineSize];
    bool lineStart = true;  // the next piece read begins a line (not the rest of a long one)
    while (std::fgets(line, sizeof line, file) != nullptr) {
      size_t length = std::strlen(line);
      const bool whole = length > 0 && line[length - 1] == '\n';
      if (whole) line[--length] = '\0';
      const bool starts = lineStart;
      lineStart = whole;
      if (!starts || std::strncmp(line, "DRIVER=", 7) != 0) continue;
      found = std::strcmp(line, "DRIVER=rndis_host") == 0 ? "usb1" : "usb2";
      break;
    }
    std::fclose(file);
  }
  setName(name, size, found);
}

WanLinkSettings wanLinkSettings(int type) {
  const mib::WanBlock block = mib::wanBlock(type);
  WanLinkSettings settings = {0, 0};
  const int32_t minutes = mib::get(block.linkCheckMinutes);
  if (mib::get(block.linkCheckEnable) != 0 && minutes > 0) settings.checkSeconds = minutesToSeconds(minutes);
  if (type == WAN_TYPE_USB) {
    const mib::WanBlock usb = mib::wanBlock(WAN_TYPE_USB);
    settings.optimize = mib::get(usb.linkCheckEnable) != 0 && mib::get(usb.optimizeEnable) != 0 ? 1 : 0;
  }
  return settings;
}
