// While an input runs, the waits of the code under test on the harness's thread end at once.
// Everything it could wait for is already in its pipe when it starts, so a wait for more (the
// rest of a packet, an acknowledgement) can only time out, and the IR pacing only spaces radio
// sends; at even a millisecond each they capped a harness near a thousand inputs a second. The
// linker sends poll() and nanosleep() of these harnesses here (--wrap); other threads, and the
// harness outside an input, wait as usual. The thread is also one that never waits on a full
// queue (the harness drains the queues only after the input): a send gives up at once, as it
// would after its bounded wait.
#include <poll.h>
#include <time.h>

#include "fuzz_env.h"
#include "hbn_os.h"

namespace fuzzenv {
thread_local bool t_noWait = false;

NoWait::NoWait() {
  t_noWait = true;
  HBN_queue_setNoWait(1);
}
NoWait::~NoWait() {
  HBN_queue_setNoWait(0);
  t_noWait = false;
}

}  // namespace fuzzenv

extern "C" int __real_poll(struct pollfd* fds, nfds_t count, int timeoutMs);
extern "C" int __real_nanosleep(const struct timespec* wanted, struct timespec* left);

extern "C" int __wrap_poll(struct pollfd* fds, nfds_t count, int timeoutMs) {
  return __real_poll(fds, count, fuzzenv::t_noWait ? 0 : timeoutMs);
}

extern "C" int __wrap_nanosleep(const struct timespec* wanted, struct timespec* left) {
  if (fuzzenv::t_noWait) return 0;
  return __real_nanosleep(wanted, left);
}
