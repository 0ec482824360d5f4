// Fail-over and fail-back: the MQTT-mode and ping-mode check threads and the WAN switch.
#include "wan_check.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <thread>

#include "hbn_net.h"
#include "hbn_os.h"
#include "hbn_path.h"
#include "wan_link.h"

namespace {

const char kFailoverMarker[] = "/var/failover.inf";

char mark(int value) { return value != 0 ? 'T' : '-'; }

void startDetached(const char* name, void (*body)()) {
  std::thread thread([name, body] {
    pthread_setname_np(pthread_self(), name);
    body();
  });
  thread.detach();
}

// The pause of one pass, `seconds` long (under the test time scale), at least a millisecond.
void pass(long seconds) {
  long ms = HBN_time_scaled(seconds * 1000);
  HBN_thread_sleep(static_cast<int>(ms > 0 ? ms : 1));
}

void mqttCheck() {
  WanFailoverState& state = wanFailoverState();
  WanLinkState& main = wanMainLink();
  WanLinkState& sub = wanSubLink();
  printf("KV_TX440:network check thread start\n");
  fflush(stdout);
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
      long diff = static_cast<long>(wanSecondsSince(main.connectedSinceMs.load()));
      printf("KV_TX440:1:diff=%ld\n", diff);
      fflush(stdout);
      if (diff >= state.failbackSeconds) {
        printf("KV_TX440:FAIL BACK!!!!!!\n");
        fflush(stdout);
        state.mainActive.store(1);
        wanSwitch(false);
      }
    } else {
      if (state.mainActive.load() == 0) continue;
      long diff = static_cast<long>(wanSecondsSince(main.disconnectedSinceMs.load()));
      printf("KV_TX440:2:diff=%ld\n", diff);
      fflush(stdout);
      if (diff >= main.checkSeconds) {
        printf("KV_TX440:FAIL OVER!!!!!!\n");
        fflush(stdout);
        state.mainActive.store(0);
        wanSwitch(true);
      }
    }
  }
}

void pingCheck() {
  WanFailoverState& state = wanFailoverState();
  WanLinkState& main = wanMainLink();
  printf("KV_TX440:network check thread start\n");
  fflush(stdout);
  const uint32_t kUnresolved = 0xFFFFFFFFu;
  uint32_t address = kUnresolved;
  int successes = 0, failures = 0;
  bool started = false;
  // Counts below one would switch on a probe of the other kind; one probe is the least.
  const int failoverCount = state.pingFailoverCount > 0 ? state.pingFailoverCount : 1;
  const int failbackCount = state.pingFailbackCount > 0 ? state.pingFailbackCount : 1;
  for (;;) {
    pass(state.pingInterval > 0 ? state.pingInterval : 1);
    if (address == kUnresolved) {
      address = HBN_util_netResolve(state.pingHost);
      if (address == kUnresolved) continue;
    }
    printf("KV_TX440:ping=%s,%X\n", main.ifname, address);
    fflush(stdout);
    int result = HBN_util_netPing(main.ifname, address);
    printf("KV_TX440:ping=%d,first=%c\n", result, mark(started));
    fflush(stdout);
    if (result != 0 && !started) continue;
    started = true;
    if (result == 0) {
      ++successes;
      failures = 0;
    } else {
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
        wanSwitch(true);
      }
    }
    if (successes >= failbackCount) {
      successes = failbackCount;
      if (state.mainActive.load() == 0 && state.failbackEnable != 0) {
        printf("KV_TX440:FAIL BACK!!!!!!\n");
        fflush(stdout);
        state.mainActive.store(1);
        wanSwitch(false);
      }
    }
  }
}

}  // namespace

void wanStartMqttCheck() { startDetached("wan-check", mqttCheck); }

void wanStartPingCheck() { startDetached("wan-ping", pingCheck); }

void wanSwitch(bool toSub) {
  const WanLinkState& main = wanMainLink();
  const WanLinkState& sub = wanSubLink();
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
  const char* from = toSub ? main.ifname : sub.ifname;
  const char* to = toSub ? sub.ifname : main.ifname;
  std::string command = HBN_path("/bin/sysconf") + " switch_wan " + from + " " + to;
  HBN_cmd_system(command.c_str());
}
