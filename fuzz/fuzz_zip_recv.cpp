// The gateway pipe as the command thread reads it: any byte stream is framed, acknowledged,
// walked and classified, and each report goes to its parser.
#include <poll.h>

#include "fuzz_env.h"
#include "hbn_core_thread.h"
#include "hbn_zip.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzenv::NoWait noWait;
  if (!fuzzenv::start()) return 0;
  fuzzenv::writeToAgent(data, size);
  for (;;) {
    struct pollfd p = {HBN_core_zipCmdGetFd(), POLLIN, 0};
    if (poll(&p, 1, 0) != 1 || !(p.revents & POLLIN)) break;
    int kind = 0, node = 0, length = 0;
    const uint8_t* report = nullptr;
    if (HBN_core_zipCmdRecv(&kind, &node, &report, &length) != 0) continue;
    if (kind != HBN_ZIP_KIND_NONE) HBN_core_threadDispatch(kind, node, report, length);
  }
  fuzzenv::drain();
  return 0;
}
