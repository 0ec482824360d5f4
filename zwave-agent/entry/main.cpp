// zwave-cloud-agent: starts the adaptation layer with this program's platform callbacks,
// publishes the build version, then monitors the push switch for as long as it runs.
#include <csignal>
#include <cstdio>

#include "hbn_path.h"
#include "kv_api.h"
#include "platform_callbacks.h"
#include "pushsw.h"

int main() {
  // Notices are read line by line by whoever supervises the agent.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  // A peer closing a pipe or socket is a failed write, not the end of the agent.
  std::signal(SIGPIPE, SIG_IGN);

  const KV_api_interface_t callbacks = HBNKV_interface();
  if (KV_api_initialize(&callbacks) != 0) return 1;

  const char* version = KV_api_getVersion();
  std::printf("KV_TX440:Version:%s\n", version);
  if (FILE* f = std::fopen(HBN_path("/var/pqv_version").c_str(), "w")) {
    std::fputs(version, f);
    std::fclose(f);
  }
  pushSwitchMonitor();
}
