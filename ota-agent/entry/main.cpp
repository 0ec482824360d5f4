// ota-agent: one MQTT session to the OTA server for firmware, certificate, configuration and
// control requests, with the daily version report. Starts its managers, the core and the
// cloud side, then waits for ever.
#include <malloc.h>
#include <syslog.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>

#include "apmib.h"
#include "hbn_log.h"
#include "hbn_os.h"
#include "ota_core.h"

int main() {
#ifdef M_ARENA_MAX
  // One allocation arena: the agent's threads allocate little, and an arena per thread would
  // hold most of its private memory.
  mallopt(M_ARENA_MAX, 1);
#endif
  // A peer closing a pipe or socket is a failed write, not the end of the agent.
  std::signal(SIGPIPE, SIG_IGN);
  // This agent logs under "HBN" with the user facility, and keeps Debug lines off the system log.
  // Its priorities stay bare (the user facility of openlog) from the first line on, also for
  // the framework's lines of a failed start.
  openlog("HBN", 0, LOG_USER);
  HBN_log_fixFacility(0);
  HBN_log_setDebugToSyslog(false);
  if (HBN_os_initialize() != 0) return 1;
  if (apmib_init() != 1) return 1;
  if (HBN_core_initialize() != 0) return 1;
  for (;;) pause();
}
