// Link handlers: time stamps of each link's changes, and the recovery actions for a link that
// stays down longer than its check time (the LTE optimisation script, or ending the process so
// that it is started afresh).
#include "wan_link.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <system_error>
#include <thread>

#include "hbn_log.h"
#include "hbn_path.h"

namespace {

WanFailoverState gState;
WanLinkState gMain;
WanLinkState gSub;

const char kDisconnectMarker[] = "/var/lte_m3_disconnect.inf";
// The script takes minutes; one still running after this is hung and would keep the link from
// ever being optimised again.
constexpr long kOptimisationTimeoutMs = 600000;

void createMarker(const char* path) {
  int fd = open(HBN_path(path).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd >= 0) {
    fchmod(fd, 0666);
    close(fd);
  }
}

// One run of the optimisation script, ended after its bound (then logged); either way the link
// may be optimised again.
void runOptimisation(WanLinkState* link) {
  const std::string command = HBN_path("/bin/kv_m3_optimize.sh");
  if (HBN_cmd_systemTimeout(command.c_str(), HBN_time_scaledBound(kOptimisationTimeoutMs)) == -2)
    HBN_LOG(HBN_LOG_ERROR, "command timeout:%s\n", command.c_str());
  link->optimizeRunning.store(0);
}

// Runs the optimisation script on a thread of its own; one run at a time per link.
void startOptimisation(WanLinkState* link) {
  uint8_t idle = 0;
  if (!link->optimizeRunning.compare_exchange_strong(idle, 1)) return;
  createMarker(kDisconnectMarker);
  try {
    std::thread(runOptimisation, link).detach();
  } catch (const std::system_error&) {
    // Runs on the MQTT library's thread: nothing may escape; the next notice tries again.
    link->optimizeRunning.store(0);
  }
}

// The link stayed down past its check time: ends the process (status 1) when it may.
[[noreturn]] void restartProcess() {
  fflush(stdout);
  fflush(stderr);
  _exit(1);
}

// Step shared by both handlers while the link check is on.
void checkedNotice(int state, WanLinkState* link, bool mayExit) {
  if (state == 1) link->firstConnected.store(1);
  if (link->firstConnected.load() == 1) {
    if (state != link->connected.load()) {
      if (state == 1) {
        link->connectedSinceMs.store(wanNowMs());
        if (link->optimize > 0) unlink(HBN_path(kDisconnectMarker).c_str());
      } else {
        link->disconnectedSinceMs.store(wanNowMs());
      }
    }
    if (state == 0 && wanSecondsSince(link->disconnectedSinceMs.load()) > link->checkSeconds) {
      if (link->optimize <= 0) {
        if (mayExit) restartProcess();
      } else if (link->optimizeRunning.load() != 1) {
        startOptimisation(link);
      }
    }
  }
  link->connected.store(static_cast<uint8_t>(state));
}

}  // namespace

WanFailoverState& wanFailoverState() { return gState; }
WanLinkState& wanMainLink() { return gMain; }
WanLinkState& wanSubLink() { return gSub; }

int64_t wanNowMs() { return HBN_time_scaledNowMs(); }

int64_t wanSecondsSince(int64_t stampMs) { return (wanNowMs() - stampMs) / 1000; }

void wanLinkSingleHandler(int state, WanLinkState* link) {
  if (link == nullptr || link->checkSeconds <= 0) return;
  checkedNotice(state, link, true);
}

void wanLinkDualHandler(int state, WanLinkState* link) {
  if (link == nullptr) return;
  if (link->checkSeconds > 0) {
    // With fail-over enabled the check thread handles the outage.
    checkedNotice(state, link, gState.failoverEnable == 0);
    return;
  }
  if (state != link->connected.load()) {
    if (state == 1) {
      link->connectedSinceMs.store(wanNowMs());
      link->firstConnected.store(1);
    } else {
      link->disconnectedSinceMs.store(wanNowMs());
    }
  }
  link->connected.store(static_cast<uint8_t>(state));
}
