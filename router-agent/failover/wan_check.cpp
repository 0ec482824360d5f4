// Fail-over and fail-back: the MQTT-mode and ping-mode check threads and the WAN switch.
#include "wan_check.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <string>
#include <system_error>
#include <thread>

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

void startDetached(const char* name, void (*body)()) {
  try {
    std::thread thread([name, body] {
      pthread_setname_np(pthread_self(), name);
      body();
    });
    thread.detach();
  } catch (const std::system_error& e) {
    HBN_LOG(HBN_LOG_ERROR, "%s thread create fail(%s)\n", name, e.what());
  }
}

// The pause of one pass, `seconds` long (under the test time scale).
void pass(int32_t seconds) { HBN_thread_sleep(static_cast<int>(wanPassMs(seconds))); }

int64_t secondsBetween(int64_t fromMs, int64_t toMs) { return (toMs - fromMs) / 1000; }

void mqttCheck() {
  WanFailoverState& state = wanFailoverState();
  WanLinkState& main = wanMainLink();
  WanLinkState& sub = wanSubLink();
  printf("KV_TX440:network check thread start\n");
  fflush(stdout);
  int64_t outageStartMs = 0;  // when the outage that caused the fail-over began
  for (;;) {
    pass(10);
    printf("KV_TX440:main:connect=%c,first=%c\n", mark(main.connected.load()),
           mark(main.firstConnected.load()));
    printf("KV_TX440:sub :connect=%c,first=%c\n", mark(sub.connected.load()),
           mark(sub.firstConnected.load()));
    printf("KV_TX440:main is active=%c\n", mark(state.mainActive.load()));
    fflush(stdout);
    if (main.firstConnected.load() != 1) continue;
    if (main.connected.load()) {
      if (state.mainActive.load() == 1) continue;
      const int64_t since = main.connectedSinceMs.load();
      long diff = static_cast<long>(wanSecondsSince(since));
      printf("KV_TX440:1:diff=%ld\n", diff);
      fflush(stdout);
      if (diff >= state.failbackSeconds) {
        printf("KV_TX440:FAIL BACK!!!!!!\n");
        fflush(stdout);
        state.mainActive.store(1);
        WanSwitchCause cause{"MQTT state", "", secondsBetween(outageStartMs, since)};
        snprintf(cause.detail, sizeof cause.detail, "main connected %ld s >= %d s", diff,
                 static_cast<int>(state.failbackSeconds));
        wanSwitch(false, cause);
      }
    } else {
      if (state.mainActive.load() == 0) continue;
      const int64_t since = main.disconnectedSinceMs.load();
      long diff = static_cast<long>(wanSecondsSince(since));
      printf("KV_TX440:2:diff=%ld\n", diff);
      fflush(stdout);
      if (diff >= main.checkSeconds) {
        printf("KV_TX440:FAIL OVER!!!!!!\n");
        fflush(stdout);
        state.mainActive.store(0);
        outageStartMs = since;
        WanSwitchCause cause{"MQTT state", "", diff};
        snprintf(cause.detail, sizeof cause.detail, "main disconnected %ld s >= %d s", diff,
                 static_cast<int>(main.checkSeconds));
        wanSwitch(true, cause);
      }
    }
  }
}

void pingCheck() {
  WanFailoverState& state = wanFailoverState();
  WanLinkState& main = wanMainLink();
  printf("KV_TX440:network check thread start\n");
  fflush(stdout);
  uint32_t address = kUnresolved;
  int successes = 0, failures = 0;
  bool started = false;
  // A count below one would switch on a probe of the other kind (a healthy link would fail over
  // and back again in one pass); one probe is the least.
  const int failoverCount = state.pingFailoverCount > 0 ? state.pingFailoverCount : 1;
  const int failbackCount = state.pingFailbackCount > 0 ? state.pingFailbackCount : 1;
  int64_t firstFailureMs = 0, firstSuccessMs = 0, outageStartMs = 0;
  for (;;) {
    pass(state.pingInterval);
    if (address == kUnresolved) {
      address = HBN_util_netResolve(state.pingHost);
      if (address == kUnresolved) continue;
    }
    HBN_console_print("KV_TX440:ping=%s,%X\n", main.ifname, address);
    fflush(stdout);
    const int64_t probeMs = wanNowMs();
    int result = HBN_util_netPing(main.ifname, address);
    printf("KV_TX440:ping=%d,first=%c\n", result, mark(started));
    fflush(stdout);
    if (result != 0 && !started) continue;
    started = true;
    if (result == 0) {
      if (successes == 0) firstSuccessMs = probeMs;
      ++successes;
      failures = 0;
    } else {
      if (failures == 0) firstFailureMs = probeMs;
      ++failures;
      successes = 0;
    }
    printf("KV_TX440:count=%d,%d\n", successes, failures);
    printf("KV_TX440:main is active=%c\n", mark(state.mainActive.load()));
    fflush(stdout);
    if (failures >= failoverCount) {
      failures = failoverCount;
      if (state.mainActive.load() == 1) {
        printf("KV_TX440:FAIL OVER!!!!!!\n");
        fflush(stdout);
        state.mainActive.store(0);
        outageStartMs = firstFailureMs;
        WanSwitchCause cause{"ping counts", "", secondsBetween(firstFailureMs, wanNowMs())};
        snprintf(cause.detail, sizeof cause.detail, "%d failed echoes in a row (fail-over count %d)",
                 failures, static_cast<int>(state.pingFailoverCount));
        wanSwitch(true, cause);
      }
    }
    if (successes >= failbackCount) {
      successes = failbackCount;
      if (state.mainActive.load() == 0 && state.failbackEnable != 0) {
        printf("KV_TX440:FAIL BACK!!!!!!\n");
        fflush(stdout);
        state.mainActive.store(1);
        WanSwitchCause cause{"ping counts", "", secondsBetween(outageStartMs, firstSuccessMs)};
        snprintf(cause.detail, sizeof cause.detail, "%d echo replies in a row (fail-back count %d)",
                 successes, static_cast<int>(state.pingFailbackCount));
        wanSwitch(false, cause);
      }
    }
  }
}

}  // namespace

long wanPassMs(int32_t seconds) {
  // An interval of 0 would probe without pause; one longer than a sleep can take is clamped
  // before it is converted (multiplied in a 32-bit long it would wrap).
  return HBN_time_scaledSecondsMs(seconds > 0 ? seconds : 1);
}

void wanStartMqttCheck() { startDetached("wan-check", mqttCheck); }

void wanStartPingCheck() {
  if (wanFailoverState().pingHost[0] == '\0') {
    HBN_LOG(HBN_LOG_WARN, "ping host empty: no network check\n");
    return;
  }
  startDetached("wan-ping", pingCheck);
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
