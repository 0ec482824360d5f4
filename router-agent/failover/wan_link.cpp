// Link handlers: time stamps of each link's changes, and the recovery actions for a link that
// stays down longer than its check time (the LTE optimisation script, or ending the process so
// that it is started afresh).
#include "wan_link.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "hbn_log.h"
#include "failover_rules.h"
#include "hbn_os.h"
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
void runOptimisation(HBN_thread_t*, uintptr_t argument) {
  WanLinkState* link = reinterpret_cast<WanLinkState*>(argument);
  const std::string command = HBN_path("/bin/kv_m3_optimize.sh");
  if (HBN_cmd_systemTimeout(command.c_str(), HBN_time_scaledBound(kOptimisationTimeoutMs)) == -2)
    HBN_LOG(HBN_LOG_ERROR, "command timeout:%s\n", command.c_str());
  link->optimizeRunning.store(0);
}

// Runs the optimisation script on a thread of its own ("wan-optimise"); one run at a time per
// link. The thread of the run before has ended (or is about to): it is joined first.
void startOptimisation(WanLinkState* link) {
  uint8_t idle = 0;
  if (!link->optimizeRunning.compare_exchange_strong(idle, 1)) return;
  createMarker(kDisconnectMarker);
  if (link->optimiser != nullptr) HBN_thread_stop(link->optimiser);
  link->optimiser = nullptr;
  if (HBN_thread_create(&link->optimiser, "wan-optimise", 2048, runOptimisation,
                        reinterpret_cast<uintptr_t>(link)) != 0) {
    // The thread manager is full: the next notice tries again.
    link->optimiser = nullptr;
    link->optimizeRunning.store(0);
  }
}

// The link stayed down past its check time: ends the process (status 1) so that the platform
// starts it afresh.
[[noreturn]] void restartProcess() {
  fflush(stdout);
  fflush(stderr);
  _exit(1);
}

// One connection notice: the rules decide (failover_rules), this carries it out.
void notice(int state, WanLinkState* link, bool dual) {
  LinkView view;
  view.connected = link->connected.load() != 0;
  view.firstConnected = link->firstConnected.load() != 0;
  view.connectedSinceMs = link->connectedSinceMs.load();
  view.disconnectedSinceMs = link->disconnectedSinceMs.load();
  view.checkSeconds = link->checkSeconds;
  view.optimize = link->optimize;
  view.optimizeRunning = link->optimizeRunning.load() != 0;
  LinkSettings settings;
  settings.dual = dual;
  settings.failoverEnable = gState.failoverEnable != 0;
  const LinkStep step = linkNoticeStep(view, state == 1, wanNowMs(), settings);
  if (!step.updated) return;
  if (step.next.connectedSinceMs != view.connectedSinceMs)
    link->connectedSinceMs.store(step.next.connectedSinceMs);
  if (step.next.disconnectedSinceMs != view.disconnectedSinceMs)
    link->disconnectedSinceMs.store(step.next.disconnectedSinceMs);
  if (step.next.firstConnected) link->firstConnected.store(1);
  if (step.clearDisconnectMarker) unlink(HBN_path(kDisconnectMarker).c_str());
  if (step.action == WanAction::kExit) restartProcess();
  if (step.action == WanAction::kOptimise) startOptimisation(link);
  link->connected.store(static_cast<uint8_t>(state == 1 ? 1 : 0));
}

}  // namespace

WanFailoverState& wanFailoverState() { return gState; }
WanLinkState& wanMainLink() { return gMain; }
WanLinkState& wanSubLink() { return gSub; }

int64_t wanNowMs() { return HBN_time_scaledNowMs(); }

int64_t wanSecondsSince(int64_t stampMs) { return (wanNowMs() - stampMs) / 1000; }

void wanLinkSingleHandler(int state, WanLinkState* link) {
  if (link == nullptr) return;
  notice(state, link, false);
}

void wanLinkDualHandler(int state, WanLinkState* link) {
  if (link == nullptr) return;
  notice(state, link, true);
}

void wanStopOptimisations() {
  for (WanLinkState* link : {&gMain, &gSub}) {
    if (link->optimiser != nullptr) HBN_thread_stop(link->optimiser);
    link->optimiser = nullptr;
  }
}
