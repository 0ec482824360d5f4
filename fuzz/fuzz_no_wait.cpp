// While an input runs, the waits of the code under test on the harness's thread end at once.
// Everything it could wait for is already in its pipe when it starts, so a wait for more (the
// rest of a packet, an acknowledgement) can only time out, and the IR pacing only spaces radio
// sends; at even a millisecond each they capped a harness near a thousand inputs a second. The
// harness's platform (the seam every wait of the framework and the agents goes through) makes
// them end at once on that thread; other threads, and the harness outside an input, wait as
// usual. The thread is also one that never waits on a full queue (the harness drains the queues
// only after the input): a send gives up at once, as it would after its bounded wait.
#include "fuzz_env.h"
#include "hbn_os.h"
#include "hbn_platform.h"

namespace fuzzenv {
namespace {

thread_local bool t_noWait = false;

class NoWaitPlatform : public hbn::LinuxPlatform {
 public:
  void sleepMs(long ms) override {
    if (!t_noWait) hbn::LinuxPlatform::sleepMs(ms);
  }
  int poll(struct pollfd* fds, nfds_t count, int timeoutMs) override {
    return hbn::LinuxPlatform::poll(fds, count, t_noWait ? 0 : timeoutMs);
  }
};

NoWaitPlatform gPlatform;

}  // namespace

void installNoWaitPlatform() { hbn::setPlatform(&gPlatform); }

NoWait::NoWait() {
  t_noWait = true;
  HBN_queue_setNoWait(1);
}
NoWait::~NoWait() {
  HBN_queue_setNoWait(0);
  t_noWait = false;
}

}  // namespace fuzzenv
