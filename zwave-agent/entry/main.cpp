// zwave-cloud-agent: starts the adaptation layer with this program's platform callbacks,
// publishes the build version, then monitors the push switch for as long as it runs.
//
// When the Z/IP gateway goes away (it closed its pipe), the agent stops in order and exits
// with status 1: the platform starts it again, and the new agent opens the pipes of the new
// gateway. A half-alive agent that answers the cloud without a Z-Wave side would help nobody.
#include <malloc.h>

#include <csignal>
#include <cstdio>
#include <string>

#include "device_info.h"
#include "hbn_core.h"
#include "hbn_log.h"
#include "hbn_os.h"
#include "hbn_path.h"
#include "kv_api.h"
#include "platform_callbacks_internal.h"
#include "pushsw.h"

int main() {
#ifdef M_ARENA_MAX
  // One allocation arena: the agent's threads allocate little, and an arena per thread would
  // hold most of its private memory.
  mallopt(M_ARENA_MAX, 1);
#endif
  // Notices are read line by line by whoever supervises the agent.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  // A peer closing a pipe or socket is a failed write, not the end of the agent.
  std::signal(SIGPIPE, SIG_IGN);

  const KV_api_interface_t callbacks = HBNKV_interface();
  if (KV_api_initialize(&callbacks) != 0) return 1;

  const char* version = KV_api_getVersion();
  HBN_console_print("KV_TX440:Version:%s\n", version);
  if (hbn::writeBuildVersion(version) != 0) HBN_LOG(HBN_LOG_ERROR, "version file write fail\n");
  pushSwitchState_t state;
  while (HBN_core_isZipDown() == 0) {
    pushSwitchStep(&state);
    std::fflush(stdout);
    HBN_thread_sleep(PUSHSW_CYCLE_MS);
  }
  HBN_LOG(HBN_LOG_ERROR, "Z/IP is gone, the agent ends for a restart\n");
  KV_api_finalize();
  return 1;
}
