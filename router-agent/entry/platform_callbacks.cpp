#include "platform_callbacks_internal.h"

#include <cstdio>
#include <cstring>

#include "handoff.h"
#include "hbn_log.h"
#include "script_request.h"
#include "wan_link.h"

namespace {

char flag(int value) { return value != 0 ? 'T' : 'F'; }

// The URLs come from the network: a line break in them would forge console lines (the hand-off
// refuses them anyway).
void printUpdate(const char* name, const char* url, const char* checksumUrl) {
  if (url == nullptr || checksumUrl == nullptr || strpbrk(url, "\r\n") || strpbrk(checksumUrl, "\r\n"))
    return;
  HBN_console_print("KV_TX440:%s:data=%s,chksum=%s\n", name, url, checksumUrl);
  fflush(stdout);
}

}  // namespace

void HBNKV_cloudConnectNotice(int state, WanLinkState* link) {
  if (link == nullptr) return;
  printf("KV_TX440:%s:kind=%d,state/new=%c,old=%c,first=%c/check=%d\n", "HBNKV_cloudConnectNotice",
         link->type, flag(state), flag(link->connected.load()), flag(link->firstConnected.load()),
         link->checkSeconds);
  fflush(stdout);
  if (wanFailoverState().isDual)
    wanLinkDualHandler(state, link);
  else
    wanLinkSingleHandler(state, link);
}

int HBNKV_firmwareUpdate(const char* url, const char* checksumUrl) {
  printUpdate("HBNKV_firmwareUpdate", url, checksumUrl);
  return hbn::writeUpdateHandoff(__func__, url, checksumUrl, hbn::kFirmwareHandoff);
}

int HBNKV_certUpdate(const char* url, const char* checksumUrl) {
  printUpdate("HBNKV_certUpdate", url, checksumUrl);
  return hbn::writeUpdateHandoff(__func__, url, checksumUrl, hbn::kCertificateHandoff);
}

int HBNKV_execScript(int number) {
  if (number < 0) return number;
  if (number > 9) return 0;
  return execScriptRequest(SCRIPT_KIND_CLOUD, number);
}

int HBNKV_lteInfo(int number) {
  (void)number;
  return 0;
}

KV_VENTO_api_interface_t HBNKV_interface() {
  KV_VENTO_api_interface_t t{};
  t.cloudConnectNotice = HBNKV_cloudConnectNotice;
  t.firmwareUpdate = HBNKV_firmwareUpdate;
  t.certUpdate = HBNKV_certUpdate;
  t.execScript = HBNKV_execScript;
  t.lteInfo = HBNKV_lteInfo;
  return t;
}
