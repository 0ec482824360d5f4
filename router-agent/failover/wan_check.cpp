// Fail-over and fail-back: the MQTT-mode and ping-mode check threads and the WAN switch.
#include "wan_check.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <string>

#include "failover_rules.h"
#include "hbn_log.h"
#include "hbn_net.h"
#include "hbn_os.h"
#include "hbn_path.h"
#include "wan_link.h"

namespace {

const char kFailoverMarker[] = "/var/failover.inf";
// The switch takes seconds; one that has not ended by then is hung, and would stop the checks.
constexpr long kSwitchTimeoutMs = 30000;
constexpr uint32_t kUnresolved = 0xFFFFFFFFu;

char mark(int value) { return value != 0 ? 'T' : '-'; }

// The running check thread (at most one: MQTT or ping mode).
HBN_thread_t* gCheck = nullptr;

// The pause of one pass, `seconds` long (under the test time scale), in steps that a stop cuts
// short. False when the thread is to stop.
bool pass(HBN_thread_t* self, int32_t seconds) {
  for (long left = wanPassMs(seconds); left > 0; left -= 100) {
    if (HBN_thread_isStopRequested(self)) return false;
    HBN_thread_sleep(static_cast<int>(left < 100 ? left : 100));
  }
  return !HBN_thread_isStopRequested(self);
}

int64_t secondsBetween(int64_t fromMs, int64_t toMs) { return (toMs - fromMs) / 1000; }

void mqttCheck(HBN_thread_t* self, uintptr_t) {
  WanFailoverState& state = wanFailoverState();
  WanLinkState& main = wanMainLink();
  WanLinkState& sub = wanSubLink();
  printf("KV_TX440:network check thread start\n");
  fflush(stdout);
  int64_t outageStartMs = 0;  // when the outage that caused the fail-over began
  while (pass(self, 10)) {
    printf("KV_TX440:main:connect=%c,first=%c\n", mark(main.connected.load()),
           mark(main.firstConnected.load()));
    printf("KV_TX440:sub :connect=%c,first=%c\n", mark(sub.connected.load()),
           mark(sub.firstConnected.load()));
    printf("KV_TX440:main is active=%c\n", mark(state.mainActive.load()));
    fflush(stdout);
    MqttCheckInput in;
    in.nowMs = wanNowMs();
    in.mainFirstConnected = main.firstConnected.load() == 1;
    in.mainConnected = main.connected.load() != 0;
    in.mainActive = state.mainActive.load() == 1;
    in.mainConnectedSinceMs = main.connectedSinceMs.load();
    in.mainDisconnectedSinceMs = main.disconnectedSinceMs.load();
    in.checkSeconds = main.checkSeconds;
    in.failbackSeconds = state.failbackSeconds;
    const MqttCheckDecision d = mqttCheckStep(in);
    if (d.diffKind != 0) {
      printf("KV_TX440:%d:diff=%ld\n", d.diffKind, d.diffSeconds);
      fflush(stdout);
    }
    if (d.action == WanAction::kFailBack) {
      printf("KV_TX440:FAIL BACK!!!!!!\n");
      fflush(stdout);
      state.mainActive.store(1);
      WanSwitchCause cause{"MQTT state", "", secondsBetween(outageStartMs, in.mainConnectedSinceMs)};
      snprintf(cause.detail, sizeof cause.detail, "main connected %ld s >= %d s", d.diffSeconds,
               static_cast<int>(state.failbackSeconds));
      wanSwitch(false, cause);
    } else if (d.action == WanAction::kFailOver) {
      printf("KV_TX440:FAIL OVER!!!!!!\n");
      fflush(stdout);
      state.mainActive.store(0);
      outageStartMs = in.mainDisconnectedSinceMs;
      WanSwitchCause cause{"MQTT state", "", d.diffSeconds};
      snprintf(cause.detail, sizeof cause.detail, "main disconnected %ld s >= %d s", d.diffSeconds,
               static_cast<int>(main.checkSeconds));
      wanSwitch(true, cause);
    }
  }
}

void pingCheck(HBN_thread_t* self, uintptr_t) {
  WanFailoverState& state = wanFailoverState();
  WanLinkState& main = wanMainLink();
  printf("KV_TX440:network check thread start\n");
  fflush(stdout);
  uint32_t address = kUnresolved;
  PingCounts counts;
  PingSettings settings;
  settings.failoverCount = state.pingFailoverCount;
  settings.failbackCount = state.pingFailbackCount;
  settings.failbackEnable = state.failbackEnable != 0;
  int64_t outageStartMs = 0;
  while (pass(self, state.pingInterval)) {
    if (address == kUnresolved) {
      address = HBN_util_netResolve(state.pingHost);
      if (address == kUnresolved) continue;
    }
    HBN_console_print("KV_TX440:ping=%s,%X\n", main.ifname, address);
    fflush(stdout);
    const int64_t probeMs = wanNowMs();
    int result = HBN_util_netPing(main.ifname, address);
    printf("KV_TX440:ping=%d,first=%c\n", result, mark(counts.started));
    fflush(stdout);
    const PingDecision d = pingStep(counts, result == 0, probeMs, state.mainActive.load() == 1, settings);
    if (!d.counted) continue;
    printf("KV_TX440:count=%d,%d\n", d.successes, d.failures);
    printf("KV_TX440:main is active=%c\n", mark(state.mainActive.load()));
    fflush(stdout);
    if (d.action == WanAction::kFailOver) {
      printf("KV_TX440:FAIL OVER!!!!!!\n");
      fflush(stdout);
      state.mainActive.store(0);
      outageStartMs = counts.firstFailureMs;
      WanSwitchCause cause{"ping counts", "", secondsBetween(counts.firstFailureMs, wanNowMs())};
      snprintf(cause.detail, sizeof cause.detail, "%d failed echoes in a row (fail-over count %d)",
               counts.failures, static_cast<int>(state.pingFailoverCount));
      wanSwitch(true, cause);
    } else if (d.action == WanAction::kFailBack) {
      printf("KV_TX440:FAIL BACK!!!!!!\n");
      fflush(stdout);
      state.mainActive.store(1);
      WanSwitchCause cause{"ping counts", "", secondsBetween(outageStartMs, counts.firstSuccessMs)};
      snprintf(cause.detail, sizeof cause.detail, "%d echo replies in a row (fail-back count %d)",
               counts.successes, static_cast<int>(state.pingFailbackCount));
      wanSwitch(false, cause);
    }
  }
}

void startCheck(const char* name, HBN_thread_entry_t body) {
  if (gCheck != nullptr) return;
  int rc = HBN_thread_create(&gCheck, name, 2048, body, 0);
  if (rc != 0) {
    gCheck = nullptr;
    HBN_LOG(HBN_LOG_ERROR, "%s thread create fail(%d)\n", name, rc);
  }
}

}  // namespace

long wanPassMs(int32_t seconds) {
  // An interval of 0 would probe without pause; one longer than a sleep can take is clamped
  // before it is converted (multiplied in a 32-bit long it would wrap).
  return HBN_time_scaledSecondsMs(seconds > 0 ? seconds : 1);
}

void wanStartMqttCheck() { startCheck("wan-check", mqttCheck); }

void wanStartPingCheck() {
  if (wanFailoverState().pingHost[0] == '\0') {
    HBN_LOG(HBN_LOG_WARN, "ping host empty: no network check\n");
    return;
  }
  startCheck("wan-ping", pingCheck);
}

void wanStopCheck() {
  if (gCheck != nullptr) HBN_thread_stop(gCheck);
  gCheck = nullptr;
}

void wanSwitch(bool toSub, const WanSwitchCause& cause) {
  const WanLinkState& main = wanMainLink();
  const WanLinkState& sub = wanSubLink();
  const char* from = toSub ? main.ifname : sub.ifname;
  const char* to = toSub ? sub.ifname : main.ifname;
  HBN_LOG(HBN_LOG_INFO, "%s %s->%s: trigger %s (%s), main link down %" PRId64 " s%s\n",
          toSub ? "fail over" : "fail back", from, to, cause.trigger, cause.detail, cause.downSeconds,
          toSub ? " so far" : "");
  const std::string marker = HBN_path(kFailoverMarker);
  if (toSub) {
    int fd = open(marker.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd >= 0) {
      fchmod(fd, 0666);
      close(fd);
    }
  } else {
    unlink(marker.c_str());
  }
  std::string command = HBN_path("/bin/sysconf") + " switch_wan " + from + " " + to;
  // Its result is not examined: past the bound the checks go on as after any other failure.
  if (HBN_cmd_systemTimeout(command.c_str(), HBN_time_scaledBound(kSwitchTimeoutMs)) == -2)
    HBN_LOG(HBN_LOG_ERROR, "command timeout:%s\n", command.c_str());
}
