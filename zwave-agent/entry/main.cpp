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

#include "hbn_core.h"
#include "hbn_log.h"
#include "hbn_os.h"
#include "hbn_path.h"
#include "kv_api.h"
#include "platform_callbacks.h"
#include "pushsw.h"

namespace {

// Writes the build version for the information report under a temporary name and renames
// it, so that a full file system leaves the previous file whole instead of an empty one.
void writeVersionFile(const char* version) {
  const std::string path = HBN_path("/var/pqv_version");
  const std::string temp = path + ".tmp";
  bool ok = false;
  if (FILE* f = std::fopen(temp.c_str(), "w")) {
    ok = std::fputs(version, f) >= 0;
    ok = std::fclose(f) == 0 && ok;
    ok = ok && std::rename(temp.c_str(), path.c_str()) == 0;
    if (!ok) std::remove(temp.c_str());
  }
  if (!ok) HBN_LOG(HBN_LOG_ERROR, "version file write fail\n");
}

}  // namespace

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
  std::printf("KV_TX440:Version:%s\n", version);
  writeVersionFile(version);
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
