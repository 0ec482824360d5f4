// router-cloud-agent: judges the WAN links, starts one cloud session per usable WAN (bound to
// its interface in dual-WAN operation) and the network check thread, then monitors the push
// switch for as long as it runs.
#include <malloc.h>

#include <csignal>
#include <cstdio>

#include "device_info.h"
#include "hbn_log.h"
#include "kv_vento_api.h"
#include "platform_callbacks_internal.h"
#include "pushsw.h"
#include "script_request.h"
#include "wan_check.h"
#include "wan_judge.h"
#include "wan_link.h"

namespace {

void copyLink(WanLinkState& link, int isMain, int type, const char* ifname) {
  link.isMain = static_cast<uint8_t>(isMain);
  link.type = type;
  snprintf(link.ifname, sizeof link.ifname, "%s", ifname);
  WanLinkSettings settings = wanLinkSettings(type);
  link.checkSeconds = settings.checkSeconds;
  link.optimize = settings.optimize;
}

}  // namespace

int main() {
#ifdef M_ARENA_MAX
  // A handful of threads that allocate little: one heap keeps what they free reusable by all,
  // instead of one more arena (and its pages) per thread that ever allocated.
  mallopt(M_ARENA_MAX, 1);
#endif
  // Notices are read line by line by whoever supervises the agent.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  // A peer closing a pipe or socket is a failed write, not the end of the agent.
  std::signal(SIGPIPE, SIG_IGN);

  // The agent's script requests (switch and cloud) print no console lines of their own.
  execScriptRequestSetConsole(false);

  const KV_VENTO_api_interface_t callbacks = HBNKV_interface();
  KV_VENTO_api_initialize(&callbacks);
  const char* version = KV_VENTO_api_getVersion();
  HBN_console_print("KV_TX440:Version:%s\n", version);
  if (hbn::writeBuildVersion(version) != 0) HBN_LOG(HBN_LOG_ERROR, "version file write fail\n");

  WanFailoverState& state = wanFailoverState();
  WanLinkState& mainLink = wanMainLink();
  WanLinkState& subLink = wanSubLink();
  WanJudgement judged;
  int dual = 0;
  KV_VENTO_api_judgeNet(&judged, &dual);
  state.isDual = dual;
  state.mainActive.store(1);
  state.failoverEnable = judged.failoverEnable;
  state.checkMethod = judged.checkMethod;
  state.failbackEnable = judged.failbackEnable;
  state.failbackSeconds = judged.failbackSeconds;
  snprintf(state.pingHost, sizeof state.pingHost, "%s", judged.pingHost);
  state.pingInterval = judged.pingInterval;
  state.pingFailoverCount = judged.pingFailoverCount;
  state.pingFailbackCount = judged.pingFailbackCount;
  copyLink(mainLink, 1, judged.mainType, judged.mainIf);
  copyLink(subLink, 0, judged.subType, judged.subIf);

  printf("KV_TX440:net:isDual=%d\n", state.isDual);
  printf("KV_TX440:net:main=%d,sub=%d\n", mainLink.type, subLink.type);
  HBN_console_print("KV_TX440:net:main=%s,sub=%s\n", mainLink.ifname, subLink.ifname);
  printf("KV_TX440:net:main:check=%d,optimize=%d\n", mainLink.checkSeconds, mainLink.optimize);
  printf("KV_TX440:net:sub :check=%d,optimize=%d\n", subLink.checkSeconds, subLink.optimize);
  printf("KV_TX440:mqtt:setting=%d,%d\n", state.failbackEnable, state.failbackSeconds);
  printf("KV_TX440:ping:main=%d,sub=%d\n", judged.pingMainType, judged.pingSubType);

  if (state.isDual) {
    if (mainLink.type >= 0) KV_VENTO_api_startCloudMain(mainLink.type, mainLink.ifname, &mainLink);
    if (subLink.type >= 0) KV_VENTO_api_startCloudSub(subLink.type, subLink.ifname, &subLink);
    if (state.failoverEnable) {
      if (state.checkMethod == 0) {
        if (mainLink.checkSeconds > 0 && subLink.type >= 0) wanStartMqttCheck();
      } else if (judged.pingSubType >= 0) {
        wanStartPingCheck();  // not without a ping host: there is nothing to probe then
      }
    }
  } else {
    KV_VENTO_api_startCloudMain(mainLink.type, nullptr, &mainLink);
  }

  pushSwitchMonitor();
  // Were the monitor ever to return: sessions (sub first) and framework stop.
  KV_VENTO_api_finalize();
}
